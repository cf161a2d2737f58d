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
#include <vector>

using namespace fixtures;
using namespace messages;
using namespace tarfile;

namespace {

const char kScript[] = "#!/bin/sh\nexit 0\n";
// In an expected message: the reason the payload check gives, whatever its words.
const std::string kItsReason = "\x01";

// Whether `message` is `expected`, each kItsReason in it standing for any text.
bool Matches(const std::string &message, const std::string &expected) {
    std::vector<std::string> pieces;
    for (std::size_t at = 0;;) {
        const std::size_t any = expected.find(kItsReason, at);
        pieces.push_back(expected.substr(at, any - at));
        if (any == std::string::npos) break;
        at = any + kItsReason.size();
    }
    if (pieces.size() == 1) return message == expected;
    if (message.compare(0, pieces.front().size(), pieces.front()) != 0) return false;
    std::size_t at = pieces.front().size();
    for (std::size_t i = 1; i + 1 < pieces.size(); ++i) {
        at = message.find(pieces[i], at);
        if (at == std::string::npos) return false;
        at += pieces[i].size();
    }
    return message.size() >= at + pieces.back().size() && EndsWith(message, pieces.back());
}

// The lines standard error holds in front of the installer's own message.
std::vector<std::string> LinesBefore(const std::string &err, const std::string &message) {
    std::vector<std::string> lines;
    std::string rest = err.substr(0, err.size() - std::min(err.size(), message.size()));
    for (std::size_t at = 0; at < rest.size();) {
        const std::size_t end = std::min(rest.find('\n', at), rest.size());
        if (end > at) lines.push_back(rest.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

class ExtractionReports : public testing::Test {
protected:
    TempDir tmp;

    void SetUp() override { chmod(tmp.path().c_str(), 0755); }

    std::string WriteInstaller(const std::string &name, const std::string &bytes) {
        WriteFile(tmp / name, bytes, 0755);
        return tmp / name;
    }

    Result Silent(const std::string &installer, const std::string &dest, bool unprivileged) {
        Command c;
        c.argv = {installer, "-s", dest};
        c.env = {{"HOME", tmp.path()}};
        c.unset = {"DISPLAY", "TAR_OPTIONS"};
        c.umask = 022;
        c.unprivileged = unprivileged;
        return RunCommand(c);
    }

    // The error dialog's text after Finish into `dest`, in a window built in a child process.
    std::string Dialog(const std::string &installer, const std::string &dest, bool unprivileged) {
        return windowtest::InChild(
            [&] {
                setenv("HOME", tmp.path().c_str(), 1);
                windowtest::Build({installer});
                xtoolkit::Toolkit::Attach(InstallerWidgets.appContext, XtDisplay(InstallerWidgets.toplevel));
                windowtest::InstallInto(dest);
                return windowtest::ShownError();
            },
            unprivileged);
    }
};

TEST_F(ExtractionReports, EachFailureNamesWhatIsWrongAndTheWayOut) {
    // A tree whose big file gzip stores as it is: damage there reaches only gzip's check.
    const std::string tree = tmp / "tree";
    CopyDemoApp(tree);
    WriteFile(tree + "/noise.bin", RandomBytes(300000));
    const std::string payload = PackTree(tree);
    std::string flipped = payload;
    flipped[payload.size() / 2] ^= 0x20;
    const std::string whole = InstallerBytes(payload);
    using Expected = std::function<std::string(const std::string &installer, const std::string &dest)>;
    const Expected corrupt = [](const std::string &installer, const std::string &) {
        return Damaged(installer, kCorruptPayload);
    };

    struct Case {
        const char *name;
        std::string bytes;  // the installer file
        std::function<void(const std::string &dest)> prepare;
        bool unprivileged;
        Expected message;  // as silent mode writes it
        bool tarSays;      // the dialog adds what tar said last, which standard error has once
    } cases[] = {
        {"a byte flipped in the payload", InstallerBytes(flipped), {}, false, corrupt, false},
        {"the payload's gzip stream cut short", InstallerBytes(payload.substr(0, payload.size() / 2)), {}, false,
         corrupt, false},
        {"the file cut short in its payload", whole.substr(0, ProgramImage().size() + payload.size() / 2), {}, false,
         [](const std::string &installer, const std::string &) { return Damaged(installer, kItsReason); }, false},
        // Only the destination is in the way: its path is named, not the installer file.
        {"a symbolic link in the destination where the payload has a directory",
         InstallerBytes(Gzip(TarArchive({Dir("./"), Dir("usr/"), Dir("usr/lib/"), File("usr/lib/a"), Launcher(kScript)}))),
         [](const std::string &dest) {
             mkdir(dest.c_str(), 0755);
             mkdir((dest + "/usr").c_str(), 0755);
             mkdir((dest + "/usr/lib64").c_str(), 0755);
             symlink("lib64", (dest + "/usr/lib").c_str());
         },
         false, [](const std::string &, const std::string &dest) { return InTheWay(dest, "usr/lib " + kItsReason); },
         false},
        {"tar cannot replace a file that nobody may not remove",
         InstallerBytes(Gzip(TarArchive({File("lib/readme.txt"), Launcher(kScript)}))),
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
        if (c.unprivileged && geteuid() != 0) continue;  // nobody is who the case needs
        const std::string installer = WriteInstaller("installer" + std::to_string(n++), c.bytes);
        const std::string dest = installer + "-silent", windowDest = installer + "-window";
        if (c.prepare) c.prepare(dest), c.prepare(windowDest);

        // Standard error: what gunzip or tar said, then the message.
        const std::string message = c.message(installer, dest);
        const Result r = Silent(installer, dest, c.unprivileged);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_TRUE(Matches(r.err, kItsReason + OnStderr(message)) || r.err == OnStderr(message)) << r.err;
        std::string shown = c.message(installer, windowDest);
        if (c.tarSays) {
            // tar's words once, on standard error only; the dialog has its last two lines.
            const std::vector<std::string> said = LinesBefore(r.err, OnStderr(message));
            ASSERT_FALSE(said.empty()) << r.err;
            EXPECT_NE(r.err.find("lib/readme.txt"), std::string::npos) << r.err;
            for (std::size_t i = said.size() >= 2 ? said.size() - 2 : 0; i < said.size(); ++i)
                shown += said[i] + (i + 1 < said.size() ? "\n" : "");
        }
        const std::string dialog = Dialog(installer, windowDest, c.unprivileged);
        EXPECT_TRUE(Matches(Flowed(dialog), Flowed(shown))) << dialog << "\nexpected: " << shown;
    }
}

}  // namespace
