// The real installer program in its window, on the harness's X server.
#include <gtest/gtest.h>

#include "fixtures.h"
#include "wizard_support.h"

#include <sys/stat.h>

#include <string>

using namespace fixtures;
using namespace wizard;

namespace {

class WizardTest : public testing::Test {
protected:
    TempDir tmp;
    std::string home = tmp / "home";

    void SetUp() override { mkdir(home.c_str(), 0755); }

    Command Interactive(std::vector<std::string> args = {}) {
        Command c;
        c.argv = {InstallerPath()};
        c.argv.insert(c.argv.end(), args.begin(), args.end());
        c.env = {{"HOME", home}};
        return c;
    }
};

TEST_F(WizardTest, OpensTheFixedWindowWithTitleAndDecorations) {
    Installer installer(Interactive());
    const Window w = installer.MainWindow();
    ASSERT_NE(w, 0u);
    const Geometry g = WindowGeometry(w);
    EXPECT_EQ(g.width, 489);
    EXPECT_EQ(g.height, 350);
    // Flags, functions, decorations, input mode, status: a border, a title bar, the window menu and
    // the minimise button; no resize handles, no maximise button.
    const std::vector<long> hints = LongProperty(w, "_MOTIF_WM_HINTS");
    ASSERT_GE(hints.size(), 3u);
    EXPECT_TRUE(hints[0] & 2);
    EXPECT_EQ(hints[2], 58);
}

TEST_F(WizardTest, ToolkitOptionsAndResourceFilesApply) {
    const std::string display = XServer::Shared().display();
    WriteFile(tmp / "SonarisInstaller", "SonarisInstaller.title: From the defaults file\n");
    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        const char *title;
        bool fallbackSize;
    } cases[] = {
        {"-display names the server", {"-display", display}, {{"DISPLAY", ":4711"}}, "Sonaris 8 Installer", true},
        {"-xrm overrides one line", {"-xrm", "SonarisInstaller.title: Another title"}, {}, "Another title", true},
        // An application-defaults file for the class replaces the whole fallback list.
        {"defaults file", {}, {{"XFILESEARCHPATH", tmp / "%N"}}, "From the defaults file", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Command command = Interactive(c.args);
        for (const auto &[k, v] : c.env) command.env[k] = v;
        Installer installer(command);
        const Window w = WaitForWindow(c.title);
        ASSERT_NE(w, 0u);
        const Geometry g = WindowGeometry(w);
        EXPECT_EQ(g.width == 489 && g.height == 350, c.fallbackSize);
    }
}

}  // namespace
