// The real installer under valgrind's memcheck: a silent installation, and the wizard driven with
// XTest on the harness's X server. No invalid read or write, no use of uninitialised memory, and no
// block definitely lost at exit; tests/valgrind.supp names the toolkit's own known faults.
#include <gtest/gtest.h>

#include "tests/fixtures.h"
#include "tests/wizard_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

using namespace fixtures;
using namespace wizard;
using namespace xwindows;

namespace {

const char kErrorBegin[] = "MEMCHECK-ERROR-BEGIN";
const int kErrorStatus = 99;

std::string Valgrind() {
    for (const char *dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
        const std::string path = std::string(dir) + "/valgrind";
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return "";
}

// Viewable windows at the top of the screen: the installer's shell, its dialogs, a posted list.
class Memcheck : public InstallerRuns {
protected:
    std::string log = tmp / "memcheck.log";

    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "valgrind cannot run a program built with AddressSanitizer; `make test` runs these";
#endif
        if (Valgrind().empty())
            GTEST_SKIP() << "valgrind is not installed (scripts/install-deps installs it); memcheck not run";
        mkdir(home.c_str(), 0755);  // root's: the wizard's installation writes its settings there
    }

    // The installer's own file for the demo application with the tests' launcher; `noise` bytes make
    // the payload larger.
    std::string MakeInstaller(std::size_t noise = 0) {
        SmallApp app;
        app.noise = noise;
        app.seed = 4711;
        app.demo = true;
        return fixtures::MakeInstaller(tmp / "tree", tmp / "installer", app);
    }

    // The installer run by valgrind: an error, or a block definitely lost at exit, makes the exit
    // status kErrorStatus and leaves a marked report in the log.
    Command UnderMemcheck(const std::string &installer, const std::vector<std::string> &args) {
        // A copy beside the test's files: valgrind run as nobody may not reach the source tree.
        const std::string suppressions = tmp / "valgrind.supp";
        if (!Exists(suppressions)) WriteFile(suppressions, ReadFile(SourceDir() + "/tests/valgrind.supp"), 0644);
        Command c;
        c.program = Valgrind();
        c.argv = {"valgrind",
                  "--tool=memcheck",
                  "--log-file=" + log,
                  "--error-exitcode=" + std::to_string(kErrorStatus),
                  "--error-markers=" + std::string(kErrorBegin) + ",MEMCHECK-ERROR-END",
                  "--leak-check=full",
                  "--show-leak-kinds=definite",
                  "--errors-for-leak-kinds=definite",
                  "--track-origins=yes",
                  "--num-callers=40",
                  "--suppressions=" + suppressions,
                  installer};
        c.argv.insert(c.argv.end(), args.begin(), args.end());
        c.env = {{"HOME", home}, {"LAUNCHER_MARKER", marker}};
        c.timeoutSeconds = 120;
        return c;
    }

    std::string Log() { return Exists(log) ? ReadFile(log) : "(no log)"; }

    // No error reported up to the end of the run; with `exited`, the run reached memcheck's summary.
    void ExpectNoErrors(bool exited) {
        const std::string text = Log();
        EXPECT_EQ(text.find(kErrorBegin), std::string::npos) << text;
        if (exited) {
            EXPECT_NE(text.find("ERROR SUMMARY: 0 errors"), std::string::npos) << text;
            EXPECT_EQ(text.find("definitely lost: "), text.find("definitely lost: 0 bytes")) << text;
        }
    }
};

TEST_F(Memcheck, SilentInstallationsSoundAndFailedAreClean) {
    const std::string installer = MakeInstaller();
    const std::string bytes = ReadFile(installer);
    const std::string program = ReadFile(InstallerPath());
    std::string damaged = bytes;
    damaged[program.size() + (bytes.size() - program.size()) / 2] ^= 0x55;  // inside the deflate data
    WriteFile(tmp / "damaged", damaged, 0755);
    WriteFile(tmp / "no-trailer", bytes.substr(0, bytes.size() - 1), 0755);
    struct Case {
        const char *name;
        std::string installer;
        std::string destination;
        int status;
    } cases[] = {
        {"a complete installation", installer, tmp / "dest", 0},
        {"a damaged payload", tmp / "damaged", tmp / "dest-damaged", 1},
        {"a file without its trailer", tmp / "no-trailer", tmp / "dest-no-trailer", 1},
        {"a destination that cannot be made", installer, tmp / "missing/dest", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Command command = UnderMemcheck(c.installer, {"-s", c.destination});
        command.unset = {"DISPLAY"};
        const Result r = RunCommand(command);
        EXPECT_EQ(r.exitStatus, c.status) << r.err << Log();
        ExpectNoErrors(true);
        if (c.status == 0) {
            EXPECT_TRUE(Exists(c.destination + "/sonaris"));
        }
        EXPECT_FALSE(Exists(marker));
    }
}

TEST_F(Memcheck, WizardInstallationUpToTheLauncherIsClean) {
    const std::string dest = tmp / "wizard dest";
    Installer installer(UnderMemcheck(MakeInstaller(), {}));
    const Window w = installer.MainWindow();
    ASSERT_NE(w, 0u) << Log();
    Key("a");
    ASSERT_TRUE(Eventually([&] { return ShownPages(w) == "2"; })) << Log();
    // Post the proposals' list with the arrow, browse it, take it down, then type the destination.
    const long shown = ViewableTopLevels();
    Click(w, kArrowX, kArrowY);
    EXPECT_TRUE(Eventually([&] { return ViewableTopLevels() == shown + 1; })) << "the list was not posted";
    Key("Down");
    Key("Escape");
    EXPECT_TRUE(Eventually([&] { return ViewableTopLevels() == shown; })) << "the list stayed up";
    Click(w, kFieldX, kFieldY);
    Key("End");
    for (int i = 0; i < 60; ++i) Key("BackSpace");
    Type(dest);
    ClickFinish(w);
    // The launcher takes over the process: memcheck reports nothing more after the exec.
    EXPECT_EQ(installer.Wait(90), kLauncherStatus) << Log();
    const auto runs = Launches(marker);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].at("args"), "inst");
    EXPECT_TRUE(Exists(dest + "/share"));
    EXPECT_TRUE(Exists(home + "/.Corvalent_MedioraSDK_60"));
    ExpectNoErrors(false);
}

TEST_F(Memcheck, WizardCancelledDuringTheExtractionLeaksNothing) {
    const std::string dest = tmp / "cancelled";
    Command c = UnderMemcheck(MakeInstaller(4 << 20), {});
    // A gunzip that passes the payload on slowly keeps the progress page up long enough to cancel.
    SlowPipeline(c);
    chmod(tmp.path().c_str(), 01777);
    chown(home.c_str(), kNobody, kNobody);
    Installer installer(c);
    ASSERT_TRUE(installer.TypeDestination(dest, true)) << Log();
    const Window w = installer.MainWindow();
    ASSERT_TRUE(Eventually([&] { return ShownPages(w) == "3"; })) << Log();
    Focus(w);
    Key("c");
    // Cancel ends the process with status 0, and memcheck's leak check runs at that exit.
    EXPECT_EQ(installer.Wait(90), 0) << Log();
    EXPECT_FALSE(Exists(marker));
    ExpectNoErrors(true);
}

}  // namespace
