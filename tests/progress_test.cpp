// The progress bar, drawn in-process on the harness's X server and read back pixel by pixel.
#include <gtest/gtest.h>

#include "tests/fixtures.h"
#include "installer/installer.h"
#include "tests/window_support.h"
#include "tests/xtoolkit.h"
#include "tests/xwindows.h"

#include <Xm/Xm.h>

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace fixtures;
using namespace xtoolkit;
using namespace windowtest;

namespace {

const unsigned long kFill = 0x3131ce, kBackground = 0xd0d0d0, kWhite = 0xffffff, kMarker = 0xff0000;

struct Bar {
    Widget w;
    int width, height;
};

// The progress page on screen, as the install sequence shows it.
Bar ShowProgressPage() {
    Build({"sonaris-installer"});
    XtManageChild(InstallerWidgets.page3form);
    XtUnmanageChild(InstallerWidgets.page1form);
    Widget bar = InstallerWidgets.page3progressbar;
    PumpUntil([bar] { return Viewable(bar); });
    Pump();
    Dimension width = 0, height = 0;
    XtVaGetValues(bar, XmNwidth, &width, XmNheight, &height, nullptr);
    return {bar, width, height};
}

// Paints the whole bar red, so that anything the bar draws afterwards shows.
void PaintMarker(const Bar &bar) {
    Display *d = XtDisplay(bar.w);
    GC gc = XCreateGC(d, XtWindow(bar.w), 0, nullptr);
    XSetForeground(d, gc, kMarker);
    XFillRectangle(d, XtWindow(bar.w), gc, 0, 0, bar.width, bar.height);
    XFreeGC(d, gc);
    Drain();
}

void Draw(float progress) {
    InstallerWidgets.progress = progress;
    DrawProgressBar(InstallerWidgets.page3progressbar, nullptr, nullptr);
    Drain();
}

unsigned long At(const Bar &bar, int x, int y) { return PixelAt(bar.w, x, y) & 0xffffff; }

// The leftmost and rightmost columns holding a white pixel (-1 when none).
std::pair<int, int> WhiteColumns(const Bar &bar) {
    const std::vector<unsigned long> pixels =
        xwindows::Pixels(XtWindow(bar.w), 0, 0, bar.width, bar.height, XtDisplay(bar.w));
    int left = -1, right = -1;
    for (int x = 0; x < bar.width; ++x)
        for (int y = 0; y < bar.height; ++y)
            if (pixels[static_cast<std::size_t>(y * bar.width + x)] == kWhite) {
                if (left < 0) left = x;
                right = x;
            }
    return {left, right};
}

class ProgressBar : public testing::Test {
protected:
    static Bar bar;
    static void SetUpTestSuite() {
        static TempDir home;
        setenv("HOME", home.path().c_str(), 1);
        XServer::Shared();
        bar = ShowProgressPage();
    }
};

Bar ProgressBar::bar;

// One test: the bar remembers the width it last filled, and progress only grows; an exposure
// repaints what the server cleared.
TEST_F(ProgressBar, RepaintsWhenTheFilledWidthGrowsOrTheBarIsExposed) {
    ASSERT_GT(bar.width, 100);
    ASSERT_EQ(bar.height, 30);

    // While the filled width is 0 nothing is drawn, not even the percentage.
    PaintMarker(bar);
    Draw(0.0f);
    Draw(50.0f / bar.width);
    EXPECT_EQ(At(bar, 0, 0), kMarker);
    EXPECT_EQ(At(bar, bar.width / 2, bar.height / 2), kMarker);
    EXPECT_EQ(At(bar, bar.width - 1, bar.height - 1), kMarker);

    // Half: fill on the left, background on the right, the percentage in white about the middle.
    Draw(50.0f);
    const int filled = bar.width / 2;
    EXPECT_EQ(At(bar, 0, 0), kFill);
    EXPECT_EQ(At(bar, filled - 1, bar.height - 1), kFill);
    EXPECT_EQ(At(bar, filled + 1, 0), kBackground);
    EXPECT_EQ(At(bar, bar.width - 1, bar.height - 1), kBackground);
    const auto [left, right] = WhiteColumns(bar);
    ASSERT_GE(left, 0);
    EXPECT_NEAR((left + right) / 2, bar.width / 2, 3);  // centred
    EXPECT_LT(right - left, 40);                        // "50%", not more

    // Progress that leaves the filled width as it was repaints nothing.
    PaintMarker(bar);
    Draw(50.0f + 10.0f / bar.width);
    EXPECT_EQ(At(bar, 0, 0), kMarker);
    EXPECT_EQ(At(bar, bar.width - 1, 0), kMarker);

    // A real exposure at that same width draws the bar again: the server cleared it first.
    XClearArea(XtDisplay(bar.w), XtWindow(bar.w), 0, 0, 0, 0, True);
    Drain();
    EXPECT_EQ(At(bar, 0, 0), kFill);
    EXPECT_EQ(At(bar, bar.width - 1, 0), kBackground);
    EXPECT_EQ(WhiteColumns(bar), std::make_pair(left, right));

    // At 100 the whole bar is filled and reads 100%, wider than 50%.
    Draw(100.0f);
    EXPECT_EQ(At(bar, 0, 0), kFill);
    EXPECT_EQ(At(bar, bar.width - 1, bar.height - 1), kFill);
    const auto [left100, right100] = WhiteColumns(bar);
    EXPECT_GT(right100 - left100, right - left);
}

TEST(ProgressBarWithoutFont, TextStartsAtTheCentre) {
    const std::string report = InChild([] {
        const Bar bar = ShowProgressPage();
        InstallerWidgets.font = nullptr;  // as when the server has no 14-pixel Helvetica
        Draw(50.0f);
        const auto [left, right] = WhiteColumns(bar);
        return std::to_string(left - bar.width / 2) + " " + std::to_string(right - left);
    });
    int offset = -1, extent = -1;
    ASSERT_EQ(std::sscanf(report.c_str(), "%d %d", &offset, &extent), 2) << report;
    // The text's left end at the centre (a glyph's bearing aside), not centred about it.
    EXPECT_GE(offset, 0);
    EXPECT_LE(offset, 2);
    EXPECT_GT(extent, 5);
}

}  // namespace
