#include "dm/tool.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "dm/capture.h"
#include "dm/mask.h"
#include "dm/packet.h"
#include "dm/pcapng.h"
#include "dm/signalling.h"
#include "msg/error_text.h"
#include "platform/fd_io.h"

namespace dm {

namespace {

const char* const usage_text =
    "usage:\n"
    "  orlith-dm check [--json] FILE...\n"
    "  orlith-dm stats FILE...\n"
    "  orlith-dm join FILE|STEM -o OUT\n"
    "  orlith-dm pcap FILE... [--raw] [--no-protected-nas] -o OUT.pcapng\n"
    "  orlith-dm qmdl FILE... -o OUT\n"
    "  orlith-dm mask build [--log CODE|FIRST-LAST]... [--msg LEVELMASK] [--events on|off]\n"
    "                       [--disable-first] -o FILE\n"
    "  orlith-dm mask null -o FILE\n"
    "  orlith-dm mask show FILE\n"
    "  orlith-dm --help\n";

const char* const help_head =
    "orlith-dm: checks, inspects, joins and exports the diag captures (.dm files) that zarnorlith\n"
    "writes, and builds and reads its mask files. It runs on the phone and on a PC alike.\n"
    "\n";

const char* const help_text =
    "\n"
    "Captures come in two layouts, told apart by their bytes. Files from a phone's diag driver\n"
    "hold its reads as they came: a type word (dropped by the daemon from each batch's first\n"
    "read), a count, and per entry an external modem's token (-1, -2, -5) and a length before a\n"
    "run of frames; other reads are mask tables, the deinit word and the HDLC setting. A read is\n"
    "taken where its count and lengths walk whole, each entry ending a frame; where none does,\n"
    "the next one is searched for, and mask tables are skipped whatever bytes they hold. Files\n"
    "that do not parse as reads (frame streams, with or without the driver's 32 in front of\n"
    "buffers) are read as frames, as before. Files named *.dlf hold log records without framing,\n"
    "[u16 length][u16 code][u64 time stamp][data] back to back: each reads as a good frame holding\n"
    "its log packet, and a length below 12 or a record the end cuts makes the rest a tail.\n"
    "\n"
    "check      Per file: frames in all, good and bad (bad CRC, bad escape, too short, too long);\n"
    "           bytes outside any frame, with their offsets; the driver's header words left in\n"
    "           front of buffers (counted, not errors); a truncated tail; the largest frame.\n"
    "           Exit status 0 when every frame is good, 1 when any is bad or none is good (an empty\n"
    "           file, or one that is no capture), 2 on a usage or I/O error. --json prints the same\n"
    "           as one JSON object per file, one a line. A file of reads also gets its reads by\n"
    "           kind (data, short, cut, mask tables, deinit, HDLC setting), the bytes of read words\n"
    "           and of mask tables, bytes in no read, and the frames of each modem when an external\n"
    "           one is there.\n"
    "stats      Counts by command, by log code (with names for common LTE, NR, WCDMA and GSM\n"
    "           signalling codes) and by equipment id; the signalling messages by channel, as pcap\n"
    "           writes them, and the log packets it skips; the span of the log time stamps; every mask\n"
    "           response with its status and every error response with the request it refused.\n"
    "           Time stamps count 1.25 ms ticks since 1980-01-06 and are approximate: modems differ.\n"
    "join       Writes one task's files (STEM.N.*.dm, ..., STEM.1.*.dm, STEM.dm) as one stream, every\n"
    "           frame once: the external modem's rotation (its files' names begin qxdm_ext_) copies\n"
    "           the head of the next buffer into the full file, and join leaves that copy out (in a\n"
    "           file of reads also behind a mask table, which ends with no flag). Reports gaps where\n"
    "           files are missing.\n"
    "pcap       The over-the-air signalling as pcapng, whatever OUT is named: open it with\n"
    "           wireshark OUT.pcapng, or tshark -r OUT.pcapng -Y lte_rrc. Two interfaces: GSMTAP v2 in\n"
    "           UDP to port 4729 over IPv4 for LTE RRC, LTE NAS, WCDMA RRC, GSM RR and GPRS/UMTS NAS;\n"
    "           upper-PDU packets naming their dissector for NR RRC and 5GS NAS, which GSMTAP has no\n"
    "           type for. A packet comment names the dual-SIM subscription, and an ARFCN too large\n"
    "           for GSMTAP's 14 bits (the field then says 0). Times come from the log stamp and are\n"
    "           approximate. Log packets of a layout not known (a new packet version) are skipped,\n"
    "           never guessed at, and counted by code and version on standard error and in stats.\n"
    "           --raw adds every good frame as raw diag (GSMTAP type 0x11, shown as data);\n"
    "           --no-protected-nas leaves out security-protected NAS, which mostly repeats the plain\n"
    "           messages ciphered. Each external modem's messages go to their own file, named as\n"
    "           qmdl names them.\n"
    "qmdl       The plain frame stream: every good frame, exactly as stored, nothing between them\n"
    "           (no read words, mask tables or header words); bad frames are left out and counted.\n"
    "           OUT gets the local modem's frames; an external modem's go to OUT with .mdm1, .mdm2\n"
    "           or .qsc before its extension (cap.qmdl: cap.mdm1.qmdl). pcap, qmdl and join refuse\n"
    "           an output that is one of their inputs, under any name or link.\n"
    "mask build One log \"set mask\" request per equipment id, then the optional message and event\n"
    "           requests, each framed with its CRC and ended by 0x7E: a file the daemon injects as\n"
    "           it is. Log codes are hexadecimal, with or without 0x (B0C0, 0xB0C0-0xB0C2). --msg sets\n"
    "           every message level to LEVELMASK (0 = all off); --disable-first sends \"log disable\n"
    "           all\" first, so that only the codes asked for stay on.\n"
    "mask null  The null mask: \"log disable all\", \"ext message set all 0\", \"event report off\".\n"
    "mask show  Decodes any mask file as the daemon splits it: each request, the log codes it\n"
    "           enables (as ranges, with names), the message and event settings. Bad CRCs, unknown\n"
    "           requests and bytes the daemon never sends are flagged; exit status 1 then.\n";

struct Context {
    FILE* out;
    FILE* err;
};

int usage_error(const Context& c, const std::string& message) {
    fprintf(c.err, "orlith-dm: %s\n%s", message.c_str(), usage_text);
    return exit_usage;
}

int io_error(const Context& c, const std::string& message) {
    fprintf(c.err, "orlith-dm: %s\n", message.c_str());
    return exit_usage;
}

// The command's arguments: FILEs, and -o OUT anywhere among them; "--" ends
// the options. Other options are left to the command, in order.
struct Args {
    std::vector<const char*> files;
    std::vector<const char*> options;  // each option and, when it takes one, its value
    const char* output = nullptr;
    std::string error;
};

Args split_args(int argc, const char* const* argv, int first, const std::vector<std::string>& with_value,
                const std::vector<std::string>& flags) {
    Args a;
    bool options_end = false;
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options_end || arg.empty() || arg[0] != '-' || arg == "-") {
            a.files.push_back(argv[i]);
        } else if (arg == "--") {
            options_end = true;
        } else if (arg == "-o") {
            if (i + 1 >= argc) {
                a.error = "-o needs a file";
            } else if (a.output != nullptr) {
                a.error = "-o given twice";
            } else {
                a.output = argv[++i];
            }
        } else if (std::find(with_value.begin(), with_value.end(), arg) != with_value.end()) {
            if (i + 1 >= argc) {
                a.error = arg + " needs a value";
            } else {
                a.options.push_back(argv[i]);
                a.options.push_back(argv[++i]);
            }
        } else if (std::find(flags.begin(), flags.end(), arg) != flags.end()) {
            a.options.push_back(argv[i]);
        } else {
            a.error = "unknown option " + arg;
        }
        if (!a.error.empty()) break;
    }
    return a;
}

// ---- check and stats ---------------------------------------------------------

int run_check(const Context& c, const Args& a) {
    const bool json = !a.options.empty();
    if (a.files.empty() || a.output != nullptr) return usage_error(c, "check: FILE... and no -o");
    int status = exit_ok;
    for (const char* file : a.files) {
        CheckResult result;
        CaptureHandlers handlers;
        handlers.frames = [](void* context, const ParseEvent& event) {
            check_add(static_cast<CheckResult*>(context), event);
        };
        handlers.reads = [](void* context, const ReadEvent& event) {
            check_add_read(static_cast<CheckResult*>(context), event);
        };
        handlers.context = &result;
        std::string error;
        bool as_reads = false;
        if (!scan_capture(file, handlers, &as_reads, &result.bytes, &error)) {
            io_error(c, error);
            status = exit_usage;
            continue;
        }
        if (json) {
            print_check_json(file, result, c.out);
        } else {
            print_check(file, result, c.out);
        }
        if (!capture_good(result) && status == exit_ok) status = exit_bad;
    }
    return status;
}

int run_stats(const Context& c, const Args& a) {
    if (a.files.empty() || a.output != nullptr) return usage_error(c, "stats: FILE... and no -o");
    int status = exit_ok;
    for (size_t i = 0; i < a.files.size(); ++i) {
        std::unique_ptr<Stats> stats(new Stats());
        CaptureHandlers handlers;
        handlers.frames = [](void* context, const ParseEvent& event) {
            stats_add(static_cast<Stats*>(context), event);
        };
        handlers.reads = [](void* context, const ReadEvent& event) {
            check_add_read(&static_cast<Stats*>(context)->check, event);
        };
        handlers.context = stats.get();
        std::string error;
        bool as_reads = false;
        if (!scan_capture(a.files[i], handlers, &as_reads, &stats->check.bytes, &error)) {
            io_error(c, error);
            status = exit_usage;
            continue;
        }
        stats_finish(stats.get());
        if (i != 0) fprintf(c.out, "\n");
        print_stats(a.files[i], *stats, c.out);
    }
    return status;
}

// ---- pcap, qmdl and join -------------------------------------------------------

// The good frames of FILE... written out, one output per modem: OUT for the
// local one, created at once; OUT.mdm1 and so on (before OUT's extension)
// when an external modem's first frame comes. None may be an input. Each
// modem's output has its own decoder: segments of one modem's message never
// join another's.
struct Export {
    const char* out = nullptr;
    bool pcap = false;
    bool raw = false;  // pcap: every good frame as raw diag too
    std::vector<FileId> inputs;
    PcapngWriter pcaps[modem_count];
    SignallingDecoder decoders[modem_count];
    SignallingPdu pdu;
    QmdlWriter qmdls[modem_count];
    bool open[modem_count] = {};
    uint64_t bad[modem_count] = {};
    uint64_t messages[modem_count] = {}, raws[modem_count] = {};
    std::string paths[modem_count];
    std::string error;  // the first output that could not be made
};

bool export_open(Export* e, int modem) {
    if (e->open[modem]) return true;
    if (!e->error.empty()) return false;
    e->paths[modem] = modem_output_path(e->out, modem);
    const char* path = e->paths[modem].c_str();
    e->open[modem] =
        refuse_input_as_output(path, e->inputs, &e->error) &&
        (e->pcap ? pcapng_open(&e->pcaps[modem], path, &e->error) : qmdl_open(&e->qmdls[modem], path, &e->error));
    return e->open[modem];
}

void export_frame(void* context, const ParseEvent& event) {
    Export* e = static_cast<Export*>(context);
    if (event.kind != ParseEvent::frame || event.modem >= modem_count) return;
    const int m = event.modem;
    if (event.status != FrameStatus::good) {
        ++e->bad[m];
    } else if (!export_open(e, m)) {
        return;
    } else if (!e->pcap) {
        qmdl_add(&e->qmdls[m], event.payload, event.payload_size);
    } else {
        if (e->raw) {
            pcapng_add_raw(&e->pcaps[m], event.payload, event.payload_size);
            ++e->raws[m];
        }
        if (decode_signalling(&e->decoders[m], event.payload, event.payload_size, &e->pdu) == Decoded::pdu) {
            pcapng_add_signalling(&e->pcaps[m], e->pdu);
            ++e->messages[m];
        }
    }
}

unsigned long long ull(uint64_t value) { return static_cast<unsigned long long>(value); }

// What one output holds: on stdout, and what was skipped on stderr, where a
// script that keeps stdout still shows it to whoever runs it.
void print_export(const Context& c, const Export& e, int modem) {
    const char* path = e.paths[modem].c_str();
    if (e.pcap) {
        fprintf(c.out, "%s: %llu packets (%llu signalling messages, %llu raw diag)", path, ull(e.pcaps[modem].packets),
                ull(e.messages[modem]), ull(e.raws[modem]));
    } else {
        fprintf(c.out, "%s: %llu frames (the plain frame stream)", path, ull(e.qmdls[modem].frames));
    }
    if (modem != modem_local) fprintf(c.out, " of %s", modem_name(modem));
    if (e.bad[modem] != 0) fprintf(c.out, "; %llu bad frames left out", ull(e.bad[modem]));
    const SignallingDecoder& d = e.decoders[modem];
    if (d.left_out != 0) fprintf(c.out, "; %llu security-protected NAS messages left out", ull(d.left_out));
    if (e.pcap && e.pcaps[modem].cut != 0)
        fprintf(c.out, "; %llu payloads cut to what an IPv4 packet holds", ull(e.pcaps[modem].cut));
    fprintf(c.out, "\n");
    if (d.skipped_packets != 0)
        fprintf(c.err, "%s: %llu log packets skipped (layout not known; counted by code and version):\n%s", path,
                ull(d.skipped_packets), skipped_text(d, "  ").c_str());
}

// Closes each output and says what it holds.
int finish_export(const Context& c, Export* e, int status) {
    for (int modem = 0; modem < modem_count; ++modem) {
        if (!e->open[modem]) continue;
        const char* path = e->paths[modem].c_str();
        std::string error;
        if (e->pcap) {
            signalling_finish(&e->decoders[modem]);
        }
        if (!(e->pcap ? pcapng_close(&e->pcaps[modem], path, &error) : qmdl_close(&e->qmdls[modem], path, &error))) {
            io_error(c, error);
            status = exit_usage;
            continue;
        }
        print_export(c, *e, modem);
    }
    if (!e->error.empty()) status = io_error(c, e->error);
    return status;
}

int run_export(const Context& c, const Args& a, bool pcap) {
    if (a.files.empty() || a.output == nullptr)
        return usage_error(c,
                           pcap ? "pcap: FILE... [--raw] [--no-protected-nas] -o OUT.pcapng" : "qmdl: FILE... -o OUT");
    std::unique_ptr<Export> e(new Export());
    e->out = a.output;
    e->pcap = pcap;
    for (const char* option : a.options) {
        if (strcmp(option, "--raw") == 0) e->raw = true;
        if (strcmp(option, "--no-protected-nas") == 0) {
            for (SignallingDecoder& d : e->decoders) d.protected_nas = false;
        }
    }
    e->inputs = input_ids(a.files);
    if (!export_open(e.get(), modem_local)) return io_error(c, e->error);
    CaptureHandlers handlers;
    handlers.frames = export_frame;
    handlers.context = e.get();
    int status = exit_ok;
    for (const char* file : a.files) {
        std::string error;
        bool as_reads = false;
        uint64_t size = 0;
        if (!scan_capture(file, handlers, &as_reads, &size, &error)) {
            io_error(c, error);
            status = exit_usage;
        }
    }
    return finish_export(c, e.get(), status);
}

int run_join(const Context& c, const Args& a) {
    if (a.files.size() != 1 || a.output == nullptr) return usage_error(c, "join: FILE|STEM -o OUT");
    JoinPlan plan;
    std::string error;
    if (!plan_join(a.files[0], &plan, &error)) return io_error(c, error);
    JoinReport report;
    if (!join_files(plan, a.output, &report, &error)) return io_error(c, error);
    fprintf(c.out, "%s: %zu file%s of %s in capture order, %llu bytes\n", a.output, plan.files.size(),
            plan.files.size() == 1 ? "" : "s", plan.stem.c_str(), static_cast<unsigned long long>(report.bytes));
    for (size_t i = 0; i < plan.files.size(); ++i) {
        fprintf(c.out, "  %s: %llu bytes", plan.files[i].c_str(), static_cast<unsigned long long>(report.kept[i]));
        if (report.duplicates[i] != 0)
            fprintf(c.out, " (and %llu bytes left out: the rotation copy of the next file's head)",
                    static_cast<unsigned long long>(report.duplicates[i]));
        fprintf(c.out, "\n");
    }
    for (const std::string& gap : plan.gaps) fprintf(c.out, "  %s\n", gap.c_str());
    return exit_ok;
}

// ---- mask ----------------------------------------------------------------------

bool parse_code(const std::string& text, uint16_t* code) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits = digits.substr(2);
    if (digits.empty() || digits.size() > 4) return false;
    for (char ch : digits) {
        if (!((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F'))) return false;
    }
    *code = static_cast<uint16_t>(strtoul(digits.c_str(), nullptr, 16));
    return true;
}

bool parse_level(const char* text, uint32_t* level) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = strtoull(text, &end, 0);
    if (text[0] == '\0' || text[0] == '-' || *end != '\0' || errno != 0 || value > 0xFFFFFFFFull) return false;
    *level = static_cast<uint32_t>(value);
    return true;
}

int write_mask(const Context& c, const char* path, const std::string& bytes) {
    const int fd = open_retrying(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) return io_error(c, std::string(path) + ": cannot create: " + error_text(errno).text);
    size_t written = 0;
    int error = write_all(fd, bytes.data(), bytes.size(), &written);
    if (close(fd) != 0 && error == 0) error = errno;
    if (error != 0) return io_error(c, std::string(path) + ": write failed: " + error_text(error).text);
    return exit_ok;
}

int run_mask_build(const Context& c, const Args& a) {
    if (!a.files.empty() || a.output == nullptr) return usage_error(c, "mask build: options and -o FILE only");
    std::unique_ptr<MaskSpec> spec(new MaskSpec());
    for (size_t i = 0; i < a.options.size(); ++i) {
        const std::string option = a.options[i];
        if (option == "--disable-first") {
            spec->disable_first = true;
            continue;
        }
        const std::string value = a.options[++i];
        if (option == "--log") {
            const size_t dash = value.find('-');
            uint16_t first = 0, last = 0;
            const bool ok = dash == std::string::npos ? parse_code(value, &first) && (last = first, true)
                                                      : parse_code(value.substr(0, dash), &first) &&
                                                            parse_code(value.substr(dash + 1), &last);
            if (!ok || last < first)
                return usage_error(c,
                                   "mask build: --log " + value + ": not a hexadecimal log code or range FIRST-LAST");
            codes_add_range(&spec->codes, first, last);
        } else if (option == "--msg") {
            if (!parse_level(value.c_str(), &spec->msg_level))
                return usage_error(c, "mask build: --msg " + value + ": not a 32-bit level mask");
            spec->msg = true;
        } else if (option == "--events") {
            if (value != "on" && value != "off") return usage_error(c, "mask build: --events takes on or off");
            spec->events = value == "on" ? 1 : 0;
        }
    }
    if (codes_count(spec->codes) == 0 && !spec->msg && spec->events < 0 && !spec->disable_first)
        return usage_error(c, "mask build: nothing to build: give --log, --msg, --events or --disable-first");
    std::string bytes, error;
    if (!build_mask(*spec, &bytes, &error)) return io_error(c, "mask build: " + error);
    const int status = write_mask(c, a.output, bytes);
    if (status == exit_ok)
        fprintf(c.out, "%s: %zu bytes, %zu log codes\n", a.output, bytes.size(), codes_count(spec->codes));
    return status;
}

int run_mask_show(const Context& c, const Args& a) {
    if (a.files.size() != 1 || a.output != nullptr) return usage_error(c, "mask show: one FILE");
    std::unique_ptr<MaskFile> mask(new MaskFile());
    std::string error;
    if (!read_mask_file(a.files[0], mask.get(), &error)) return io_error(c, error);
    const size_t flagged = mask->flagged + (mask->unsent != 0 ? 1 : 0);
    fprintf(c.out, "%s: %zu requests%s\n", a.files[0], mask->packets,
            flagged != 0 ? (", " + std::to_string(flagged) + " FLAGGED").c_str() : "");
    for (size_t i = 0; i < mask->entries.size(); ++i) {
        const MaskEntry& e = mask->entries[i];
        fprintf(c.out, "  request %zu at offset %llu (%zu bytes): ", i + 1, static_cast<unsigned long long>(e.offset),
                e.size);
        if (e.good) {
            const uint8_t* p = reinterpret_cast<const uint8_t*>(e.payload.data());
            fprintf(c.out, "%s", request_text(decode_request(p, e.payload.size())).c_str());
        }
        if (!e.problem.empty()) fprintf(c.out, "%sFLAGGED: %s", e.good ? "; " : "", e.problem.c_str());
        fprintf(c.out, "\n");
    }
    if (mask->packets > mask->entries.size())
        fprintf(c.out, "  ... %zu more requests\n", mask->packets - mask->entries.size());
    if (mask->unsent != 0)
        fprintf(c.out, "  FLAGGED: %llu bytes after the last 0x7E, which the daemon never sends\n",
                static_cast<unsigned long long>(mask->unsent));
    fprintf(c.out, "log codes enabled: %zu\n%s", codes_count(mask->codes), codes_text(mask->codes, "  ").c_str());
    if (mask->msg_set) {
        fprintf(c.out, "messages: every level set to mask 0x%08X%s\n", mask->msg_level,
                mask->msg_level == 0 ? " (all off)" : "");
    } else {
        fprintf(c.out, "messages: not set\n");
    }
    fprintf(c.out, "events: %s\n", mask->events < 0 ? "not set" : mask->events == 1 ? "on" : "off");
    return flagged != 0 ? exit_bad : exit_ok;
}

int run_mask(const Context& c, int argc, const char* const* argv) {
    if (argc < 3) return usage_error(c, "mask: build, null or show");
    const std::string what = argv[2];
    if (what == "build") {
        const Args a = split_args(argc, argv, 3, {"--log", "--msg", "--events"}, {"--disable-first"});
        return a.error.empty() ? run_mask_build(c, a) : usage_error(c, "mask build: " + a.error);
    }
    const Args a = split_args(argc, argv, 3, {}, {});
    if (!a.error.empty()) return usage_error(c, "mask " + what + ": " + a.error);
    if (what == "null") {
        if (!a.files.empty() || a.output == nullptr) return usage_error(c, "mask null: -o FILE");
        const int status = write_mask(c, a.output, null_mask());
        if (status == exit_ok) fprintf(c.out, "%s: the null mask\n", a.output);
        return status;
    }
    if (what == "show") return run_mask_show(c, a);
    return usage_error(c, "mask: unknown " + what + "; build, null or show");
}

int run(const Context& c, int argc, const char* const* argv) {
    if (argc < 2) return usage_error(c, "no command");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        fputs(help_head, c.out);
        fputs(usage_text, c.out);
        fputs(help_text, c.out);
        return exit_ok;
    }
    if (command == "mask") return run_mask(c, argc, argv);
    const bool is_check = command == "check";
    std::vector<std::string> flags;
    if (is_check) flags = {"--json"};
    if (command == "pcap") flags = {"--raw", "--no-protected-nas"};
    const Args a = split_args(argc, argv, 2, {}, flags);
    if (!a.error.empty()) return usage_error(c, command + ": " + a.error);
    if (is_check) return run_check(c, a);
    if (command == "stats") return run_stats(c, a);
    if (command == "pcap") return run_export(c, a, true);
    if (command == "qmdl") return run_export(c, a, false);
    if (command == "join") return run_join(c, a);
    return usage_error(c, "unknown command " + command);
}

}  // namespace

int tool_main(int argc, const char* const* argv, FILE* out, FILE* err) {
    const Context c{out, err};
    int status = run(c, argc, argv);
    // A full disk or a closed pipe shows here, and must not pass for success.
    if (fflush(out) != 0 || ferror(out)) {
        fprintf(err, "orlith-dm: cannot write the output: %s\n", error_text(errno).text);
        status = exit_usage;
    }
    return status;
}

}  // namespace dm
