// An installation of 200 MB killed (SIGTERM, SIGKILL) at several points of its extraction leaves
// neither the probe file nor a settings file, and starts no launcher; running the installer again
// into the same destination completes a tree identical to the application's.
#include <gtest/gtest.h>

#include "tests/fixtures.h"
#include "tests/reliability_support.h"
#include "tests/wizard_support.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

using namespace fixtures;
using namespace reliability;

namespace {

// Where the application and its installer live: memory when the machine has it to spare, so
// that 200 MB written over and over cost no disk traffic.
std::string WorkParent() { return access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp"; }

class Interruption : public testing::Test {
protected:
    static TempDir *work;
    static std::string installer;
    static std::string reference;  // TreeListing of the application
    static long long payloadOffset, payloadLength;

    // 200 MB in 20 large files, half of them incompressible, and 400 small ones; packed with the
    // system's tar and gzip -1 (speed over size: the payload is about 110 MB).
    static void SetUpTestSuite() {
        AdoptOrphans();
        work = new TempDir(WorkParent());
        const std::string app = *work / "app";
        MakeApp(app);
        for (int i = 0; i < 20; ++i)
            WriteFile(app + "/lib/part" + std::to_string(i) + ".bin", Content(10 << 20, i % 2 ? ContentKind::Text : ContentKind::Random, i));
        for (int d = 0; d < 8; ++d) {
            const std::string dir = app + "/share/set" + std::to_string(d);
            mkdir(dir.c_str(), 0755);
            for (int i = 0; i < 50; ++i)
                WriteFile(dir + "/item" + std::to_string(i) + ".txt", Content(2000 + 37 * i, ContentKind::Text, d * 50 + i));
        }
        reference = TreeListing(app);

        installer = *work / "installer";
        PackInstaller(app, installer, 1);
        RemoveTree(app);
        payloadOffset = static_cast<long long>(ProgramImage().size());
        payloadLength = static_cast<long long>(PayloadOf(ReadFile(installer)).size());
    }
    static void TearDownTestSuite() {
        delete work;
        work = nullptr;
    }

    Command Run(const std::string &home, const std::vector<std::string> &args) {
        Command c;
        c.argv = {installer};
        c.argv.insert(c.argv.end(), args.begin(), args.end());
        c.env = {{"HOME", home}, {"LAUNCHER_MARKER", home + "/launcher-ran"}};
        c.unprivileged = true;  // F then installs into the home proposal, $HOME/Sonaris8
        c.umask = 022;
        return c;
    }
};

TempDir *Interruption::work;
std::string Interruption::installer;
std::string Interruption::reference;
long long Interruption::payloadOffset;
long long Interruption::payloadLength;

TEST_F(Interruption, AKilledInstallationLeavesNoProbeNoSettingsAndCompletesWhenRunAgain) {
    ASSERT_FALSE(installer.empty());
    struct Point {
        const char *name;
        double copied;  // the share of the payload read from the file, or < 0: all of it
    } points[] = {{"5% copied", 0.05}, {"40% copied", 0.4}, {"80% copied", 0.8},
                  {"all copied, tar still writing", -1}};
    struct Sequence {
        int signal;
        bool rerunInWindow;
    } sequences[] = {{SIGTERM, false}, {SIGKILL, true}};

    for (const auto &s : sequences) {
        SCOPED_TRACE(strsignal(s.signal));
        const std::string home = *work / ("home-" + std::to_string(s.signal));
        const std::string dest = home + "/Sonaris8";
        const std::string settings = home + "/.Corvalent_MedioraSDK_60";
        const std::string marker = home + "/launcher-ran";
        mkdir(home.c_str(), 0755);
        chown(home.c_str(), kNobody, kNobody);

        for (const auto &p : points) {
            SCOPED_TRACE(p.name);
            wizard::Installer running(Run(home, {}));
            ASSERT_TRUE(running.Press("f"));
            const pid_t pid = running.Pid();
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            auto reached = [&] {
                const long long read = OffsetIn(pid, installer) - payloadOffset;
                // All of it read, and the installer waiting for the pipeline to take the rest and end.
                if (p.copied < 0) return read >= payloadLength && Wchan(pid).find("poll") != std::string::npos;
                return read >= static_cast<long long>(p.copied * payloadLength);
            };
            // Judged once per look: the installer may have moved on by a second look.
            bool there = false;
            while (!(there = reached()) && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ASSERT_TRUE(there) << "the installation never got there";
            ASSERT_EQ(kill(pid, s.signal), 0);
            EXPECT_EQ(running.Wait(), -1) << "it ended by itself";
            // gunzip and tar see the pipe close and stop; what they leave is what is judged.
            EXPECT_TRUE(WaitForGroup(pid));
            EXPECT_FALSE(Exists(dest + "/test")) << "the probe file stayed";
            EXPECT_FALSE(Exists(settings)) << "a settings file was written";
            EXPECT_FALSE(Exists(marker)) << "the launcher ran";
            EXPECT_TRUE(Exists(dest + "/lib"));
        }

        if (s.rerunInWindow) {
            wizard::Installer again(Run(home, {}));
            ASSERT_TRUE(again.Press("f"));
            EXPECT_EQ(again.Wait(120), kLauncherStatus);  // the launcher's own status
            EXPECT_EQ(Launches(marker).size(), 1u);
            EXPECT_TRUE(Exists(settings));
        } else {
            const Result r = RunCommand(Run(home, {"-s", dest}));
            EXPECT_EQ(r.exitStatus, 0) << r.err;
            EXPECT_EQ(r.err, "");
        }
        EXPECT_EQ(TreeListing(dest), reference);
        RemoveTree(home);
    }
}

}  // namespace
