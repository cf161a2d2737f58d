// The private X server of the test harness, and the installer opening its window on it.
#include "tests/fixtures.h"

#include <gtest/gtest.h>

#include "tests/xwindows.h"

#include <X11/Xlib.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

using namespace fixtures;

namespace {

TEST(XServer, StartsPrivatelyWithTheFontsTheInstallerNeeds) {
    Display *display = XOpenDisplay(XServer::Shared().display().c_str());
    ASSERT_NE(display, nullptr);
    EXPECT_EQ(DisplayWidth(display, DefaultScreen(display)), 1280);
    for (const char *pattern : {"-adobe-helvetica-medium-r-*-*-12-*-*-*-*-*-*-*",
                                "-adobe-helvetica-medium-r-*-*-14-*-*-*-*-*-*-*"}) {
        int count = 0;
        char **names = XListFonts(display, pattern, 1, &count);
        EXPECT_GT(count, 0) << pattern;
        if (names) XFreeFontNames(names);
    }
    XCloseDisplay(display);
}

TEST(XServer, InstallerWithoutSilentOptionOpensItsWindow) {
    const std::string display = XServer::Shared().display();
    TempDir home;
    Command c;
    c.argv = {InstallerPath()};
    c.env = {{"DISPLAY", display}, {"HOME", home.path()}};
    const pid_t pid = Spawn(c);

    Display *dpy = XOpenDisplay(display.c_str());
    ASSERT_NE(dpy, nullptr);
    Window window = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!window && std::chrono::steady_clock::now() < deadline) {
        window = xwindows::TopLevelOfClass("SonarisInstaller", dpy);
        if (!window) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_NE(window, 0u);
    XCloseDisplay(dpy);
    kill(pid, SIGTERM);
    WaitFor(pid, 10);
}

}  // namespace
