// Fault matrix, rotation: what others leave in the log root while the daemon
// rotates its files under load. Each row prints its outcome into the table
// of part one.
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <regex>

#include "fault_fixture.h"

using namespace simphone;
using namespace fault;

namespace {

using FaultRotation = Fault;

TEST_F(FaultRotation, ForeignFilesLikeTheStemsOwnSurviveRotationUnderLoad) {
    Row row("planted foreign files in the log root, named like the stem's own, with rotation under load",
            "every foreign entry survives byte for byte; the stem's files are STEM.K down to STEM.1 and STEM.dm, "
            "together the whole stream; no rename refused");
    start_phone(diag_only());
    if (HasFatalFailure() || IsSkipped()) return;
    // Chunks queued in bursts rather than at a rate, so that the stream is
    // of a known size however slow the stop is (a sanitizer build).
    ASSERT_TRUE(phone->write_config(phone->storage_line() + "RotateSizeMB=1\nRotateCount=10\n" + masks_7k));
    control("chunk diag 32768");
    control("rate diag 0");
    start_daemon();
    ASSERT_TRUE(wait_until([&] { return mode_switches("diag") == std::vector<long long>{2}; }, 5000));
    control("burst diag 4");
    // The stem holds the date, time and sequence of the daemon's start, so
    // look-alikes can only be planted once it writes.
    const std::regex current_name("(qxdm_7k_[0-9]{8}_[0-9]{6}_[0-9]{3})\\.dm");
    std::string stem;
    ASSERT_TRUE(wait_until(
        [&] {
            for (const std::string& file : phone->dm_files()) {
                const std::string name = file.substr(file.rfind('/') + 1);
                std::smatch match;
                if (std::regex_match(name, match, current_name)) stem = match[1];
            }
            return !stem.empty();
        },
        5000));
    const std::vector<std::pair<std::string, std::string>> planted = {
        {stem + ".10.notes.txt", "notes kept beside the log\n"},
        {stem + ".dm.1.dm", "a copy made by hand"},
        {stem + ".2.101244.dm.gz", std::string("\x1f\x8b\x08\x00", 4) + "packed"},
        {stem + ".dm.bak1", "a backup"},
        {stem + ".1.93015.dm", "a stamp of five digits"},
        {stem + ".11.101244.dm", "an index past the count"},
        {"victim.txt", "precious"},
    };
    for (const auto& [name, content] : planted) ASSERT_TRUE(phone->write_file(in_root(name), content));
    // A rotated file's very name, but no regular file; no clock shows 99:99:99.
    ASSERT_EQ(mkdir((card() + "/" + stem + ".2.999999.dm").c_str(), 0755), 0);
    ASSERT_EQ(symlink(in_root("victim.txt").c_str(), (card() + "/" + stem + ".10.999999.dm").c_str()), 0);
    // Everything but what the daemon writes now.
    std::map<std::string, DirEntry> foreign = dir_entries(card());
    for (auto at = foreign.begin(); at != foreign.end();) {
        const bool own =
            at->first.compare(0, stem.size(), stem) == 0 &&
            std::none_of(planted.begin(), planted.end(), [&](const auto& p) { return p.first == at->first; }) &&
            at->second.kind == 'f';
        at = own ? foreign.erase(at) : std::next(at);
    }
    ASSERT_GE(foreign.size(), planted.size() + 2 + 2);  // the masks, the directory and the link

    // Six rotations or so: fewer than are kept, so that the files must
    // hold the whole stream.
    control("burst diag 200");
    ASSERT_TRUE(
        wait_until([&] { return phone->control("stats diag").find(" queued=0 ") != std::string::npos; }, 20000));
    EXPECT_GE(stop_daemon(), 0);

    const std::map<std::string, DirEntry> after = dir_entries(card());
    size_t changed = 0;
    for (const auto& [name, entry] : foreign) {
        auto found = after.find(name);
        const bool same = found != after.end() && found->second == entry;
        EXPECT_TRUE(same) << name;
        changed += !same;
    }
    std::vector<std::string> mine;
    for (const auto& [name, entry] : after) {
        if (foreign.count(name) == 0) mine.push_back(name);
    }
    const std::vector<std::string> chain = rotation_chain(mine);
    ASSERT_GE(chain.size(), 5u) << ::testing::PrintToString(mine);
    EXPECT_EQ(chain.back(), stem + ".dm");
    std::vector<std::string> inside;
    for (const std::string& name : chain) inside.push_back(in_root(name));
    const CaptureCheck capture = phone->check_capture(Device::diag, inside);
    EXPECT_TRUE(capture.ok) << capture.message;
    EXPECT_EQ(count_logged("cannot rename"), 0);
    row.observe(std::to_string(foreign.size()) + " foreign entries, " + std::to_string(changed) + " changed; " +
                std::to_string(chain.size() - 1) + " rotated files and the current one, " +
                std::to_string(capture.actual_bytes) + " B of " + std::to_string(capture.expected_bytes) +
                " B of the stream");
}

}  // namespace
