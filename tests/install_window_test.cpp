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
    EXPECT_EQ(Flowed(ShownError()), Flowed(Damaged(Path("damaged-installer"), kCorruptPayload)));
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

// A message wider than the window breaks at blanks, a path wider than it where it must, and its
// own line breaks stay: the dialog is no wider than the window.
TEST_F(InstallFromWindow, ALongMessageWrapsToTheWindowsWidth) {
    const std::string path = "/" + std::string(60, 'x') + "/" + std::string(90, 'y');
    const std::string message = "The destination " + path + " holds something in the way.\nRemove it first.";
    ShowError(message.c_str());
    ASSERT_TRUE(PumpUntil([] { return Viewable(XtParent(InstallerWidgets.errorDialog)); }));
    EXPECT_LE(Resource<Dimension>(XtParent(InstallerWidgets.errorDialog), XmNwidth),
              Resource<Dimension>(InstallerWidgets.toplevel, XmNwidth));
    const std::string shown = ShownError();
    EXPECT_NE(shown.find(".\nRemove"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\n" + std::string(20, 'y')), std::string::npos) << shown;  // the path broken inside
    const auto letters = [](std::string text) {
        text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == ' ' || c == '\n'; }), text.end());
        return text;
    };
    EXPECT_EQ(letters(shown), letters(message));
    XtUnmanageChild(InstallerWidgets.errorDialog);
}

TEST_F(InstallFromWindow, LauncherThatCannotRunIsReportedOverPageThree) {
    // The tree installs whatever its launcher is; only starting it fails.
    const struct {
        const char *name;
        std::string script;
        mode_t mode;  // 0: left out
    } launchers[] = {{"its interpreter missing", "#!/nonexistent/interpreter\n", 0755},
                     {"not executable", "#!/bin/sh\necho ran > \"$SONARIS_DEMO_MARKER\"\n", 0644},
                     {"missing", "#!/bin/sh\n", 0}};
    int n = 0;
    for (const auto &l : launchers) {
        SCOPED_TRACE(l.name);
        const std::string name = "noexec" + std::to_string(n++), tree = Path(name + "-tree");
        const std::string installer = Path(name + "-installer"), dest = Path(name + "-dest");
        SmallApp app;
        app.launcher = l.script;
        MakeApp(tree, app);
        if (l.mode == 0) unlink((tree + "/sonaris").c_str());
        else chmod((tree + "/sonaris").c_str(), l.mode);
        PackInstaller(tree, installer);
        const std::string report = InChild([&] {
            Build({installer});
            Accept(nullptr, nullptr, nullptr);
            StartInstall(dest);
            return ShownError() + "|" + Pages();
        });
        EXPECT_EQ(report, kLaunchFailed + "|3");
        EXPECT_EQ(TreeListing(dest), TreeListing(tree));
        EXPECT_FALSE(Exists(Path("launcher-ran")));
    }
}

}  // namespace
