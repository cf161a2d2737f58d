// The installer window built in-process on the harness's X server: resources, pages, proposals, the
// error dialog.
#include <gtest/gtest.h>

#include "combobox/DtComboBox.h"
#include "tests/fixtures.h"
#include "installer/installer.h"
#include "data/installer_data.h"
#include "installer/navigation.h"
#include "installer/owners.h"
#include "installer/window.h"
#include "tests/window_support.h"
#include "tests/xtoolkit.h"

#include <X11/Xatom.h>
#include <Xm/MessageB.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace fixtures;
using namespace xtoolkit;
using namespace windowtest;

namespace {

// The destination combo box's list, one item a line, then "shows: " and the text field's value.
std::string Proposals() {
    Widget combo = InstallerWidgets.page2dircombobox;
    XmStringTable items = nullptr;
    int count = 0;
    XtVaGetValues(combo, DtNitems, &items, DtNitemCount, &count, nullptr);
    std::string text;
    for (int i = 0; i < count; ++i) text += TextOf(items[i]) + "\n";
    return text + "shows: " + TextValue(DestinationField());
}

Pixel Colour(const char *name) {
    Display *display = XtDisplay(InstallerWidgets.toplevel);
    XColor exact, screen;
    XAllocNamedColor(display, DefaultColormap(display, DefaultScreen(display)), name, &screen, &exact);
    return screen.pixel;
}

struct Box {
    int x, y, width, height;
    int right() const { return x + width; }
    int bottom() const { return y + height; }
};

Box Geometry(Widget w) {
    Position x = 0, y = 0;
    Dimension width = 0, height = 0, border = 0;
    XtVaGetValues(w, XmNx, &x, XmNy, &y, XmNwidth, &width, XmNheight, &height, XmNborderWidth, &border, nullptr);
    return {x, y, width + 2 * border, height + 2 * border};
}

// Windows built in children, defined first so that they run before this process builds one of its
// own: the toolkit keeps what it read at its first start (libXm its first HOME), and a child
// inherits it.
TEST(WindowResources, UserResourcesOverrideSingleFallbackLines) {
    const std::string report = InChild([] {
        Build({"sonaris-installer", "-xrm", "SonarisInstaller*page1accept.labelString: Agree", "-xrm",
               "SonarisInstaller.title: Custom title"});
        return Label(InstallerWidgets.page1accept) + "|" + Label(InstallerWidgets.page1cancel) + "|" +
               Resource<char *>(InstallerWidgets.toplevel, XmNtitle);
    });
    EXPECT_EQ(report, "Agree|Cancel|Custom title");
}

TEST(WindowProposals, ThreeDestinationsInOrderFirstOneShown) {
    const bool root = geteuid() == 0;  // only root may write to /usr/local here
    const std::string longHome = "/" + std::string(4096, 'h');
    struct Case {
        const char *name;
        bool unprivileged;
        const char *home;  // null: unset
        std::string expected;
    } cases[] = {
        {"/usr/local writable", false, "/home/ann",
         "/usr/local/Sonaris8\n/home/ann/Sonaris8\n/opt/Sonaris8\nshows: /usr/local/Sonaris8"},
        {"/usr/local not writable", true, "/home/ann",
         "/home/ann/Sonaris8\n/usr/local/Sonaris8\n/opt/Sonaris8\nshows: /home/ann/Sonaris8"},
        {"HOME is /usr/local", false, "/usr/local", "/usr/local/Sonaris8\n/opt/Sonaris8\nshows: /usr/local/Sonaris8"},
        {"HOME is /opt", false, "/opt", "/usr/local/Sonaris8\n/opt/Sonaris8\nshows: /usr/local/Sonaris8"},
        {"HOME is /opt, /usr/local not writable", true, "/opt",
         "/opt/Sonaris8\n/usr/local/Sonaris8\nshows: /opt/Sonaris8"},
        {"HOME ending in a slash", true, "/home/ann/",
         "/home/ann//Sonaris8\n/usr/local/Sonaris8\n/opt/Sonaris8\nshows: /home/ann//Sonaris8"},
        {"HOME unset", false, nullptr, "/usr/local/Sonaris8\n/opt/Sonaris8\nshows: /usr/local/Sonaris8"},
        {"HOME unset, /usr/local not writable", true, nullptr,
         "/usr/local/Sonaris8\n/opt/Sonaris8\nshows: /usr/local/Sonaris8"},
        {"HOME too long for its buffer", true, longHome.c_str(),
         "/usr/local/Sonaris8\n/opt/Sonaris8\nshows: /usr/local/Sonaris8"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.unprivileged && !root) continue;
        const std::string report = InChild(
            [&c] {
                if (c.home)
                    setenv("HOME", c.home, 1);
                else
                    unsetenv("HOME");
                Build({"sonaris-installer"});
                return Proposals();
            },
            c.unprivileged);
        EXPECT_EQ(report, c.expected);
    }
}

// What start-up left, noted before any test changes it.
struct StartState {
    bool page1Viewable, page2Managed, page3Managed, page2Realized, page3Realized, dialogManaged;
    Widget focus;
};

// One window for the suites that look at it as start-up leaves it.
class WindowTest : public testing::Test {
protected:
    static StartState start;

    static void SetUpTestSuite() {
        static TempDir home;
        XServer::Shared();
        setenv("HOME", home.path().c_str(), 1);
        Build({"sonaris-installer"});
        ASSERT_TRUE(PumpUntil([] { return Viewable(InstallerWidgets.toplevel); }));
        const InstallerWidgetsRec &iw = InstallerWidgets;
        start.page1Viewable = Viewable(iw.page1form);
        start.page2Managed = XtIsManaged(iw.page2form);
        start.page3Managed = XtIsManaged(iw.page3form);
        start.page2Realized = XtIsRealized(iw.page2form);
        start.page3Realized = XtIsRealized(iw.page3form);
        start.dialogManaged = XtIsManaged(iw.errorDialog);
        start.focus = XmGetFocusWidget(iw.toplevel);
    }
};

StartState WindowTest::start;

TEST_F(WindowTest, FallbackResourcesGiveEveryWidgetItsLook) {
    const InstallerWidgetsRec &iw = InstallerWidgets;
    struct Button {
        Widget w;
        const char *label;
        KeySym mnemonic;
        bool sensitive;
    } buttons[] = {
        {iw.page1finish, "Finish", 'F', false}, {iw.page1accept, "Accept >", 'A', true},
        {iw.page1back, "< Back", 'B', false},   {iw.page1cancel, "Cancel", 'C', true},
        {iw.page2finish, "Finish", 'F', true},  {iw.page2next, "Next >", 'N', false},
        {iw.page2back, "< Back", 'B', true},    {iw.page2cancel, "Cancel", 'C', true},
    };
    for (const auto &b : buttons) {
        SCOPED_TRACE(XtName(b.w));
        KeySym mnemonic = 0;
        Dimension width = 0, marginHeight = 0, shadow = 0;
        XtVaGetValues(b.w, XmNmnemonic, &mnemonic, XmNwidth, &width, XmNmarginHeight, &marginHeight,
                      XmNshadowThickness, &shadow, nullptr);
        EXPECT_EQ(Label(b.w), b.label);
        EXPECT_EQ(mnemonic, b.mnemonic);
        EXPECT_EQ(width, 75);
        EXPECT_EQ(marginHeight, 3);
        EXPECT_EQ(shadow, 1);
        EXPECT_EQ(XtIsSensitive(b.w), b.sensitive);
    }
    EXPECT_EQ(Label(iw.page2dirlabel), "Destination Directory");
    EXPECT_EQ(Label(iw.page3progresslabel), "Installing...");

    Pixel background = 0, foreground = 0, topShadow = 0;
    XtVaGetValues(iw.page1toplabel, XmNbackground, &background, XmNforeground, &foreground, XmNtopShadowColor,
                  &topShadow, nullptr);
    EXPECT_EQ(background, Colour("#D0D0D0"));
    EXPECT_EQ(foreground, Colour("black"));
    EXPECT_EQ(topShadow, Colour("white"));

    Widget field = DestinationField();
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(Resource<Pixel>(field, XmNbackground), Colour("white"));

    Dimension barHeight = 0;
    XtVaGetValues(iw.page3progressbar, XmNheight, &barHeight, XmNforeground, &foreground, nullptr);
    EXPECT_EQ(barHeight, 30);
    EXPECT_EQ(foreground, Colour("#3131ce"));

    // Text in 12-pixel Helvetica.
    XmFontContext context;
    ASSERT_TRUE(XmFontListInitFontContext(&context, Resource<XmFontList>(iw.page1toplabel, XmNfontList)));
    XmFontListEntry entry = XmFontListNextEntry(context);
    XmFontListFreeFontContext(context);
    ASSERT_NE(entry, nullptr);
    XmFontType type;
    auto *font = static_cast<XFontStruct *>(XmFontListEntryGetFont(entry, &type));
    ASSERT_EQ(type, XmFONT_IS_FONT);
    unsigned long name = 0;
    ASSERT_TRUE(XGetFontProperty(font, XA_FONT, &name));
    char *fontName = XGetAtomName(XtDisplay(iw.toplevel), name);
    EXPECT_NE(std::string(fontName).find("-Adobe-Helvetica-Medium-R-Normal--12-"), std::string::npos) << fontName;
    XFree(fontName);
}

TEST_F(WindowTest, OnlyPageOneExistsOnScreenAtStart) {
    EXPECT_TRUE(start.page1Viewable);
    EXPECT_FALSE(start.page2Managed);
    EXPECT_FALSE(start.page3Managed);
    // Pages 2 and 3 get their windows when they are first shown.
    EXPECT_FALSE(start.page2Realized);
    EXPECT_FALSE(start.page3Realized);
    EXPECT_FALSE(start.dialogManaged);
    EXPECT_EQ(start.focus, InstallerWidgets.page1accept);
}

// The hidden menu holds the five keys in their order; client data naming no item does nothing.
TEST_F(WindowTest, AcceleratorMenuHoldsTheFiveKeysAndIgnoresOtherPositions) {
    const InstallerWidgetsRec &iw = InstallerWidgets;
    WidgetList items = nullptr;
    Cardinal count = 0;
    XtVaGetValues(iw.popupMenu, XmNchildren, &items, XmNnumChildren, &count, nullptr);
    std::vector<std::string> accelerators;
    for (Cardinal i = 0; i < count; ++i) {
        // The label hands out a copy of its accelerator, which is ours to free.
        char *accelerator = nullptr;
        XtVaGetValues(items[i], XmNaccelerator, &accelerator, nullptr);
        const XtText owned(accelerator);
        accelerators.push_back(accelerator ? accelerator : "");
    }
    EXPECT_EQ(accelerators, (std::vector<std::string>{"<Key>Return", "<Key>C", "<Key>B", "<Key>A", "<Key>F"}));

    for (std::intptr_t index : {5, -1, 1000}) HandleAccelerator(nullptr, reinterpret_cast<XtPointer>(index), nullptr);
    Drain();
    EXPECT_TRUE(XtIsManaged(iw.page1form));
    EXPECT_FALSE(XtIsManaged(iw.page2form));
    EXPECT_FALSE(XtIsManaged(iw.page3form));
}

TEST_F(WindowTest, PageOneLaysOutAroundTheLogo) {
    const InstallerWidgetsRec &iw = InstallerWidgets;
    const Box form = Geometry(iw.page1form), logo = Geometry(iw.page1logo);
    const Box top = Geometry(iw.page1toplabel), bottom = Geometry(iw.page1bottomlabel);
    const Box licence = Geometry(iw.page1licenseWindow), separator = Geometry(iw.page1separator);
    const Box row = Geometry(iw.page1buttons);
    const Box finish = Geometry(iw.page1finish), accept = Geometry(iw.page1accept);
    const Box back = Geometry(iw.page1back), cancel = Geometry(iw.page1cancel);

    EXPECT_EQ(form.x, 2);
    EXPECT_EQ(form.width, 489 - 4);
    EXPECT_EQ(logo.x, 10);
    EXPECT_EQ(logo.y, 10);
    EXPECT_EQ(logo.width, 100);
    EXPECT_EQ(logo.height, 236);
    EXPECT_EQ(top.x, logo.right() + 10);
    EXPECT_EQ(top.right(), form.width - 10);
    EXPECT_EQ(bottom.y, logo.bottom());
    EXPECT_EQ(bottom.right(), form.width - 15);
    // The licence fills the space between the two labels.
    EXPECT_EQ(licence.x, logo.right() + 10);
    EXPECT_EQ(licence.y, top.bottom());
    EXPECT_EQ(licence.right(), bottom.right());
    EXPECT_EQ(licence.bottom(), bottom.y);
    EXPECT_EQ(separator.y, logo.bottom() + 40);
    EXPECT_EQ(row.y, separator.bottom() + 10);
    EXPECT_EQ(row.bottom(), form.height - 10);
    // From the right: Finish, a gap of 20, Accept, Back beside it, a gap of 20, Cancel.
    EXPECT_EQ(finish.right(), row.width - 10);
    EXPECT_EQ(accept.right(), finish.x - 20);
    EXPECT_EQ(back.right(), accept.x);
    EXPECT_EQ(cancel.right(), back.x - 20);
}

TEST_F(WindowTest, PagesTwoAndThreeLayOutTheirFrames) {
    const InstallerWidgetsRec &iw = InstallerWidgets;
    XtManageChild(iw.page2form);
    XtManageChild(iw.page3form);
    Drain();
    const Box logo2 = Geometry(iw.page2logo), frame = Geometry(iw.page2frame1), label = Geometry(iw.page2dirlabel);
    const Box separator = Geometry(iw.page2separator), form2 = Geometry(iw.page2form);
    const Box finish = Geometry(iw.page2finish), next = Geometry(iw.page2next);
    const Box back = Geometry(iw.page2back), cancel = Geometry(iw.page2cancel), row = Geometry(iw.page2buttons);
    const Box progressLabel = Geometry(iw.page3progresslabel), progressFrame = Geometry(iw.page3progressframe);
    const Box form3 = Geometry(iw.page3form), logo3 = Geometry(iw.page3logo);
    XtUnmanageChild(iw.page3form);
    XtUnmanageChild(iw.page2form);

    EXPECT_EQ(frame.x, logo2.right() + 10);
    EXPECT_EQ(frame.y, 20);
    EXPECT_EQ(frame.right(), form2.width - 10);
    // The label lies across the frame's top border like a group title.
    EXPECT_EQ(label.y, frame.y - 10);
    EXPECT_EQ(label.x, frame.x + 5);
    EXPECT_EQ(separator.y, logo2.bottom() + 40);
    EXPECT_EQ(finish.right(), row.width - 10);
    EXPECT_EQ(next.right(), finish.x - 20);
    EXPECT_EQ(back.right(), next.x);
    EXPECT_EQ(cancel.right(), back.x - 20);

    EXPECT_EQ(progressLabel.x, logo3.right() + 10);
    EXPECT_EQ(progressFrame.x, logo3.right() + 10);
    EXPECT_EQ(progressFrame.y, progressLabel.bottom());
    EXPECT_EQ(progressFrame.right(), form3.width - 10);
    EXPECT_EQ(progressFrame.height, 30 + 2);  // the bar inside a one-pixel shadow
}

TEST_F(WindowTest, LicenceIsReadOnlyWithoutCursorAndScrollsVerticallyOnly) {
    const InstallerWidgetsRec &iw = InstallerWidgets;
    Boolean editable = True, cursor = True;
    int mode = 0;  // XmNeditMode is an int resource, unlike most enumerations
    XtVaGetValues(iw.page1license, XmNeditable, &editable, XmNcursorPositionVisible, &cursor, XmNeditMode, &mode,
                  nullptr);
    EXPECT_FALSE(editable);
    EXPECT_FALSE(cursor);
    EXPECT_EQ(mode, XmMULTI_LINE_EDIT);
    Widget horizontal = nullptr, vertical = nullptr;
    XtVaGetValues(iw.page1licenseWindow, XmNhorizontalScrollBar, &horizontal, XmNverticalScrollBar, &vertical,
                  nullptr);
    EXPECT_TRUE(horizontal == nullptr || !XtIsManaged(horizontal));
    ASSERT_NE(vertical, nullptr);
    EXPECT_TRUE(XtIsManaged(vertical));

    // Keys typed into it change nothing.
    FocusShell(iw.toplevel);
    XmProcessTraversal(iw.page1license, XmTRAVERSE_CURRENT);
    Drain();
    TypeText("xyz");
    EXPECT_EQ(TextValue(iw.page1license), LicenseText);
    XmProcessTraversal(iw.page1accept, XmTRAVERSE_CURRENT);
    Drain();
}

TEST_F(WindowTest, ErrorDialogShowsTheLastReportWithOneButton) {
    const InstallerWidgetsRec &iw = InstallerWidgets;
    Widget dialog = iw.errorDialog;
    EXPECT_STREQ(Resource<char *>(XtParent(dialog), XmNtitle), "Error");
    unsigned char style = 0;
    Boolean noResize = False;
    XtVaGetValues(dialog, XmNdialogStyle, &style, XmNnoResize, &noResize, nullptr);
    EXPECT_EQ(style, XmDIALOG_FULL_APPLICATION_MODAL);
    EXPECT_TRUE(noResize);
    EXPECT_TRUE(XtIsManaged(XmMessageBoxGetChild(dialog, XmDIALOG_OK_BUTTON)));
    EXPECT_FALSE(XtIsManaged(XmMessageBoxGetChild(dialog, XmDIALOG_CANCEL_BUTTON)));
    EXPECT_FALSE(XtIsManaged(XmMessageBoxGetChild(dialog, XmDIALOG_HELP_BUTTON)));

    ShowError("first line\nsecond line");
    ASSERT_TRUE(PumpUntil([dialog] { return Viewable(XtParent(dialog)); }));
    EXPECT_EQ(ShownError(), "first line\nsecond line");
    // A second report replaces the text and keeps the dialog up; a % is text.
    ShowError("100%s %n done");
    Drain();
    EXPECT_TRUE(XtIsManaged(dialog));
    EXPECT_EQ(ShownError(), "100%s %n done");

    // OK takes it down.
    Click(Centre(XmMessageBoxGetChild(dialog, XmDIALOG_OK_BUTTON)));
    EXPECT_TRUE(PumpUntil([dialog] { return !XtIsManaged(dialog); }));
}

}  // namespace
