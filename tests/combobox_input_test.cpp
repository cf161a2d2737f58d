// The combo box's popup list driven by real input (XTest): posting, grabs, choosing, cancelling,
// and the callbacks an application sees.
#include "tests/combobox_support.h"
#include "tests/fixtures.h"

#include <X11/extensions/XTest.h>
#include <Xm/List.h>
#include <Xm/TextF.h>

using namespace combotest;
using namespace xtoolkit;

namespace {

// What the callbacks saw, in order.
struct Seen {
    std::string what;
    int reason;
    bool eventGiven;
    int position;
    std::string item;
    bool postedThen;
};

class ComboBoxInput : public ComboBoxTest {
protected:
    // Records what `combo` reports; with `focus`, the shell then has the keyboard.
    void Watch(Widget combo, bool focus = true) {
        combo_ = combo;
        for (const char *name : {DtNselectionCallback, DtNmenuPostCallback, DtNactivateCallback})
            XtAddCallback(combo, name, Record, this);
        XtAddCallback(combo, DtNfocusCallback, CountFocus, this);
        XtAddCallback(combo, DtNlosingFocusCallback, CountFocus, this);
        if (focus) FocusShell(shell_);
    }

    static void CountFocus(Widget, XtPointer client, XtPointer call) noexcept {
        auto *self = static_cast<ComboBoxInput *>(client);
        const int reason = static_cast<XmAnyCallbackStruct *>(call)->reason;
        if (reason == XmCR_FOCUS) ++self->focus_;
        if (reason == XmCR_LOSING_FOCUS) ++self->losingFocus_;
    }

    static void Record(Widget w, XtPointer client, XtPointer call) noexcept {
        auto *self = static_cast<ComboBoxInput *>(client);
        const bool posted = Part(w).poppedUp || Viewable(Part(w).popupShell);
        const auto *any = static_cast<XmAnyCallbackStruct *>(call);
        Seen seen{"", any->reason, any->event != nullptr, -1, "", posted};
        if (any->reason == DtCR_COMBO_SELECT || any->reason == DtCR_COMBO_MENU_POST) {
            const auto *record = static_cast<ComboBoxCallbackRecord *>(call);
            seen.what = record->reason == DtCR_COMBO_SELECT ? "select" : "post";
            if (record->reason == DtCR_COMBO_SELECT) {
                seen.position = record->itemPosition;
                seen.item = TextOf(record->item);
            }
        } else {
            seen.what = any->reason == XmCR_ACTIVATE ? "activate" : "reason " + std::to_string(any->reason);
        }
        self->seen_.push_back(seen);
    }

    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const Seen &s : seen_) names.push_back(s.what);
        return names;
    }

    bool Posted() const { return Viewable(Part(combo_).popupShell); }

    void PostWithArrow() {
        Click(Centre(Part(combo_).arrow));
        ASSERT_TRUE(PumpUntil([this] { return Posted(); })) << "the list did not come up";
    }

    Point Item(int position) {  // counted from 1, as the list does
        Position x, y;
        Dimension width, height;
        EXPECT_TRUE(XmListPosToBounds(Part(combo_).list, position, &x, &y, &width, &height));
        return RootPosition(Part(combo_).list, x + width / 2, y + height / 2);
    }

    // Whether another client can take the pointer and the keyboard now.
    static std::pair<bool, bool> OthersCanGrab() {
        Display *other = XOpenDisplay(fixtures::XServer::Shared().display().c_str());
        const Window root = DefaultRootWindow(other);
        const bool pointer =
            XGrabPointer(other, root, False, ButtonPressMask, GrabModeAsync, GrabModeAsync, None, None,
                         CurrentTime) == GrabSuccess;
        const bool keyboard = XGrabKeyboard(other, root, False, GrabModeAsync, GrabModeAsync, CurrentTime) == GrabSuccess;
        XCloseDisplay(other);
        return {pointer, keyboard};
    }

    Widget combo_ = nullptr;
    std::vector<Seen> seen_;
    int focus_ = 0, losingFocus_ = 0;
};

TEST_F(ComboBoxInput, TheArrowPostsTheListUnderTheWidgetWithTheGrabs) {
    Watch(CreateWith(DtCOMBO_TEXT, {"one", "two", "three", "four"}));
    EXPECT_EQ(OthersCanGrab(), std::make_pair(true, true));
    PostWithArrow();
    const Widget popup = Part(combo_).popupShell;
    const Point origin = RootPosition(combo_);
    const Point at = RootPosition(popup);
    EXPECT_EQ(at.x, origin.x);
    EXPECT_EQ(at.y, origin.y + combo_->core.height - 2);  // over the bottom margin band
    EXPECT_EQ(popup->core.width, std::max(Part(combo_).maxShellWidth, combo_->core.width));
    EXPECT_EQ(popup->core.height, Part(combo_).maxShellHeight);
    EXPECT_TRUE(Resource<Boolean>(combo_, DtNpoppedUp, False));
    EXPECT_EQ(OthersCanGrab(), std::make_pair(false, false));
    // menuPostCallback came first, while nothing was posted yet; nothing was typed.
    ASSERT_EQ(Names(), std::vector<std::string>{"post"});
    EXPECT_EQ(seen_[0].reason, DtCR_COMBO_MENU_POST);
    EXPECT_FALSE(seen_[0].eventGiven);
    EXPECT_FALSE(seen_[0].postedThen);
}

TEST_F(ComboBoxInput, DestroyingAPostedComboBoxLeavesNoGrabBehind) {
    Watch(CreateWith(DtCOMBO_TEXT, {"one", "two"}));
    PostWithArrow();
    {
        WarningCapture warnings;
        XtDestroyWidget(combo_);
        Drain();
        EXPECT_TRUE(warnings.messages().empty()) << warnings.messages().front();
    }
    EXPECT_EQ(OthersCanGrab(), std::make_pair(true, true));
    // The toolkit's grab list holds nothing of it: focus moves and input in the shell still work.
    Watch(CreateWith(DtCOMBO_TEXT, {"three", "four"}));
    XmProcessTraversal(Part(combo_).textField, XmTRAVERSE_CURRENT);
    PostWithArrow();
    Click(Item(2));
    ASSERT_TRUE(PumpUntil([this] { return !Posted(); }));
    EXPECT_EQ(FieldText(combo_), "four");
    XtDestroyWidget(combo_);
    Drain();
}

TEST_F(ComboBoxInput, ReleasingOnAnItemChoosesIt) {
    for (int type : {DtCOMBO_TEXT, DtCOMBO_LABEL}) {
        SCOPED_TRACE("type " + std::to_string(type));
        seen_.clear();
        Watch(CreateWith(type, {"one", "two", "three", "four"}));
        // The arrow posts either kind; a label posts the list itself as well.
        Click(Centre(type == DtCOMBO_TEXT ? Part(combo_).arrow : Part(combo_).label));
        ASSERT_TRUE(PumpUntil([this] { return Posted(); }));
        MovePointer(Item(3));
        PressButton();
        EXPECT_TRUE(Posted());
        ReleaseButton();
        ASSERT_TRUE(PumpUntil([this] { return !Posted(); }));
        ASSERT_EQ(Names(), (std::vector<std::string>{"post", "select"}));
        const Seen &selection = seen_.back();
        EXPECT_EQ(selection.reason, DtCR_COMBO_SELECT);
        EXPECT_EQ(selection.position, 2);
        EXPECT_EQ(selection.item, "three");
        EXPECT_TRUE(selection.eventGiven);
        EXPECT_FALSE(selection.postedThen);
        EXPECT_EQ(SelectedPosition(combo_), 2);
        EXPECT_EQ(OthersCanGrab(), std::make_pair(true, true));
        EXPECT_FALSE(Resource<Boolean>(combo_, DtNpoppedUp, True));
        if (type == DtCOMBO_TEXT) {
            EXPECT_EQ(FieldText(combo_), "three");
            EXPECT_EQ(XmGetFocusWidget(combo_), Part(combo_).textField);
        } else {
            EXPECT_EQ(LabelText(combo_), "three");
            // A label combo box takes the keyboard focus itself; the down key posts its list.
            XmProcessTraversal(combo_, XmTRAVERSE_CURRENT);
            Pump();
            TapKey(XK_Down);
            EXPECT_TRUE(PumpUntil([this] { return Posted(); }));
            TapKey(XK_Escape);
            EXPECT_TRUE(PumpUntil([this] { return !Posted(); }));
        }
        TearDown();
        Open(100, 100);
    }
}

TEST_F(ComboBoxInput, CancelTakesTheListDownWithoutASelection) {
    Watch(CreateWith(DtCOMBO_TEXT, {"one", "two", "three"}));
    PostWithArrow();
    // Browsing with the keys shows the items but chooses nothing yet.
    TapKey(XK_Down);
    EXPECT_TRUE(PumpUntil([this] { return FieldText(combo_) == "two"; }));
    EXPECT_TRUE(Posted());
    TapKey(XK_Escape);
    ASSERT_TRUE(PumpUntil([this] { return !Posted(); }));
    EXPECT_EQ(Names(), std::vector<std::string>{"post"});
    EXPECT_EQ(FieldText(combo_), "two");
    EXPECT_EQ(OthersCanGrab(), std::make_pair(true, true));

    // Return in the list chooses the browsed item.
    PostWithArrow();
    TapKey(XK_Down);
    TapKey(XK_Return);
    ASSERT_TRUE(PumpUntil([this] { return !Posted(); }));
    EXPECT_EQ(Names(), (std::vector<std::string>{"post", "post", "select"}));
    EXPECT_EQ(seen_.back().position, 2);
    EXPECT_EQ(FieldText(combo_), "three");
}

TEST_F(ComboBoxInput, APressOutsideTheListTakesItDownUnchanged) {
    Watch(CreateWith(DtCOMBO_TEXT, {"one", "two"}));
    PostWithArrow();
    Click({5, 5});
    ASSERT_TRUE(PumpUntil([this] { return !Posted(); }));
    EXPECT_EQ(Names(), std::vector<std::string>{"post"});
    EXPECT_EQ(FieldText(combo_), "one");
    EXPECT_EQ(OthersCanGrab(), std::make_pair(true, true));
}

TEST_F(ComboBoxInput, TypedTextIsActivatedBeforeTheListComesUp) {
    Watch(CreateWith(DtCOMBO_TEXT, {"/opt", "/usr"}), false);
    const Widget other = CreateWith(DtCOMBO_TEXT, {"elsewhere"}, {{XmNy, combo_->core.height + 10}});
    FocusShell(shell_);
    // The text as selected: nothing to report.
    PostWithArrow();
    TapKey(XK_Escape);
    ASSERT_TRUE(PumpUntil([this] { return !Posted(); }));
    EXPECT_EQ(Names(), std::vector<std::string>{"post"});
    seen_.clear();

    // Away to the other combo box and back: the text field's focus callbacks reach the combo box's.
    focus_ = losingFocus_ = 0;
    Click(Centre(Part(other).textField));
    EXPECT_TRUE(PumpUntil([this] { return losingFocus_ == 1; }));
    Click(Centre(Part(combo_).textField));
    EXPECT_TRUE(PumpUntil([this] { return focus_ == 1; }));
    TapKey(XK_End);
    TypeText("/x");
    ASSERT_TRUE(PumpUntil([this] { return FieldText(combo_) == "/opt/x"; }));
    PostWithArrow();
    ASSERT_EQ(Names(), (std::vector<std::string>{"activate", "post"}));
    EXPECT_EQ(seen_[0].reason, XmCR_ACTIVATE);
    EXPECT_FALSE(seen_[0].eventGiven);
    EXPECT_FALSE(seen_[0].postedThen);
}

TEST_F(ComboBoxInput, AnEmptyListIsNotPostedButTypedTextIsStillReported) {
    Watch(Create({{DtNtype, DtCOMBO_TEXT}}));
    Click(Centre(Part(combo_).arrow));
    Pump(milliseconds(200));
    EXPECT_FALSE(Posted());
    EXPECT_EQ(Names(), std::vector<std::string>{"activate"});
    EXPECT_EQ(OthersCanGrab(), std::make_pair(true, true));
}

// Ctrl+X, Ctrl+C and Ctrl+V go through the desktop's CLIPBOARD, as in every other program; control
// characters, typed (Ctrl+Q), pasted or put in by the program, never enter the text. (Nothing here
// asks the field for what it holds: Motif keeps 128 bytes of every conversion it serves.)
TEST_F(ComboBoxInput, TheTextFieldTakesTheClipboardKeysAndNoControlCharacters) {
    fixtures::TempDir tmp;
    const Widget combo = CreateWith(DtCOMBO_TEXT, {"/opt/src"});
    const Widget field = Part(combo).textField;
    Display *display = XtDisplay(shell_);
    const Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
    const auto withControl = [](KeySym key) { TapKey(key, XK_Control_L); };
    const auto select = [display, field](int from, int to) {
        XmTextFieldSetSelection(field, from, to, XtLastTimestampProcessed(display));
    };
    const auto fieldOwnsClipboard = [&] { return XGetSelectionOwner(display, clipboard) == XtWindow(field); };
    FocusShell(shell_);
    Click(Centre(field));

    select(4, 8);
    withControl(XK_x);
    EXPECT_EQ(FieldText(combo), "/opt");
    EXPECT_TRUE(fieldOwnsClipboard());

    // xclip takes the clipboard over and serves it until another client owns it.
    fixtures::WriteFile(tmp / "clip", "/clip\tboard\n");
    fixtures::Command xclip;
    xclip.argv = {"xclip", "-selection", "clipboard", "-i", tmp / "clip"};
    xclip.env = {{"DISPLAY", fixtures::XServer::Shared().display()}};
    fixtures::WaitFor(fixtures::Spawn(xclip), 10);
    ASSERT_TRUE(PumpUntil([&] { return !fieldOwnsClipboard(); }));
    TapKey(XK_End);
    withControl(XK_q);
    withControl(XK_v);
    EXPECT_TRUE(PumpUntil([&] { return FieldText(combo) == "/opt/clipboard"; })) << FieldText(combo);

    select(1, 4);
    withControl(XK_c);
    EXPECT_TRUE(fieldOwnsClipboard());
    EXPECT_EQ(FieldText(combo), "/opt/clipboard");

    XmTextFieldInsert(field, 0, const_cast<char *>("\t\x7f\n"));
    XmTextFieldInsert(field, 0, const_cast<char *>("a\tb\r\x1b"));
    EXPECT_EQ(FieldText(combo), "ab/opt/clipboard");
}

// A shell whose combo box reaches to or past the screen's edges.
class ComboBoxAtTheEdge : public ComboBoxInput {
protected:
    void SetUp() override {}
};

TEST_F(ComboBoxAtTheEdge, TheListIsCutAtTheScreenEdgesAndNeverMovedUp) {
    const Toolkit &tk = Toolkit::Shared();
    Open(tk.screenWidth() - 80, tk.screenHeight() - 60);
    Watch(CreateWith(DtCOMBO_TEXT, {"one", "two", "three"}, {{DtNorientation, DtCOMBO_ARROW_LEFT}}));
    PostWithArrow();
    const Widget popup = Part(combo_).popupShell;
    const Point origin = RootPosition(combo_);
    EXPECT_EQ(popup->core.x, origin.x);
    EXPECT_EQ(popup->core.y, origin.y + combo_->core.height - 2);
    EXPECT_EQ(popup->core.x + popup->core.width, tk.screenWidth());
    EXPECT_EQ(popup->core.y + popup->core.height, tk.screenHeight());
    TapKey(XK_Escape);
    EXPECT_TRUE(PumpUntil([this] { return !Posted(); }));
}

TEST_F(ComboBoxAtTheEdge, NothingIsPostedForAWidgetBeyondTheEdge) {
    const Toolkit &tk = Toolkit::Shared();
    const Point places[] = {{tk.screenWidth() + 10, 100}, {100, tk.screenHeight() - 3}};
    for (const Point &place : places) {
        SCOPED_TRACE("at " + std::to_string(place.x) + "," + std::to_string(place.y));
        Open(place.x, place.y);
        seen_.clear();
        Watch(CreateWith(DtCOMBO_LABEL, {"one", "two"}), false);
        // No pointer reaches it there: activate the arrow as its button would.
        XmAnyCallbackStruct activate = {XmCR_ACTIVATE, nullptr};
        XtCallCallbacks(Part(combo_).arrow, XmNactivateCallback, &activate);
        Pump(milliseconds(100));
        EXPECT_FALSE(Posted());
        EXPECT_TRUE(seen_.empty());
        EXPECT_EQ(OthersCanGrab(), std::make_pair(true, true));
        TearDown();
    }
}

TEST_F(ComboBoxInput, PopupShellWithoutAVisualOfItsOwnStillPostsALongList) {
    // QVZDtInitComboBox never called (or reset): the shell inherits what it needs.
    QVZDtInitComboBox(nullptr, 0);
    std::vector<const char *> many;
    static const char *const names[] = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m", "n"};
    for (const char *n : names) many.push_back(n);
    Watch(CreateWith(DtCOMBO_TEXT, many, {{DtNvisibleItemCount, 4}}));
    PostWithArrow();
    TapKey(XK_Escape);
    EXPECT_TRUE(PumpUntil([this] { return !Posted(); }));
}

}  // namespace
