// What the person installing reads when the extraction fails: which failure gets which text, on
// standard error in silent mode and in the error dialog, from the real installer, gunzip and tar.
#include <gtest/gtest.h>

#include "installer/installer.h"
#include "tests/fixtures.h"
#include "tests/messages.h"
#include "tests/tar_support.h"
#include "tests/window_support.h"
#include "tests/xtoolkit.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <sstream>
#include <string>

using namespace fixtures;
using namespace messages;
using namespace tarfile;

namespace {

const char kScript[] = "#!/bin/sh\nexit 0\n";

TEST(ExtractionReports, EachFailureNamesWhatIsWrongAndTheWayOut) {
    TempDir tmp;
    const std::string payload = DemoPayloadWithNoise(tmp / "tree");
    std::string flipped = payload;
    flipped[payload.size() / 2] ^= 0x20;
    const auto damaged = [](const std::string &installer, const std::string &) {
        return Damaged(installer, kCorruptPayload);
    };
    // Found only by gunzip's last check, after tar has had all of it.
    const auto late = [](const std::string &installer, const std::string &dest) {
        return Damaged(installer, kCorruptPayload, dest);
    };
    struct Case {
        const char *name;
        std::string payload;
        std::function<void(const std::string &dest)> prepare;
        bool unprivileged;
        std::function<std::string(const std::string &installer, const std::string &dest)> message;
        bool tarSays;  // the dialog adds tar's last two lines, which standard error has once
    } cases[] = {
        {"a byte flipped in the payload", flipped, {}, false, late, false},
        {"the payload cut short", payload.substr(0, payload.size() / 2), {}, false, damaged, false},
        // Only the destination is in the way: its path is named, not the installer file.
        {"a symbolic link in the destination where the payload has a directory",
         Gzip(TarArchive({Dir("./"), Dir("usr/"), Dir("usr/lib/"), File("usr/lib/a"), Launcher(kScript)})),
         [](const std::string &dest) {
             mkdir(dest.c_str(), 0755);
             mkdir((dest + "/usr").c_str(), 0755);
             symlink(".", (dest + "/usr/lib").c_str());
         },
         false,
         [](const std::string &, const std::string &dest) {
             return InTheWay(dest, "usr/lib is a symbolic link where the installer file has a directory");
         },
         false},
        {"tar cannot replace a file of root's, as nobody", Gzip(TarArchive({File("lib/readme.txt"), Launcher(kScript)})),
         [](const std::string &dest) {
             mkdir(dest.c_str(), 0755);
             chown(dest.c_str(), kNobody, kNobody);
             mkdir((dest + "/lib").c_str(), 0755);
             WriteFile(dest + "/lib/readme.txt", "root's own\n");
         },
         true, [](const std::string &, const std::string &) { return kExtractionFailed; }, true},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string installer = WriteInstaller(tmp / ("installer" + std::to_string(n++)), c.payload);
        const std::string dest = installer + "-silent", windowDest = installer + "-window";
        if (c.prepare) c.prepare(dest), c.prepare(windowDest);

        // Standard error: what gunzip or tar said, then the message.
        Command silent = SilentCommand(installer, dest);
        silent.unset.push_back("TAR_OPTIONS");
        silent.unprivileged = c.unprivileged;
        const Result r = RunCommand(silent);
        const std::string message = OnStderr(c.message(installer, dest));
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_TRUE(EndsWith(r.err, message)) << r.err;
        std::string shown = c.message(installer, windowDest);
        if (c.tarSays && EndsWith(r.err, message)) {
            const std::string said = r.err.substr(0, r.err.size() - message.size() - 1);
            EXPECT_NE(said.find("lib/readme.txt"), std::string::npos) << r.err;
            shown += said.substr(said.rfind('\n', said.rfind('\n') - 1) + 1);
        }
        // The dialog, in a window built in a child process.
        const std::string dialog = windowtest::InChild(
            [&] {
                windowtest::Build({installer});
                windowtest::InstallInto(windowDest);
                return windowtest::ShownError();
            },
            c.unprivileged);
        EXPECT_EQ(Flowed(dialog), Flowed(shown));
        if (c.tarSays) {
            EXPECT_EQ(dialog.substr(0, kExtractionFailed.size()), kExtractionFailed);  // its lines whole
        }
    }
}

// The amount in `line` between `before` and `after` ("about 118 MB,"), in bytes; -1 where there is none.
double Amount(const std::string &line, const std::string &before, const std::string &after) {
    const std::size_t at = line.find(before), end = at == std::string::npos ? at : line.find(after, at);
    if (end == std::string::npos) return -1;
    std::istringstream in(line.substr(at + before.size(), end - at - before.size()));
    double value = -1;
    std::string unit;
    in >> value >> unit;
    const std::map<std::string, double> units = {{"bytes", 1}, {"KB", 1e3}, {"MB", 1e6}, {"GB", 1e9}};
    return units.count(unit) ? value * units.at(unit) : -1;
}

// What goes wrong with the destination, silent and in the dialog, as root and as nobody: the first
// line as it always was, then why and the way out. A file system that fills up stops the
// extraction at tar's first complaint, with the sizes.
TEST(DestinationReports, EachFaultSaysWhyAndTheWayOut) {
    std::string why;
    if (!PrivateMountsWork(why)) GTEST_SKIP() << why;
    TempDir tmp;
    // Over 100 MB of payload that gunzip only copies.
    const std::uint64_t payload = WriteStoredInstaller(tmp / "installer", 1800, 64 << 10);
    const std::string installer = tmp / "installer", home = tmp / "home", user = tmp / "user";
    for (const std::string &dir : {home, user}) MakeDir(dir), chown(dir.c_str(), kNobody, kNobody);
    // gunzip, wherever it is found, counts what it takes.
    const std::string bin = tmp / "bin", taken = tmp / "taken";
    MakeDir(bin);
    WriteFile(bin + "/gunzip",
              "#!/bin/sh\n" + CopyProgram(BuildDir() + "/tests/slowcat", bin) + " 0 /dev/null " + taken + " | " +
                  SystemTool("gzip") + " -d 2>/dev/null\n",
              0755);
    const Mount counting = {Mount::Kind::Bind, SystemTool("gunzip"), bin + "/gunzip"};
    MakeDir(tmp / "full", 01777);
    MakeDir(tmp / "ro", 01777);
    MakeDir(tmp / "ro/roots");
    MakeDir(tmp / "ro/users");
    chown((tmp / "ro/users").c_str(), kNobody, kNobody);
    MakeDir(tmp / "locked");
    MakeDir(tmp / "closed");
    WriteFile(tmp / "afile", "");
    const std::string choose = "choose another directory, such as ";
    struct Case {
        const char *name;
        std::string dest;
        std::vector<Mount> mounts;
        bool root, nobody;  // as whom it is tried
        std::string first;  // "" for the full file system
        std::vector<std::string> words;  // and the way out to the user's proposal, where it is to choose another
        bool proposal;
    } cases[] = {
        {"a tiny file system filled partway through", tmp / "full/Sonaris8",
         {{Mount::Kind::Tmpfs, tmp / "full", "size=2m,mode=1777"}, counting}, true, true, "", {}, false},
        {"a read-only file system", tmp / "ro/Sonaris8", {{Mount::Kind::ReadOnly, tmp / "ro"}}, true, true,
         CannotMake(tmp / "ro/Sonaris8"), {tmp / "ro", "read-only"}, true},
        {"a directory of root's on a read-only file system", tmp / "ro/roots", {{Mount::Kind::ReadOnly, tmp / "ro"}},
         true, false, kDestinationNotWritable, {tmp / "ro/roots", "read-only"}, true},
        {"a directory of the user's on a read-only file system", tmp / "ro/users",
         {{Mount::Kind::ReadOnly, tmp / "ro"}}, false, true, kDestinationNotWritable, {tmp / "ro/users", "read-only"},
         true},
        {"a missing parent", tmp / "none/Sonaris8", {}, true, true, CannotMake(tmp / "none/Sonaris8"),
         {tmp / "none", "does not exist", "make it first"}, true},
        {"a file on the way", tmp / "afile/sub", {}, true, true, CannotMake(tmp / "afile/sub"),
         {tmp / "afile is not a directory"}, true},
        {"an existing directory the user may not write in", tmp / "locked", {}, false, true, kDestinationNotWritable,
         {"You may not write in " + tmp / "locked", "run the installer as a user who may write there"}, true},
        {"a parent the user may not write in", tmp / "closed/Sonaris8", {}, false, true,
         CannotMake(tmp / "closed/Sonaris8"), {"You may not write in its parent directory " + tmp / "closed"}, true},
        {"root below a user's directory", user + "/app", {}, true, false,
         "Refusing to install as root into " + user + "/app: the directory " + user + " is not owned by root.",
         {"Install as its owner", "only root can change", "/opt/Sonaris8"}, false},
    };
    for (const auto &c : cases) {
        for (const bool root : {true, false}) {
            if (!(root ? c.root : c.nobody)) continue;
            std::vector<std::string> words = c.words;
            if (c.proposal) words.push_back(choose + (root ? "/usr/local/Sonaris8" : home + "/Sonaris8"));
            for (const bool window : {false, true}) {
                SCOPED_TRACE(std::string(c.name) + (root ? ", root" : ", nobody") + (window ? ", window" : ", silent"));
                WriteFile(taken, "", 0666);
                std::string said;
                if (window) {
                    said = windowtest::InChild(
                        [&] {
                            setenv("HOME", home.c_str(), 1);
                            windowtest::Build({installer});
                            windowtest::InstallInto(c.dest);
                            return windowtest::ShownError();
                        },
                        !root, c.mounts);
                } else {
                    Command silent = SilentCommand(installer, c.dest, home);
                    silent.mounts = c.mounts;
                    silent.unprivileged = !root;
                    const Result r = RunCommand(silent);
                    EXPECT_EQ(r.exitStatus, 1);
                    said = r.err;
                }
                if (!c.first.empty()) {
                    EXPECT_TRUE(TwoLines(said, c.first, words, window));
                    continue;
                }
                // At most ten of tar's lines and one for the rest, the extraction's message, then
                // the full file system with both sizes.
                const std::string failed = window ? Flowed(kExtractionFailed) : kExtractionFailed;
                if (window) said = Flowed(said);
                const std::size_t at = said.find(failed);
                ASSERT_NE(at, std::string::npos) << said;
                const std::string tar = said.substr(0, at), line = said.substr(at + failed.size());
                EXPECT_LE(std::count(tar.begin(), tar.end(), '\n'), window ? 0 : 11) << tar;
                EXPECT_NE(line.find("The file system that holds " + c.dest + " is full"), std::string::npos) << line;
                EXPECT_NE(line.find(c.dest + " holds a partial installation."), std::string::npos) << line;
                // Its payload only stores the tar stream: it unpacks to about its own size.
                EXPECT_NEAR(Amount(line, "about ", ","), static_cast<double>(payload), 0.02 * payload) << line;
                EXPECT_NEAR(Amount(line, "and ", " was free"), 2 << 20, 100e3) << line;
                // gunzip was stopped having taken a small part of the payload.
                std::uint64_t gunzipped = 0;
                std::istringstream(ReadFile(taken)) >> gunzipped;
                EXPECT_LT(gunzipped, payload / 4);
            }
        }
    }
}

}  // namespace
