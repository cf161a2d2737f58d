// The install sequence run from the window, in-process: what the error dialog says and over which
// page, and that nothing starts twice.
#include <gtest/gtest.h>

#include "tests/fixtures.h"
#include "installer/installer.h"
#include "tests/messages.h"
#include "installer/navigation.h"
#include "tests/window_support.h"
#include "tests/xtoolkit.h"

#include <Xm/TextF.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <cstdlib>
#include <string>

using namespace fixtures;
using namespace xtoolkit;
using namespace windowtest;
using namespace messages;

namespace {


std::string Pages() {
    const InstallerWidgetsRec &iw = InstallerWidgets;
    std::string pages;
    if (XtIsManaged(iw.page1form)) pages += '1';
    if (XtIsManaged(iw.page2form)) pages += '2';
    if (XtIsManaged(iw.page3form)) pages += '3';
    return pages;
}

void StartInstall(const std::string &destination) {
    XmTextFieldSetString(DestinationField(), const_cast<char *>(destination.c_str()));
    Install(nullptr, nullptr, nullptr);
    Drain();
}

class InstallFromWindow : public testing::Test {
protected:
    static TempDir *tmp;

    static std::string Path(const std::string &name) { return *tmp / name; }

    static void SetUpTestSuite() {
        tmp = new TempDir;
        mkdir(Path("home").c_str(), 0755);
        setenv("HOME", Path("home").c_str(), 1);
        setenv("SONARIS_DEMO_MARKER", Path("launcher-ran").c_str(), 1);
        XServer::Shared();
        std::string payload = DemoPayloadWithNoise(Path("damaged-tree"));
        payload[payload.size() / 2] ^= 0x10;
        Build({WriteInstaller(Path("damaged-installer"), payload)});
        PumpUntil([] { return Viewable(InstallerWidgets.toplevel); });
    }
    static void TearDownTestSuite() { delete tmp; }
};

TempDir *InstallFromWindow::tmp;

// In order: refusals leave page 2, a failed extraction leaves page 3 for good.
TEST_F(InstallFromWindow, EachFailureShowsItsMessageOverItsPage) {
    Accept(nullptr, nullptr, nullptr);
    Drain();
    ASSERT_EQ(Pages(), "2");
    WriteFile(Path("file"), "");
    struct Case {
        std::string destination, message;
        bool why;  // a line follows that says why
    } refusals[] = {
        {"", kNoDestination, false},
        {Path("missing/dest"), CannotMake(Path("missing/dest")), true},
        {Path("file"), NotADirectory(Path("file")), false},
    };
    for (const auto &c : refusals) {
        SCOPED_TRACE(c.destination);
        StartInstall(c.destination);
        if (c.why)
            EXPECT_TRUE(TwoLines(ShownError(), c.message, {}, true));
        else
            EXPECT_EQ(Flowed(ShownError()), Flowed(c.message));
        EXPECT_EQ(Pages(), "2");
        XtUnmanageChild(InstallerWidgets.errorDialog);
    }

    StartInstall(Path("dest"));
    EXPECT_EQ(Flowed(ShownError()), Flowed(Damaged(Path("damaged-installer"), kCorruptPayload, Path("dest"))));
    EXPECT_FALSE(Exists(Path("dest/sonaris")));  // tar had all of it before gunzip found the damage
    EXPECT_EQ(Pages(), "3");
    EXPECT_FLOAT_EQ(InstallerWidgets.progress, 100.0f);  // all of it went down the pipe
    EXPECT_FALSE(Exists(Path("launcher-ran")));
    EXPECT_FALSE(Exists(Path("home/.Corvalent_MedioraSDK_60")));

    // From the progress page nothing starts again and there is no way back.
    XtUnmanageChild(InstallerWidgets.errorDialog);
    StartInstall(Path("dest2"));
    for (int index : {0, 2, 3, 4}) HandleAccelerator(nullptr, reinterpret_cast<XtPointer>(index), nullptr);
    Accept(nullptr, nullptr, nullptr);
    Back(nullptr, nullptr, nullptr);
    Drain();
    EXPECT_EQ(ShownError(), "");
    EXPECT_EQ(Pages(), "3");
    EXPECT_FALSE(Exists(Path("dest2")));
}

// A message's own lines stay whole, however much wider than the window they make the dialog; a
// line wider than the screen breaks at blanks, a path wider than it where it must.
TEST_F(InstallFromWindow, OnlyLinesWiderThanTheScreenBreak) {
    Widget dialog = InstallerWidgets.errorDialog;
    const int screen = WidthOfScreen(XtScreen(dialog));
    const std::string failed =
        kExtractionFailed + "tar: ./share/sonaris/skins/midnight.skin: Wrote only 5632 of 10240 bytes: No space left on device";
    ShowError(failed.c_str());
    ASSERT_TRUE(PumpUntil([dialog] { return Viewable(XtParent(dialog)); }));
    EXPECT_EQ(ShownError(), failed);
    EXPECT_GT(Resource<Dimension>(XtParent(dialog), XmNwidth),
              Resource<Dimension>(InstallerWidgets.toplevel, XmNwidth));

    const std::string path = "/" + std::string(60, 'x') + "/" + std::string(300, 'y');
    const std::string message = "The destination " + path + " holds something in the way.\nRemove it first.";
    ShowError(message.c_str());
    Drain();
    EXPECT_LE(Resource<Dimension>(XtParent(dialog), XmNwidth), screen);
    const std::string shown = ShownError();
    EXPECT_NE(shown.find(".\nRemove"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\n" + std::string(20, 'y')), std::string::npos) << shown;  // the path broken inside
    const auto letters = [](std::string text) {
        text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == ' ' || c == '\n'; }), text.end());
        return text;
    };
    EXPECT_EQ(letters(shown), letters(message));
    XtUnmanageChild(dialog);
}

// The launcher's shapes, run from the window as root and as nobody: what runs gets "inst" and the
// path DEST//sonaris, whatever leads there; what does not is named over page 3.
TEST_F(InstallFromWindow, LauncherRunsWhereItLeadsInsideTheDestination) {
    const std::string outside = Path("outside"), users = Path("users"), marker = Path("users/launcher-ran");
    MakeDir(outside);
    WriteFile(outside + "/real", MarkerLauncher(), 0755);
    MakeDir(users, 0777);
    const auto toReal = [](const std::string &tree) {
        unlink((tree + "/sonaris").c_str());
        symlink("bin/real", (tree + "/sonaris").c_str());
    };
    const auto others = [](const std::string &dest) {  // a file that is nobody's, where the link leads
        MakeDir(dest, 0755);
        MakeDir(dest + "/bin", 0755);
        WriteFile(dest + "/bin/real", MarkerLauncher(), 0755);
        RunArgs({"chown", "-R", "65534:65534", dest + "/bin"});
    };
    // The messages name the destination where they say DEST; "" where the launcher runs.
    const std::string link = "it is a symbolic link to bin/real that leads ";
    const std::string out = LauncherNotStarted("DEST", link + "out of DEST", kCheckWhere);
    const std::string dangling = LauncherNotStarted("DEST", link + "to nothing", kAskSupplier);
    const std::string notRoots =
        LauncherNotStarted("DEST", "it leads through DEST/bin, which is not owned by root", kCheckIt);
    const auto moved = [](const std::string &tree) {
        MakeDir(tree + "/bin");
        rename((tree + "/sonaris").c_str(), (tree + "/bin/real").c_str());
        symlink("bin/real", (tree + "/sonaris").c_str());
    };
    struct Case {
        const char *name;
        std::string script;  // the launcher, or what it leads to
        mode_t mode;         // 0: no launcher
        std::function<void(const std::string &tree)> shape;
        std::function<void(const std::string &dest)> prepare;
        std::string root, nobody;
    } cases[] = {
        {"a regular file", MarkerLauncher(), 0755, {}, {}, "", ""},
        {"a link inside", MarkerLauncher(), 0755, moved, {}, "", ""},
        {"a link that a link in the destination leads out", MarkerLauncher(), 0755, toReal,
         [&](const std::string &dest) {
             MakeDir(dest, 0755);
             symlink(outside.c_str(), (dest + "/bin").c_str());
         },
         out, out},
        {"a dangling link", MarkerLauncher(), 0755, toReal, {}, dangling, dangling},
        {"a link to another user's file", MarkerLauncher(), 0755, toReal, others, notRoots, ""},
        // Where the launcher is missing or cannot be executed, the reason is unknown to the installer.
        {"its interpreter missing", "#!/nonexistent/interpreter\n", 0755, {}, {}, kLaunchFailed, kLaunchFailed},
        {"not executable", MarkerLauncher(), 0644, {}, {}, kLaunchFailed, kLaunchFailed},
        {"missing", "", 0, {}, {}, kLaunchFailed, kLaunchFailed},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string tree = Path("launcher" + std::to_string(n) + "-tree"), installer = tree + ".installer";
        SmallApp app;
        app.launcher = c.script;
        MakeApp(tree, app);
        if (c.mode == 0) unlink((tree + "/sonaris").c_str());
        else chmod((tree + "/sonaris").c_str(), c.mode);
        if (c.shape) c.shape(tree);
        PackInstaller(tree, installer);
        for (const bool unprivileged : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (unprivileged ? ", as nobody" : ", as root"));
            const std::string dest = (unprivileged ? users : tmp->path()) + "/dest" + std::to_string(n++);
            if (c.prepare) c.prepare(dest);
            if (unprivileged && c.prepare) chown(dest.c_str(), kNobody, kNobody);
            std::string message = unprivileged ? c.nobody : c.root;
            for (std::size_t at; (at = message.find("DEST")) != std::string::npos;) message.replace(at, 4, dest);
            const std::string report = InChild(
                [&] {
                    setenv("LAUNCHER_MARKER", marker.c_str(), 1);
                    Build({installer});
                    Accept(nullptr, nullptr, nullptr);
                    StartInstall(dest);
                    return ShownError() + "|" + Pages();
                },
                unprivileged);
            const auto launches = Launches(marker);
            unlink(marker.c_str());
            if (!message.empty()) {
                EXPECT_EQ(Flowed(report), Flowed(message + "|3"));
                EXPECT_TRUE(launches.empty());
                continue;
            }
            ASSERT_EQ(launches.size(), 1u) << report;
            EXPECT_EQ(launches[0].at("argv0"), dest + "//sonaris");
            EXPECT_EQ(launches[0].at("args"), "inst");
        }
    }
}

}  // namespace
