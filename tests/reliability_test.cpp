// Faults injected into real installations: the disk filling up, gunzip or tar missing, the
// destination changing under the window, the installer file changing while it runs. Each must end
// in one reported failure (silent: the message and exit status 1; window: the error dialog), with
// no launcher started and no settings file written.
#include <gtest/gtest.h>

#include "tests/fixtures.h"
#include "tests/messages.h"
#include "installer/payloadcopy.h"
#include "tests/reliability_support.h"
#include "tests/wizard_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

using namespace fixtures;
using namespace reliability;
using namespace messages;

namespace {

const char kSettingsName[] = "/.Corvalent_MedioraSDK_60";

// Whether `pid` waits for room in a full pipe.
// Stuck mid-copy: in a write to the full pipe (silent), or waiting in poll() for the pipe to take
// more with the pipeline started (window).
bool Blocked(pid_t pid) {
    const std::string where = Wchan(pid);
    if (where.find("pipe_write") != std::string::npos) return true;
    const std::string children = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    return where.find("poll") != std::string::npos && Exists(children) && !ReadFile(children).empty();
}

class Faults : public wizard::InstallerRuns {
protected:
    // An installer for a tree of `files` small files and `noise` incompressible bytes.
    std::string MakeInstaller(std::size_t noise, int files = 4, const std::string &name = "installer",
                              unsigned seed = 1) {
        SmallApp app;
        app.noise = noise;
        app.items = files;
        app.seed = seed;
        return fixtures::MakeInstaller(TreeOf(name), tmp / name, app);
    }
    std::string TreeOf(const std::string &installerName) { return tmp / (installerName + "-tree"); }

    Command Silent(const std::string &installer, const std::string &destination) {
        Command c = SilentCommand(installer, destination, home);
        c.env["LAUNCHER_MARKER"] = marker;
        return c;
    }

    Command Interactive(const std::string &installer) {
        Command c = InstallerRuns::Interactive(installer);
        c.umask = 022;
        return c;
    }

    void ExpectNothingStarted() {
        EXPECT_FALSE(Exists(marker)) << "the launcher ran";
        EXPECT_FALSE(Exists(home + kSettingsName)) << "a settings file was written";
    }

    // One message, `message` (the failed extraction's unless given), after whatever gunzip and tar
    // said (which holds `said`).
    void ExpectSilentFailure(int exitStatus, const std::string &err, const std::string &said,
                             const std::string &message = kExtractionFailed) {
        EXPECT_EQ(exitStatus, 1);
        EXPECT_TRUE(EndsWith(err, OnStderr(message))) << err;
        EXPECT_NE(err.find(said), std::string::npos) << err;
        ExpectNothingStarted();
    }
    void ExpectSilentFailure(const Result &r, const std::string &said) {
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.out, "");
        ExpectSilentFailure(r.exitStatus, r.err, said);
    }

    // The window from page 1 to Finish with `destination` typed in; `beforeFinish` runs on page 2,
    // `whileInstalling` once the installer has blocked mid-copy (with a gated gunzip). Expects the
    // error dialog over page `page` and the window still there.
    void ExpectWindowFailure(const Command &command, const std::string &destination, const std::string &page,
                             const std::function<void()> &beforeFinish = {},
                             const std::function<void(pid_t)> &whileInstalling = {}) {
        wizard::Installer running(command);
        ASSERT_TRUE(running.TypeDestination(destination));
        if (beforeFinish) beforeFinish();
        const Window w = running.MainWindow();
        wizard::ClickFinish(w);
        if (whileInstalling) whileInstalling(running.Pid());
        EXPECT_NE(xwindows::WaitForWindow("Error"), 0u);
        EXPECT_EQ(wizard::ShownPages(w), page);
        EXPECT_TRUE(running.Running());
        ExpectNothingStarted();
    }
    // The window's failure over page 3, or the silent one after `said`.
    void ExpectFailure(bool window, const Command &command, const std::string &dest, const std::string &said) {
        if (window) ExpectWindowFailure(command, dest, "3");
        else ExpectSilentFailure(RunCommand(command), said);
    }
};

// ---- the disk fills up ----

TEST_F(Faults, AFullFileSystemFailsTheInstallation) {
    std::string why;
    if (!PrivateMountsWork(why)) GTEST_SKIP() << why;
    const std::string installer = MakeInstaller(2 << 20, 40);
    const std::string mount = tmp / "mnt";
    mkdir(mount.c_str(), 0755);
    struct Case {
        const char *name;
        const char *options;
        bool window;
        const char *what;  // what the report says has run out
    } cases[] = {
        {"silent, a tmpfs of 1 MiB", "size=1m", false, " is full: "},
        {"silent, a tmpfs of 16 inodes", "nr_inodes=16", false, " can make no more files: "},
        {"window, a tmpfs of 1 MiB", "size=1m", true, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dest = mount + "/Sonaris8";
        Command command = c.window ? Interactive(installer) : Silent(installer, dest);
        command.mounts = {{Mount::Kind::Tmpfs, mount, c.options}};
        if (c.window) {
            ExpectWindowFailure(command, dest, "3");
        } else {
            // The extraction's message, then what ran out.
            const Result r = RunCommand(command);
            const std::size_t at = r.err.find(kExtractionFailed + "The file system that holds " + dest + c.what);
            ASSERT_NE(at, std::string::npos) << r.err;
            ExpectSilentFailure(r.exitStatus, r.err, "tar: ", r.err.substr(at, r.err.size() - at - 1));
        }
        // The file system went with its namespace: nothing reached the directory beneath it.
        EXPECT_EQ(TreeListing(mount), "");
    }
}

TEST_F(Faults, AFileSizeLimitFailsTheInstallation) {
    const std::string installer = MakeInstaller(2 << 20);
    struct Case {
        const char *name;
        bool ignoreSigxfsz;  // tar then sees EFBIG instead of being killed by SIGXFSZ
        bool window;
        const char *said;
    } cases[] = {
        {"silent, tar killed by SIGXFSZ", false, false, "File size limit exceeded"},
        {"silent, SIGXFSZ ignored: EFBIG", true, false, "Wrote only"},
        {"window, tar killed by SIGXFSZ", false, true, ""},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dest = tmp / ("dest" + std::to_string(n++));
        Command command = c.window ? Interactive(installer) : Silent(installer, dest);
        command.limits[RLIMIT_FSIZE] = 256 << 10;
        if (c.ignoreSigxfsz) command.ignoredSignals.push_back(SIGXFSZ);
        ExpectFailure(c.window, command, dest, c.said);
        struct stat st;
        ASSERT_EQ(stat((dest + "/lib/noise.bin").c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 256 << 10);  // cut at the limit
    }
}

// ---- the tools are missing ----

TEST_F(Faults, MissingGunzipOrTarFailsTheInstallation) {
    const std::string installer = MakeInstaller(0);
    // gunzip is a script that runs gzip: it stays wherever gunzip is found.
    const std::string gunzip = SystemTool("gunzip"), gzip = SystemTool("gzip"), tar = SystemTool("tar");
    struct Case {
        const char *name;
        std::vector<std::string> tools;  // what PATH finds
        bool window;
        const char *said;
    } cases[] = {
        {"silent, no tar", {gunzip, gzip}, false, "tar: not found"},
        {"silent, no gunzip", {gzip, tar}, false, "gunzip: not found"},
        {"silent, neither", {gzip}, false, "gunzip: not found"},
        {"window, no tar", {gunzip, gzip}, true, ""},
        {"window, no gunzip", {gzip, tar}, true, ""},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bin = tmp / ("bin" + std::to_string(n));
        const std::string dest = tmp / ("dest" + std::to_string(n++));
        mkdir(bin.c_str(), 0755);
        for (const auto &tool : c.tools) symlink(tool.c_str(), (bin + tool.substr(tool.rfind('/'))).c_str());
        Command command = c.window ? Interactive(installer) : Silent(installer, dest);
        command.env["PATH"] = bin;
        // Root finds gunzip and tar on the system's own path whatever PATH says.
        command.unprivileged = true;
        ExpectFailure(c.window, command, dest, c.said);
        EXPECT_EQ(TreeListing(dest), "");
    }
}

// ---- the destination changes ----

TEST_F(Faults, TheDestinationChangedBetweenPageTwoAndFinishIsRefusedThere) {
    const std::string installer = MakeInstaller(0);
    struct Case {
        const char *name;
        bool unprivileged;
        bool destinationExists;
        std::function<void(const std::string &parent, const std::string &dest)> change;
    } cases[] = {
        {"its parent removed", false, false, [](const std::string &p, const std::string &) { rmdir(p.c_str()); }},
        {"its parent made read-only", true, false,
         [](const std::string &p, const std::string &) { chmod(p.c_str(), 0555); }},
        {"it and its parent removed", false, true, [](const std::string &p, const std::string &) { RemoveTree(p); }},
        {"it made read-only", true, true, [](const std::string &, const std::string &d) { chmod(d.c_str(), 0555); }},
        {"it replaced by a file", false, true,
         [](const std::string &, const std::string &d) {
             rmdir(d.c_str());
             WriteFile(d, "keep me");
         }},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string parent = tmp / ("parent" + std::to_string(n++));
        const std::string dest = parent + "/Sonaris8";
        MakeDir(parent, 0777);
        if (c.destinationExists) {
            MakeDir(dest, 0777);
        }
        Command command = Interactive(installer);
        command.unprivileged = c.unprivileged;
        ExpectWindowFailure(command, dest, "2", [&] { c.change(parent, dest); });
        // Nothing was made or unpacked.
        struct stat st;
        if (lstat(dest.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode)) EXPECT_EQ(TreeListing(dest), "");
            else EXPECT_EQ(ReadFile(dest), "keep me");
        }
    }
}

TEST_F(Faults, TheWindowInstallsOnceTheDestinationIsRightAgain) {
    const std::string installer = MakeInstaller(0);
    const std::string parent = tmp / "parent";
    const std::string dest = parent + "/Sonaris8";
    mkdir(parent.c_str(), 0755);
    wizard::Installer running(Interactive(installer));
    ASSERT_TRUE(running.TypeDestination(dest));
    const Window w = running.MainWindow();
    rmdir(parent.c_str());
    wizard::ClickFinish(w);
    const Window dialog = xwindows::WaitForWindow("Error");
    ASSERT_NE(dialog, 0u);
    // Put right, the error dismissed: Finish installs after all.
    mkdir(parent.c_str(), 0755);
    xwindows::Focus(dialog);
    xwindows::Key("Return");
    ASSERT_TRUE(xwindows::WaitForWindowGone("Error"));
    xwindows::Focus(w);
    wizard::ClickFinish(w);
    EXPECT_EQ(running.Wait(), kLauncherStatus);
    EXPECT_EQ(Launches(marker).size(), 1u);
    EXPECT_EQ(TreeListing(dest), TreeListing(TreeOf("installer")));
}

TEST_F(Faults, TheDestinationRemovedDuringTheExtractionFailsIt) {
    const std::string installer = MakeInstaller(6 << 20);
    for (bool window : {false, true}) {
        SCOPED_TRACE(window ? "window" : "silent");
        const std::string parent = tmp / (window ? "window" : "silent");
        const std::string dest = parent + "/Sonaris8";
        const std::string gate = tmp / (window ? "gate-window" : "gate-silent");
        mkdir(parent.c_str(), 0755);
        chown(parent.c_str(), kNobody, kNobody);
        Command command = window ? Interactive(installer) : Silent(installer, dest);
        GateGunzip(command, tmp / "bin", gate);
        // Once the installer is stuck mid-copy, the destination goes; then gunzip may go on.
        auto strike = [&](pid_t pid) {
            ASSERT_TRUE(xwindows::Eventually([&] { return Blocked(pid); }));
            RemoveTree(parent);
            WriteFile(gate, "");
        };
        if (window) {
            ExpectWindowFailure(command, dest, "3", {}, strike);
        } else {
            const pid_t pid = SpawnWithErrors(command, tmp / "errors");
            strike(pid);
            const int status = WaitFor(pid, 60);
            ExpectSilentFailure(status, ReadFile(tmp / "errors"), "tar: ");
        }
        EXPECT_FALSE(Exists(parent));
    }
}

// ---- the installer file changes ----

// The installer is started through its program interpreter, as the system would, except that the
// kernel then does not lock the file against writing while it runs: it can be changed behind it.
// Each byte is read once and judged as read: a change to what was read already changes nothing; a
// change ahead of the reading is judged, and fails the installation unless the payload survives it.
// The payload is larger than the pipes hold ahead of gunzip, so that the copy stops short of its end.
TEST_F(Faults, AnInstallerFileChangedWhileItRunsFailsUnlessItsPayloadSurvives) {
    const std::size_t noise = std::size_t(8) << 20;
    const std::string original = ReadFile(MakeInstaller(noise, 4, "installer", 1));
    const std::string other = ReadFile(MakeInstaller(noise, 4, "other", 2));
    const std::string loader = Interpreter(InstallerPath());
    const auto write = [](const std::string &path, const std::string &bytes, int flags = 0) {
        const int fd = open(path.c_str(), O_WRONLY | flags);
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(fd);
    };
    struct Case {
        const char *name;
        std::function<void(const std::string &path, long long offset)> change;
        bool fails;
        bool window = false;
        std::string damage = "";  // why the file is damaged, where it fails silently
    } cases[] = {
        {"truncated behind the copy", [](const std::string &p, long long at) { truncate(p.c_str(), at + (256 << 10)); },
         true, false, kCutPayload},
        {"overwritten in place by another installer", [&](const std::string &p, long long) { write(p, other); }, true,
         false, kCorruptPayload},
        {"overwritten in place by another installer, up to where it was read",
         [&](const std::string &p, long long at) { write(p, other.substr(0, static_cast<std::size_t>(at))); }, false},
        {"replaced by another installer", [&](const std::string &p, long long) {
             WriteFile(p + ".new", other, 0755);
             rename((p + ".new").c_str(), p.c_str());
         },
         false},
        {"grown behind its trailer", [&](const std::string &p, long long) { write(p, "\n999\n", O_APPEND); }, false},
        {"window, truncated behind the copy",
         [](const std::string &p, long long at) { truncate(p.c_str(), at + (256 << 10)); }, true, true},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = tmp / ("running" + std::to_string(n));
        const std::string dest = tmp / ("dest" + std::to_string(n));
        const std::string gate = tmp / ("gate" + std::to_string(n++));
        WriteFile(path, original, 0755);
        Command command = c.window ? Interactive(path) : Silent(path, dest);
        command.argv.insert(command.argv.begin(), loader);
        GateGunzip(command, tmp / "bin", gate);
        command.unprivileged = true;  // root would not find the gated gunzip on PATH
        auto strike = [&](pid_t pid) {
            ASSERT_TRUE(xwindows::Eventually([&] { return Blocked(pid); }));
            const long long offset = OffsetIn(pid, path);
            ASSERT_GT(offset, 0);
            ASSERT_LT(offset + (512 << 10), static_cast<long long>(original.size())) << "the copy is too far on";
            c.change(path, offset);
            WriteFile(gate, "");
        };
        if (c.window) {
            ExpectWindowFailure(command, dest, "3", {}, strike);
            continue;
        }
        const pid_t pid = SpawnWithErrors(command, tmp / "errors");
        strike(pid);
        const int status = WaitFor(pid, 60);
        const std::string err = ReadFile(tmp / "errors");
        if (c.fails) {
            ExpectSilentFailure(status, err, "gzip: ", Damaged(path, c.damage, dest));
        } else {
            EXPECT_EQ(status, 0) << err;
            EXPECT_EQ(err, "");
            EXPECT_EQ(TreeListing(dest), TreeListing(TreeOf("installer")));
        }
    }
}

}  // namespace
