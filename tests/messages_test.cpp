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

#include <functional>
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
    struct Case {
        const char *name;
        std::string payload;
        std::function<void(const std::string &dest)> prepare;
        bool unprivileged;
        std::function<std::string(const std::string &installer, const std::string &dest)> message;
        bool tarSays;  // the dialog adds tar's last two lines, which standard error has once
    } cases[] = {
        {"a byte flipped in the payload", flipped, {}, false, damaged, false},
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

}  // namespace
