#include "driver_fuse.h"

#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <thread>

#include "platform/fd_io.h"
#include "stream_engine.h"

namespace simphone {

namespace {

// The state behind a request, and in *ino the file it is about: the root of
// a wake-lock mount is that file.
DriverState& resolve(fuse_req_t req, fuse_ino_t* ino) {
    const MountRoot& root = *static_cast<const MountRoot*>(fuse_req_userdata(req));
    if (*ino == FUSE_ROOT_ID) *ino = root.root;
    return *root.state;
}

// The thread that made the request and its process: FUSE names the thread,
// and a 4.14 driver knows its clients by process.
Caller caller_of(fuse_req_t req, const DriverState& state) {
    Caller caller;
    caller.tid = fuse_req_ctx(req)->pid;
    if (state.generation == nullptr || caller.tid <= 0) return caller;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(caller.tid));
    FILE* status = fopen(path, "re");
    if (status == nullptr) return caller;
    char line[256];
    while (fgets(line, sizeof line, status) != nullptr) {
        int tgid = 0;
        // NOLINTNEXTLINE(cert-err34-c): the kernel writes the number
        if (sscanf(line, "Tgid: %d", &tgid) == 1) {
            caller.tgid = tgid;
            break;
        }
    }
    (void)fclose(status);
    return caller;
}

void fill_attr(fuse_ino_t ino, struct stat* st) {
    memset(st, 0, sizeof *st);
    st->st_ino = ino;
    if (ino == ino_root) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
    } else {
        st->st_mode = S_IFREG | 0666;
        st->st_nlink = 1;
    }
}

// ---- The wake-lock files. They keep no handle in the state and take only
// the wake locks' lock, never the one the device reads hold.

void open_wake_file(fuse_req_t req, DriverState& state, struct fuse_file_info* fi) {
    fi->fh = state.next_handle++;
    fi->direct_io = 1;
    fi->nonseekable = 1;
    fuse_reply_open(req, fi);
}

void read_wake_file(fuse_req_t req, DriverState& state, size_t size) {
    std::string held;
    for (const std::string& name : wake_locks_held(state)) held += name + " ";
    if (!held.empty()) held.back() = '\n';
    fuse_reply_buf(req, held.data(), held.size() < size ? held.size() : size);
}

void write_wake_file(fuse_req_t req, DriverState& state, fuse_ino_t ino, const char* buf, size_t size) {
    const std::string bytes(buf, size);
    std::string name = bytes;
    while (!name.empty() && (name.back() == '\n' || name.back() == '\0')) name.pop_back();
    {
        Locked locked(state.wake_locks.lock);
        if (ino == ino_wake_lock) {
            state.wake_locks.held.insert(name);
        } else {
            state.wake_locks.held.erase(name);
        }
        record_event(state, ino == ino_wake_lock ? "wake_lock" : "wake_unlock", "-", 0, 0, 0,
                     static_cast<long long>(size), bytes);
    }
    fuse_reply_write(req, size);
}

void ioctl_wake_file(fuse_req_t req, DriverState& state, fuse_ino_t ino, struct fuse_file_info* fi, unsigned cmd,
                     void* arg, unsigned flags) {
    record_event(state, "ioctl", file_names[ino], static_cast<uint32_t>(fi->fh), cmd,
                 static_cast<long long>(reinterpret_cast<uintptr_t>(arg)), -ENOTTY,
                 (flags & FUSE_IOCTL_COMPAT) != 0 ? "compat" : "");
    fuse_reply_err(req, ENOTTY);
}

// Always readable and writable: nobody is ever told of a change.
void poll_wake_file(fuse_req_t req, struct fuse_pollhandle* ph) {
    if (ph != nullptr) fuse_pollhandle_destroy(ph);
    fuse_reply_poll(req, POLLOUT | POLLWRNORM | POLLIN | POLLRDNORM);
}

// ---- Every mount's operations.

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    const DriverState& state = resolve(req, &parent);
    if (parent != ino_root) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    for (fuse_ino_t ino = ino_diag; ino < ino_end; ++ino) {
        if (strcmp(name, file_names[ino]) == 0 && file_exists(state, ino)) {
            struct fuse_entry_param entry;
            memset(&entry, 0, sizeof entry);
            entry.ino = ino;
            fill_attr(ino, &entry.attr);
            fuse_reply_entry(req, &entry);
            return;
        }
    }
    fuse_reply_err(req, ENOENT);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info*) {
    resolve(req, &ino);
    if (ino < ino_root || ino >= ino_end) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    struct stat st;
    fill_attr(ino, &st);
    fuse_reply_attr(req, &st, 0);
}

// Truncation (an open with O_TRUNC) is accepted and changes nothing.
void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat*, int, struct fuse_file_info* fi) {
    op_getattr(req, ino, fi);
}

void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, struct fuse_file_info*) {
    const DriverState& state = resolve(req, &ino);
    if (ino != ino_root) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    std::string buffer;
    for (fuse_ino_t entry = ino_diag; entry < ino_end; ++entry) {
        if (static_cast<off_t>(entry) <= offset || !file_exists(state, entry)) continue;
        struct stat st;
        fill_attr(entry, &st);
        size_t need = fuse_add_direntry(req, nullptr, 0, file_names[entry], nullptr, 0);
        if (buffer.size() + need > size) break;
        size_t at = buffer.size();
        buffer.resize(at + need);
        fuse_add_direntry(req, &buffer[at], need, file_names[entry], &st, static_cast<off_t>(entry));
    }
    fuse_reply_buf(req, buffer.data(), buffer.size());
}

void op_open(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
    DriverState& state = resolve(req, &ino);
    if (is_wake_file(ino)) {
        open_wake_file(req, state, fi);
        return;
    }
    uint32_t id = 0;
    int error;
    const Caller caller = caller_of(req, state);
    {
        Locked locked(state);
        error = open_device(state, ino, fi->flags & O_ACCMODE, caller, &id);
    }
    if (error != 0) {
        fuse_reply_err(req, error);
        return;
    }
    fi->fh = id;
    fi->direct_io = 1;
    fi->nonseekable = 1;
    fuse_reply_open(req, fi);
}

void op_release(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
    DriverState& state = resolve(req, &ino);
    if (!is_wake_file(ino)) {
        Locked locked(state);
        Handle* h = find_handle(state, fi->fh);
        if (h != nullptr) close_device(state, *h);
    }
    fuse_reply_err(req, 0);
}

// A 4.14 client that closes its session without ioctl 9 waits 3 s in
// close(); only its own close waits, so the answer comes from a thread of
// its own while the mount goes on serving.
void op_flush(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
    DriverState& state = resolve(req, &ino);
    bool sleep = false;
    if (!is_wake_file(ino)) {
        const Caller caller = caller_of(req, state);
        Locked locked(state);
        Handle* h = find_handle(state, fi->fh);
        sleep = h != nullptr && flush_device(state, *h, caller);
    }
    if (!sleep) {
        fuse_reply_err(req, 0);
        return;
    }
    ++state.sleeping_closes;
    std::thread([req, &state] {
        struct timespec pause = {3, 0};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {}
        fuse_reply_err(req, 0);
        --state.sleeping_closes;
    }).detach();
}

void op_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t, struct fuse_file_info* fi) {
    DriverState& state = resolve(req, &ino);
    if (is_wake_file(ino)) {
        read_wake_file(req, state, size);
        return;
    }
    std::string out;
    int error = 0;
    {
        Locked locked(state);
        Handle* h = find_handle(state, fi->fh);
        if (h == nullptr) {
            error = EBADF;
        } else if (is_diag(ino)) {
            error = read_device(state, *h, size, &out);
        }
    }
    // Replied outside the lock: what was taken is journaled already, and
    // each file has one reader.
    if (error != 0) {
        fuse_reply_err(req, error);
    } else {
        fuse_reply_buf(req, out.data(), out.size());
    }
}

void op_write(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t, struct fuse_file_info* fi) {
    DriverState& state = resolve(req, &ino);
    if (is_wake_file(ino)) {
        write_wake_file(req, state, ino, buf, size);
        return;
    }
    int error;
    size_t written = 0;
    const Caller caller = caller_of(req, state);
    {
        Locked locked(state);
        Handle* h = find_handle(state, fi->fh);
        error = h == nullptr || !is_diag(ino) ? EBADF : write_device(state, *h, buf, size, caller, &written);
    }
    if (error != 0) {
        fuse_reply_err(req, error);
    } else {
        fuse_reply_write(req, written);
    }
}

void op_ioctl(fuse_req_t req, fuse_ino_t ino, unsigned int cmd, void* arg, struct fuse_file_info* fi, unsigned flags,
              const void*, size_t, size_t) {
    DriverState& state = resolve(req, &ino);
    if (is_wake_file(ino)) {
        ioctl_wake_file(req, state, ino, fi, cmd, arg, flags);
        return;
    }
    // The ioctls of a FUSE file are restricted: the kernel passes the
    // argument as a number and moves no memory for a command that encodes
    // no size, and a retry asking for it is refused. A pointer argument is
    // read from the caller's memory instead (ioctl_device), as the kernel's
    // copy_from_user would: a number that is no mapped address fails alike.
    int error;
    int result = 0;
    const Caller caller = caller_of(req, state);
    {
        Locked locked(state);
        error = ioctl_device(state, ino, fi->fh, cmd, reinterpret_cast<uintptr_t>(arg),
                             (flags & FUSE_IOCTL_COMPAT) != 0, caller, &result);
    }
    if (error != 0) {
        fuse_reply_err(req, error);
    } else {
        fuse_reply_ioctl(req, result, nullptr, 0);
    }
}

void op_poll(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi, struct fuse_pollhandle* ph) {
    DriverState& state = resolve(req, &ino);
    if (is_wake_file(ino)) {
        poll_wake_file(req, ph);
        return;
    }
    unsigned revents = POLLOUT | POLLWRNORM;
    bool open_file;
    {
        Locked locked(state);
        Handle* h = find_handle(state, fi->fh);
        open_file = h != nullptr;
        if (!open_file) {
            if (ph != nullptr) fuse_pollhandle_destroy(ph);
        } else {
            if (ph != nullptr) {
                if (h->poll_handle != nullptr) fuse_pollhandle_destroy(h->poll_handle);
                h->poll_handle = ph;
            }
            revents |= is_diag(ino) ? poll_device(state, *h) : POLLIN | POLLRDNORM;
        }
    }
    if (!open_file) {
        fuse_reply_err(req, EBADF);
    } else {
        fuse_reply_poll(req, revents);
    }
}

void abort_connection(dev_t device) {
    char path[96];
    snprintf(path, sizeof path, "/sys/fs/fuse/connections/%u/abort", minor(device));
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        size_t written;
        (void)write_all(fd, "1", 1, &written);
        close(fd);
    }
}

void* serve_main(void* session) {
    fuse_session_loop(static_cast<fuse_session*>(session));
    return nullptr;
}

// Mounts a file system at path and starts its thread.
bool mount_at(Mount* mount, const std::string& path, const fuse_lowlevel_ops& ops, void* userdata) {
    const char* fuse_argv[] = {"simphone_driver", "-o", "fsname=simphone,subtype=simphone"};
    struct fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(fuse_argv));
    mount->path = path;
    mount->session = fuse_session_new(&args, &ops, sizeof ops, userdata);
    if (mount->session == nullptr) return false;
    if (fuse_session_mount(mount->session, path.c_str()) != 0) {
        fuse_session_destroy(mount->session);
        mount->session = nullptr;
        return false;
    }
    pthread_create(&mount->thread, nullptr, serve_main, mount->session);
    mount->serving = true;
    // Only now: stat asks the new session, which must be running to answer.
    struct stat mounted;
    mount->have_device = stat(path.c_str(), &mounted) == 0;
    if (mount->have_device) mount->device = mounted.st_dev;
    return true;
}

// End the session loop before its descriptor is closed: aborting the
// connection answers whoever still holds a file (a sandbox that outlived us)
// with ENOTCONN instead of a hang, and detaching the mount ends the
// connection once nobody uses it.
void end_mount(Mount& mount) {
    if (!mount.serving) return;
    fuse_session_exit(mount.session);
    if (mount.have_device) abort_connection(mount.device);
    umount2(mount.path.c_str(), MNT_DETACH);
}

bool join_mount(Mount& mount, const struct timespec& limit) {
    if (!mount.serving) return true;
    if (pthread_timedjoin_np(mount.thread, nullptr, &limit) != 0) return false;
    fuse_session_unmount(mount.session);
    fuse_session_destroy(mount.session);
    mount.serving = false;
    return true;
}

}  // namespace

std::set<std::string> wake_locks_held(DriverState& state) {
    Locked locked(state.wake_locks.lock);
    return state.wake_locks.held;
}

bool start_serving(DriverState& state, const std::string& mountpoint, FileServer* server) {
    struct fuse_lowlevel_ops ops;
    memset(&ops, 0, sizeof ops);
    ops.lookup = op_lookup;
    ops.getattr = op_getattr;
    ops.setattr = op_setattr;
    ops.readdir = op_readdir;
    ops.open = op_open;
    ops.release = op_release;
    ops.flush = op_flush;
    ops.read = op_read;
    ops.write = op_write;
    ops.ioctl = op_ioctl;
    ops.poll = op_poll;
    const Inode roots[] = {ino_root, ino_wake_lock, ino_wake_unlock};
    for (int i = 0; i < 3; ++i) {
        server->roots[i] = MountRoot{&state, roots[i]};
        const std::string path = i == 0 ? mountpoint : mountpoint + "/" + file_names[roots[i]];
        if (mount_at(&server->mounts[i], path, ops, &server->roots[i])) continue;
        if (i == 0) {
            fprintf(stderr, "simphone_driver: cannot mount %s\n", path.c_str());
            return false;
        }
        fprintf(stderr, "simphone_driver: %s stays in the main mount\n", path.c_str());
    }
    return true;
}

bool stop_serving(FileServer& server) {
    // A close still asleep answers through the session: it must end first.
    DriverState* state = server.roots[0].state;
    struct timespec pause = {0, 10000000};
    for (int i = 0; state != nullptr && state->sleeping_closes > 0 && i < 400; ++i) nanosleep(&pause, nullptr);
    // The wake-lock mounts lie over the main one, whose thread resolves
    // their paths: they go first.
    for (int i = 2; i >= 0; --i) end_mount(server.mounts[i]);
    struct timespec limit;
    clock_gettime(CLOCK_REALTIME, &limit);
    limit.tv_sec += 2;
    bool ended = true;
    for (Mount& mount : server.mounts) ended = join_mount(mount, limit) && ended;
    return ended;
}

}  // namespace simphone
