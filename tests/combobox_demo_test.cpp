// combobox-demo as a person meets it: its window comes up with four combo boxes, the arrow of the
// first one posts the list, and the keyboard picks an item from it.
#include <gtest/gtest.h>

#include "tests/fixtures.h"
#include "tests/xtoolkit.h"
#include "tests/xwindows.h"

#include <X11/keysym.h>
#include <signal.h>

#include <algorithm>

using namespace xtoolkit;

namespace {

using xwindows::Children;

TEST(ComboBoxDemo, ShowsItsComboBoxesAndReportsAChoice) {
    Display *display = Toolkit::Shared().display();
    fixtures::TempDir dir;
    fixtures::Command demo;
    demo.argv = {"/bin/sh", "-c", "exec \"$0\" > \"$1\"", fixtures::BuildDir() + "/combobox-demo", dir / "out"};
    demo.env = {{"DISPLAY", fixtures::XServer::Shared().display()}, {"HOME", dir.path()}};
    const pid_t pid = fixtures::Spawn(demo);

    Window window = 0;
    ASSERT_TRUE(PumpUntil([&] { return (window = xwindows::TopLevelOfClass("ComboBoxDemo", display)) != 0; }))
        << "no demo window";
    // Shell > row column > four labels and four combo boxes (the windows with children).
    std::vector<Window> combos;
    ASSERT_TRUE(PumpUntil([&] {
        combos.clear();
        const auto top = Children(window, display);
        if (top.empty()) return false;
        for (Window w : Children(top.front(), display))
            if (!Children(w, display).empty()) combos.push_back(w);
        return combos.size() == 4;
    })) << combos.size() << " combo boxes";

    // The topmost one is a text field with its arrow at the right.
    const auto geometry = [&](Window w) { return xwindows::WindowGeometry(w, display); };
    const Window first = *std::min_element(combos.begin(), combos.end(),
                                           [&](Window a, Window b) { return geometry(a).y < geometry(b).y; });
    const auto parts = Children(first, display);
    ASSERT_EQ(parts.size(), 2u);
    const Window arrow = geometry(parts[0]).x > geometry(parts[1]).x ? parts[0] : parts[1];
    const xwindows::Geometry box = geometry(arrow);
    EXPECT_EQ(box.width, 13);
    Click({box.x + box.width / 2, box.y + box.height / 2});
    // The list comes up as an override-redirect window of its own.
    EXPECT_TRUE(PumpUntil([&] {
        for (Window w : Children(DefaultRootWindow(display), display)) {
            XWindowAttributes attributes;
            if (xwindows::Viewable(w, display) && XGetWindowAttributes(display, w, &attributes) &&
                attributes.override_redirect)
                return true;
        }
        return false;
    }));
    TapKey(XK_Down);
    TapKey(XK_Return);
    std::string out;
    PumpUntil([&] {
        out = fixtures::Exists(dir / "out") ? fixtures::ReadFile(dir / "out") : "";
        return out.find('\n') != std::string::npos;
    });
    EXPECT_EQ(out, "textArrowRight selected 1 /usr/local/sonaris\n");
    kill(pid, SIGTERM);
    fixtures::WaitFor(pid, 10);
}

}  // namespace
