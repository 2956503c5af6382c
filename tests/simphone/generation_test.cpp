// The driver of each kernel generation as a client sees it through the
// phone's files: the switch of logging mode, the layout of a read, the
// tables and the deinit word, the write filter and limits, and 4.14's
// openers. The expectations are written out here, independent of the driver's
// own table, so that a wrong row there shows.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <thread>

#include "dm/frame.h"
#include "dm/mask.h"
#include "phone_fixture.h"

using namespace simphone;

namespace {

struct Row {
    const char* driver;
    const char* version;  // how /proc/version starts
    int header;
    size_t record;     // bytes of the mode record; 0: by value
    int first_switch;  // what switching to memory-device mode returns, then switching again
    int again;
    bool whole_entries, dci_tables, hdlc_table, mdm_device, filter_always, sessions;
    size_t write_limit;
};

const Row rows[] = {
    // The old driver: [type word][frames], no words of a kernel's.
    {"", "Linux version 3.0.8-perf ", 4, 0, 0, 0, false, false, false, true, false, false, 0},
    {"2.6.35", "Linux version 2.6.35.", 4, 0, 1, 1, false, false, false, true, true, false, 8192},
    {"3.4", "Linux version 3.4.", 4, 0, 1, 1, false, false, false, true, false, false, 8192},
    {"3.10", "Linux version 3.10.", 4, 4, 1, 0, true, true, false, false, false, false, 16384},
    {"3.18", "Linux version 3.18.", 4, 9, 1, 0, true, true, false, false, false, false, 16384},
    {"4.4", "Linux version 4.4.", 0, 13, 0, 0, true, true, false, false, false, false, 16384},
    {"4.9", "Linux version 4.9.", 0, 20, 0, 0, true, true, false, false, false, false, 16384},
    {"4.14", "Linux version 4.14.", 0, 24, 0, 0, true, true, true, false, false, true, 16384},
};

void PrintTo(const Row& row, std::ostream* out) { *out << (*row.driver != '\0' ? row.driver : "the old driver"); }

std::string row_name(const ::testing::TestParamInfo<Row>& info) {
    std::string name = *info.param.driver != '\0' ? std::string("k") + info.param.driver : "old";
    for (char& c : name) c = c == '.' ? '_' : c;
    return name;
}

std::string le32(uint32_t value) {
    std::string out;
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
    return out;
}

uint32_t le32_at(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[at + static_cast<size_t>(i)]);
    return value;
}

// A request as a client writes it: the type word, an optional token, the frame.
std::string request(const std::string& payload, const std::string& token = std::string()) {
    std::string out = le32(request_type_word) + token;
    dm::append_frame(payload, &out);
    return out;
}

const std::string log_off = dm::log_disable_all_request();
const std::string nv_write = std::string("\x27\x00\x00", 3);  // a command the filter refuses

struct Fd {
    explicit Fd(int value = -1) : fd(value) {}
    ~Fd() { reset(); }
    void reset(int value = -1) {
        if (fd >= 0) close(fd);
        fd = value;
    }
    int fd;
};

}  // namespace

class Generations : public PhoneTest, public ::testing::WithParamInterface<Row> {
protected:
    void SetUp() override {
        PhoneTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        PhoneOptions options;
        options.driver = GetParam().driver;
        start(options);
    }
    const Row& row() const { return GetParam(); }
    bool named() const { return *row().driver != '\0'; }
    std::string path(const char* name) const { return phone->run_dir() + "/dev/" + name; }
    int open_device(const char* name = "diag") const { return open(path(name).c_str(), O_RDWR | O_CLOEXEC); }

    // The switch in the generation's own form: by value, or one zeroed
    // 24-byte record, which every pointer generation takes.
    int switch_mode(int fd, uint32_t mode, uint32_t peripheral_mask = 0xFF, uint32_t device_mask = 0x3) const {
        if (row().record == 0) return ioctl(fd, 7, static_cast<unsigned long>(mode));
        std::string record = le32(mode) + le32(peripheral_mask) + std::string(12, '\0') + le32(device_mask);
        return ioctl(fd, 7, &record[0]);
    }

    static std::string read_once(int fd, size_t size = 65536) {
        std::string buffer(size, '\0');
        const ssize_t got = read(fd, &buffer[0], size);
        buffer.resize(got > 0 ? static_cast<size_t>(got) : 0);
        return buffer;
    }

    // The type words of the reads that come before any data; the read that
    // ends them is dropped.
    static std::vector<uint32_t> control_reads(int fd) {
        std::vector<uint32_t> types;
        for (std::string r; (r = read_once(fd)).size() >= 4 && le32_at(r, 0) != stream_type_word;)
            types.push_back(le32_at(r, 0));
        return types;
    }

    // A file in memory-device mode with its opening tables read.
    int open_logging(const char* name = "diag") {
        const int fd = open_device(name);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(switch_mode(fd, 2), row().first_switch);
        if (named()) control_reads(fd);
        return fd;
    }

    // The reads so far; each look keeps its journal, which they point into.
    std::vector<DiagRead> reads(Device device = Device::diag) {
        journals_.push_back(phone->journal());
        return diag_reads(journals_.back(), device);
    }

    std::deque<Journal> journals_;
};

TEST_P(Generations, KernelLineAndDevices) {
    std::string version;
    ASSERT_TRUE(phone->read_file("/proc/version", &version));
    EXPECT_EQ(version.compare(0, strlen(row().version), row().version), 0) << version;
    EXPECT_EQ(phone->header_bytes(), row().header);
    EXPECT_EQ(access(path("diag").c_str(), F_OK), 0);
    EXPECT_EQ(access(path("extdiag").c_str(), F_OK), 0);
    EXPECT_EQ(access(path("diag_mdm").c_str(), F_OK) == 0, row().mdm_device);
    EXPECT_EQ(phone->exists("/dev/diag_mdm"), row().mdm_device);
}

TEST_P(Generations, SwitchTakesTheGenerationsArgument) {
    Fd diag(open_device());
    ASSERT_GE(diag.fd, 0);
    if (row().record != 0) {
        // By value on a pointer kernel: nothing changes, the stream goes to USB.
        errno = 0;
        EXPECT_EQ(ioctl(diag.fd, 7, 2ul), -1);
        EXPECT_EQ(errno, EFAULT);
        control("burst diag 1");
        control_reads(diag.fd);
        EXPECT_EQ(read_once(diag.fd), "");
        errno = 0;
        EXPECT_EQ(switch_mode(diag.fd, 7), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(switch_mode(diag.fd, 2), row().first_switch);
    EXPECT_EQ(switch_mode(diag.fd, 2), row().again);
    if (row().record >= 13) {
        errno = 0;
        EXPECT_EQ(switch_mode(diag.fd, 2, 0), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    if (row().record == 24) {
        errno = 0;
        EXPECT_EQ(switch_mode(diag.fd, 2, 0xFF, 0), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    if (row().record == 0 && named()) {
        // A by-value kernel takes a pointer for the mode itself and logs no more.
        int mode = 2;
        EXPECT_EQ(ioctl(diag.fd, 7, &mode), 1);
        EXPECT_EQ(phone->events("ioctl", "diag").back().b, static_cast<long long>(reinterpret_cast<uintptr_t>(&mode)));
        control("burst diag 1");
        control_reads(diag.fd);
        EXPECT_EQ(read_once(diag.fd), "");
    }
}

// Local entries, then the external modem's behind its token on /dev/diag,
// or on a device of its own; the journal holds each read as handed out and
// the kit gives back each modem's frames.
TEST_P(Generations, ReadLayoutAndEachModemsFrames) {
    Fd diag(open_logging());
    Fd mdm(row().mdm_device ? open_logging("diag_mdm") : -1);
    control("chunk diag 2000");
    control("burst diag 3");
    control("burst diag_mdm 2");
    const std::string handed = read_once(diag.fd);
    std::vector<DecodedPacket> packets;
    std::string error;
    if (!named()) {
        ASSERT_EQ(handed.substr(0, 4), le32(stream_type_word));  // [type word][frames], no count
        EXPECT_TRUE(decode_frames(handed.substr(4), &packets, &error)) << error;
        return;
    }
    EXPECT_EQ(read_once(diag.fd), "");  // every entry fitted one 64 KiB read
    std::vector<DiagRead> got;
    for (const DiagRead& r : reads()) {
        if (r.log_data()) got.push_back(r);
    }
    ASSERT_EQ(got.size(), 1u);
    const DiagRead& read = got[0];
    EXPECT_EQ(read.chunk->bytes, handed);
    EXPECT_EQ(read.type, stream_type_word);
    ASSERT_EQ(read.count_word, row().mdm_device ? 3 : 5);
    ASSERT_EQ(read.entries.size(), static_cast<size_t>(read.count_word));
    for (size_t i = 0; i < read.entries.size(); ++i) {
        EXPECT_EQ(read.entries[i].token, i < 3 ? 0 : -1) << i;
        EXPECT_LE(read.entries[i].data.size(), i < 3 ? 2000u : 4096u) << i;
    }
    ModemFrames frames = modem_frames(got);
    if (row().mdm_device) {
        EXPECT_EQ(frames.external, "");
        read_once(mdm.fd);
        std::vector<DiagRead> mdm_reads = reads(Device::diag_mdm);
        ASSERT_FALSE(mdm_reads.empty());
        mdm_reads.erase(mdm_reads.begin(), mdm_reads.end() - 1);  // its tables, then its one log read
        EXPECT_EQ(mdm_reads[0].count_word, 2);
        EXPECT_EQ(modem_frames(mdm_reads).external, "");  // a device of its own, no token
        frames.external = modem_frames(mdm_reads).local;
    }
    for (const std::string* modem : {&frames.local, &frames.external}) {
        size_t trailing = 1;
        packets.clear();
        ASSERT_TRUE(decode_frames(*modem, &packets, &error, &trailing)) << error;
        EXPECT_EQ(trailing, 0u);
        ASSERT_FALSE(packets.empty());
        for (size_t i = 0; i < packets.size(); ++i) EXPECT_EQ(packets[i].sequence, i);
    }
    // What a daemon that stores every log read keeps: each read less the header.
    Grouping each;
    each.kind = Grouping::per_chunk;
    EXPECT_EQ(expected_capture(read_chunks(got), row().header, each), handed.substr(static_cast<size_t>(row().header)));
}

// A read too small for the next entry: from late 3.10 on it returns just
// the type and a count of 0 and stays readable; before, it stops inside the
// entry with a stale count, and the entry comes again whole.
TEST_P(Generations, ShortReads) {
    if (!named()) GTEST_SKIP() << "the old driver splits a chunk at any byte";
    Fd diag(open_logging());
    control("chunk diag 2000");
    control("burst diag 2");
    const std::string first = read_once(diag.fd);
    ASSERT_EQ(le32_at(first, 4), 2u);
    control("burst diag 2");
    const size_t next = le32_at(first, 8);  // every chunk of this stream is about that size
    const std::string cut = read_once(diag.fd, 8 + 8 + next / 2);
    if (row().whole_entries) {
        EXPECT_EQ(cut, le32(stream_type_word) + le32(0));
        struct pollfd p = {diag.fd, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 0), 1);
    } else {
        ASSERT_EQ(cut.size(), 12u);
        EXPECT_EQ(le32_at(cut, 4), 2u);  // the last read's count, still in the buffer
    }
    const std::string rest = read_once(diag.fd);
    EXPECT_EQ(le32_at(rest, 4), 2u);
    const ModemFrames frames = modem_frames(reads());
    std::vector<DecodedPacket> packets;
    std::string error;
    ASSERT_TRUE(decode_frames(frames.local, &packets, &error)) << error;
    for (size_t i = 0; i < packets.size(); ++i) ASSERT_EQ(packets[i].sequence, i);  // nothing lost or twice

    // The apps processor's 32771-byte buffer never fits a 32 KiB read. Where
    // only whole entries go, the kernel's test counts 8 bytes beside the
    // data, 4 more than its length word takes.
    control("sized diag 32771");
    const std::string small = read_once(diag.fd, 32768);
    if (row().whole_entries) {
        EXPECT_EQ(small, le32(stream_type_word) + le32(0));
        EXPECT_EQ(read_once(diag.fd, 8 + 8 + 32771).size(), 8u);
        EXPECT_EQ(read_once(diag.fd, 8 + 8 + 32771 + 1).size(), 8u + 4u + 32771u);
    } else {
        ASSERT_EQ(small.size(), 12u);
        EXPECT_EQ(le32_at(small, 8), 32771u);
        EXPECT_EQ(read_once(diag.fd, 8 + 4 + 32771).size(), 8u + 4u + 32771u);
    }
    if (!row().mdm_device) {
        // An external modem's entry counts its token as well.
        control("sized diag_mdm 4000");
        EXPECT_EQ(read_once(diag.fd, 8 + 12 + 4000).size(), 8u);
        EXPECT_EQ(read_once(diag.fd, 8 + 12 + 4000 + 1).size(), 8u + 8u + 4000u);
    }
}

TEST_P(Generations, TablesResponsesAndDeinit) {
    Fd diag(open_device());
    ASSERT_GE(diag.fd, 0);
    std::vector<uint32_t> tables = {1, 2, 4};
    if (row().dci_tables) tables.insert(tables.end(), {0x100, 0x200});
    if (!named()) tables.clear();
    EXPECT_EQ(control_reads(diag.fd), tables);
    EXPECT_EQ(switch_mode(diag.fd, 2), row().first_switch);
    if (row().hdlc_table) {
        EXPECT_EQ(read_once(diag.fd), le32(0x1000) + std::string(1, '\0'));
    }
    const std::string set = request(log_off);
    EXPECT_EQ(write(diag.fd, set.data(), set.size()), named() ? 0 : static_cast<ssize_t>(set.size()));
    if (!named()) {
        errno = 0;
        EXPECT_EQ(ioctl(diag.fd, 9, 0), -1);
        EXPECT_EQ(errno, ENOTTY);
        return;
    }
    EXPECT_EQ(control_reads(diag.fd), tables);  // the masks changed
    // The answer is log data: one local entry.
    std::vector<DiagRead> got = reads();
    ASSERT_FALSE(got.empty());
    ASSERT_TRUE(got.back().log_data());
    ASSERT_EQ(got.back().entries.size(), 1u);
    std::string answer;
    ASSERT_EQ(dm::unframe(reinterpret_cast<const uint8_t*>(got.back().entries[0].data.data()),
                          got.back().entries[0].data.size(), &answer),
              dm::FrameStatus::good);
    EXPECT_EQ(answer[0], log_off[0]);
    EXPECT_EQ(ioctl(diag.fd, 9, 0), 1);
    EXPECT_EQ(read_once(diag.fd), le32(16));
    control("burst diag 1");
    EXPECT_EQ(read_once(diag.fd), "");  // the session ended with it
}

TEST_P(Generations, WriteFilterAndLimits) {
    if (!named()) GTEST_SKIP() << "the old driver answers whatever is written";
    Fd diag(open_device());
    control_reads(diag.fd);
    const std::string refused = request(nv_write);
    const std::string allowed = request(log_off);
    errno = 0;
    const ssize_t before_session = write(diag.fd, refused.data(), refused.size());
    if (row().sessions) {
        EXPECT_EQ(before_session, -1);  // no memory-device session yet
        EXPECT_EQ(errno, EINVAL);
    } else if (row().filter_always) {
        EXPECT_EQ(before_session, -1);
        EXPECT_EQ(errno, EFAULT);
    } else {
        EXPECT_EQ(before_session, 0);
    }
    EXPECT_EQ(switch_mode(diag.fd, 2), row().first_switch);
    control_reads(diag.fd);
    errno = 0;
    EXPECT_EQ(write(diag.fd, refused.data(), refused.size()), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(read_once(diag.fd), "");                                          // and no answer
    const std::string subsystem = request(std::string("\x4b\x12\x1b\x02", 4));  // 0x21B: 4.14 only
    errno = 0;
    EXPECT_EQ(write(diag.fd, subsystem.data(), subsystem.size()), row().sessions ? 0 : -1);
    const std::string over(row().write_limit + 1, '\x20');
    errno = 0;
    EXPECT_EQ(write(diag.fd, over.data(), over.size()), -1);
    EXPECT_EQ(errno, EBADMSG);
    std::string largest = allowed;
    for (size_t zeros = 0; request(log_off + std::string(zeros, '\0')).size() <= row().write_limit; zeros += 64)
        largest = request(log_off + std::string(zeros, '\0'));
    EXPECT_GT(largest.size(), row().write_limit - 64);
    EXPECT_EQ(write(diag.fd, largest.data(), largest.size()), 0);
    if (!row().mdm_device) {
        // Behind the token, the request goes to the external modem unfiltered
        // and its answer comes back tokened.
        const std::string remote = request(log_off, le32(static_cast<uint32_t>(-1)));
        EXPECT_EQ(write(diag.fd, remote.data(), remote.size()), 0);
        for (std::string r; !(r = read_once(diag.fd)).empty();) {}
        EXPECT_FALSE(modem_frames(reads()).external.empty());
    }
}

TEST_P(Generations, OpenersAndClose) {
    Fd diag(open_device());
    ASSERT_GE(diag.fd, 0);
    Fd second(open_device());
    const int second_errno = errno;
    int from_thread = -1, thread_errno = 0;
    std::thread([&] {
        from_thread = open_device();
        thread_errno = errno;
    }).join();
    Fd third(from_thread);
    if (row().sessions) {
        EXPECT_EQ(second.fd, -1);
        EXPECT_EQ(second_errno, EEXIST);
        EXPECT_EQ(from_thread, -1);  // one descriptor per process, not per thread
        EXPECT_EQ(thread_errno, EEXIST);
    } else {
        EXPECT_GE(second.fd, 0);
        EXPECT_GE(from_thread, 0);
    }
    second.reset();
    third.reset();
    ASSERT_EQ(switch_mode(diag.fd, 2), row().first_switch);
    // Another process may open, but neither take nor end the session.
    const pid_t child = fork();
    if (child == 0) {
        const int fd = open_device();
        const int taken = switch_mode(fd, 2);
        const int ended = switch_mode(fd, 1);
        _exit(fd >= 0 && (taken == -1) == row().sessions && (ended == -1) == row().sessions ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    if (row().sessions) {
        ASSERT_EQ(switch_mode(diag.fd, 2), row().again);  // the child's attempt changed nothing
    } else {
        switch_mode(diag.fd, 2);  // the last caller wins: take it back
    }
    const std::string mask = request(dm::log_set_mask_request(0x1, 0x10, reinterpret_cast<const uint8_t*>("\xff\xff")));
    ASSERT_EQ(write(diag.fd, mask.data(), mask.size()), named() ? 0 : static_cast<ssize_t>(mask.size()));
    const uint64_t closing = monotonic_us();
    diag.reset();
    const uint64_t took = monotonic_us() - closing;
    const std::vector<Event> slept = phone->events("close_sleep");
    if (row().sessions) {
        EXPECT_GE(took, 2900000u);
        ASSERT_EQ(slept.size(), 1u);
        // The masks went with the session: a new one logs nothing until it sets them.
        diag.reset(open_logging());
        control("burst diag 2");
        EXPECT_EQ(read_once(diag.fd), "");
        EXPECT_EQ(ioctl(diag.fd, 9, 0), 1);
        EXPECT_EQ(read_once(diag.fd), le32(16));
        const uint64_t again = monotonic_us();
        diag.reset();
        EXPECT_LT(monotonic_us() - again, 1000000u);  // deinit first: no sleep
        EXPECT_EQ(phone->events("close_sleep").size(), 1u);
    } else {
        EXPECT_LT(took, 1000000u);
        EXPECT_TRUE(slept.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Driver, Generations, ::testing::ValuesIn(rows), row_name);
