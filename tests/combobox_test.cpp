// The combo box widget class: resources, validation, layout, drawing and the item operations, on a
// real X server.
#include "tests/combobox_support.h"

#include <Xm/ArrowB.h>
#include <Xm/DrawnB.h>
#include <Xm/Label.h>
#include <Xm/List.h>
#include <Xm/Separator.h>
#include <Xm/TextF.h>

using namespace combotest;
using namespace xtoolkit;

namespace {

struct Box {
    int x, y, width, height;
};
Box BoxOf(Widget w) { return {w->core.x, w->core.y, w->core.width, w->core.height}; }

int Shadow(Widget combo) { return Resource<Dimension>(combo, DtNshadowThickness); }

// ---- creation and resources ----

TEST_F(ComboBoxTest, ChildrenAndSpacingDefaultsFollowTheType) {
    struct Case {
        int type;
        Args args;
        int horizontal, vertical, shadow;
    } cases[] = {
        {DtCOMBO_TEXT, {}, 0, 0, 1},
        {DtCOMBO_LABEL, {}, 1, 2, 2},
        {DtCOMBO_TEXT, {{DtNhorizontalSpacing, 5}, {DtNverticalSpacing, 6}}, 5, 6, 1},
        {DtCOMBO_LABEL, {{DtNhorizontalSpacing, 5}, {DtNverticalSpacing, 6}, {DtNshadowThickness, 4}}, 5, 6, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type));
        Args args = c.args;
        args.push_back({DtNtype, c.type});
        const Widget combo = Create(args);
        Dimension horizontal = 0, vertical = 0;
        Widget textField = nullptr, list = nullptr;
        XtVaGetValues(combo, DtNhorizontalSpacing, &horizontal, DtNverticalSpacing, &vertical, DtNtextField,
                      &textField, DtNlist, &list, nullptr);
        EXPECT_EQ(horizontal, c.horizontal);
        EXPECT_EQ(vertical, c.vertical);
        EXPECT_EQ(Shadow(combo), c.shadow);
        if (c.type == DtCOMBO_TEXT) {
            ASSERT_NE(textField, nullptr);
            EXPECT_STREQ(XtName(textField), "Text");
            EXPECT_EQ(XtNameToWidget(combo, "Label"), nullptr);
        } else {
            EXPECT_EQ(textField, nullptr);
            EXPECT_NE(XtNameToWidget(combo, "Label"), nullptr);
            EXPECT_NE(XtNameToWidget(combo, "ComboBoxSeparator"), nullptr);
        }
        EXPECT_TRUE(XtIsSubclass(XtNameToWidget(combo, "ComboBoxArrow"), xmDrawnButtonWidgetClass));
        // The list lives in its own override-redirect shell, realized but not mapped.
        ASSERT_NE(list, nullptr);
        EXPECT_STREQ(XtName(list), "List");
        EXPECT_EQ(XtNameToWidget(combo, "ComboBoxMenuShell.ComboBoxRowColumn.ListSW.List"), list);
        const Widget popup = Part(combo).popupShell;
        EXPECT_TRUE(XtIsRealized(popup));
        EXPECT_FALSE(Viewable(popup));
        XWindowAttributes attributes;
        XGetWindowAttributes(XtDisplay(popup), XtWindow(popup), &attributes);
        EXPECT_TRUE(attributes.override_redirect);
        XtDestroyWidget(combo);
    }
}

// The resource's value, whatever its size.
long Read(Widget combo, const char *resource) {
    if (std::string(resource) == DtNitemCount || std::string(resource) == DtNselectedPosition)
        return Resource(combo, resource, -99);
    return Resource<unsigned char>(combo, resource, 99);
}

TEST_F(ComboBoxTest, InvalidValuesAreWarnedAboutAndReplaced) {
    const XmStr items[] = {Str("one"), Str("two"), Str("three")};
    XmString table[] = {items[0].get(), items[1].get(), items[2].get()};
    const XtArgVal three = reinterpret_cast<XtArgVal>(table);
    const char *const alignment =
        "DtComboButtonWidget: Invalid alignment resource (defaulting to XmALIGNMENT_CENTER).";
    const char *const orientation = "DtComboButtonWidget: Invalid orientation resource (defaulting to XmRIGHT).";
    const char *const itemCount = "DtComboButtonWidget: Invalid itemCount resource (defaulting to 0).";
    const char *const position = "DtComboButtonWidget: Invalid selectedPosition resource (defaulting to 0).";
    const char *const type = "DtComboButtonWidget: Invalid type resource (defaulting to DtCOMBO_LABEL).";
    struct Case {
        bool atCreation;  // else set on a type 1 widget that holds the three items
        Args args;
        const char *warning;  // null: none
        const char *resource;
        long expected;
    } cases[] = {
        {true, {{DtNalignment, 3}}, alignment, DtNalignment, XmALIGNMENT_CENTER},
        {true, {{DtNorientation, 7}}, orientation, DtNorientation, DtCOMBO_ARROW_RIGHT},
        {true, {{DtNitemCount, -1}}, itemCount, DtNitemCount, 0},
        {true, {{DtNitems, three}, {DtNitemCount, 3}, {DtNselectedPosition, 5}}, position, DtNselectedPosition, 0},
        {true, {{DtNitems, three}, {DtNitemCount, 3}, {DtNselectedPosition, -1}}, position, DtNselectedPosition, 0},
        {true, {{DtNselectedPosition, 5}}, nullptr, DtNselectedPosition, 5},
        {true, {{DtNtype, 2}}, type, DtNtype, DtCOMBO_LABEL},
        {false, {{DtNalignment, 9}}, alignment, DtNalignment, XmALIGNMENT_CENTER},
        {false, {{DtNorientation, 2}}, orientation, DtNorientation, DtCOMBO_ARROW_RIGHT},
        {false, {{DtNselectedPosition, 3}}, position, DtNselectedPosition, 0},
        {false, {{DtNtype, 200}}, type, DtNtype, DtCOMBO_LABEL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.atCreation ? "created with " : "set ") + c.args.back().first + " " +
                     std::to_string(c.args.back().second));
        WarningCapture warnings;
        Widget combo;
        if (c.atCreation) {
            combo = Create(c.args);
        } else {
            combo = Create({{DtNtype, DtCOMBO_TEXT}, {DtNitems, three}, {DtNitemCount, 3}, {DtNselectedPosition, 2}});
            ASSERT_TRUE(warnings.messages().empty());
            std::vector<Arg> args(c.args.size());
            for (std::size_t i = 0; i < c.args.size(); ++i)
                XtSetArg(args[i], const_cast<char *>(c.args[i].first), c.args[i].second);
            XtSetValues(combo, args.data(), static_cast<Cardinal>(args.size()));
        }
        EXPECT_EQ(warnings.messages(), c.warning ? std::vector<std::string>{c.warning} : std::vector<std::string>{});
        EXPECT_EQ(Read(combo, c.resource), c.expected);
        if (c.warning == position) {
            // The first item is the one shown.
            EXPECT_EQ(c.atCreation ? LabelText(combo) : FieldText(combo), "one");
        }
        if (c.warning == orientation) {
            EXPECT_EQ(Part(combo).arrow->core.x + Part(combo).arrow->core.width,
                      combo->core.width - Shadow(combo) - 2 - Part(combo).horizontalSpacing);
        }
        if (c.warning == type) {
            EXPECT_TRUE(XtIsManaged(Part(combo).label));
            EXPECT_TRUE(XtIsManaged(Part(combo).separator));
        }
        XtDestroyWidget(combo);
    }
}

TEST_F(ComboBoxTest, TheTextFieldCannotBeReplaced) {
    const Widget combo = CreateWith(DtCOMBO_TEXT, {"one"});
    const Widget textField = Part(combo).textField;
    const Widget other = XtVaCreateWidget("other", xmLabelWidgetClass, board_, nullptr);
    WarningCapture warnings;
    XtVaSetValues(combo, DtNtextField, other, nullptr);
    EXPECT_EQ(warnings.messages(), std::vector<std::string>{"DtComboButtonWidget: Unable to set textField resource."});
    EXPECT_EQ(Resource<Widget>(combo, DtNtextField), textField);
    EXPECT_EQ(FieldText(combo), "one");
}

TEST_F(ComboBoxTest, LabelStringIsTheWidgetsOwnAndReadAsACopy) {
    // No label string: the default, shown and reported.
    const Widget plain = Create({});
    EXPECT_EQ(LabelText(plain), "ComboBox");
    XmString first = nullptr, second = nullptr;
    XtVaGetValues(plain, DtNlabelString, &first, nullptr);
    XtVaGetValues(plain, DtNlabelString, &second, nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(TextOf(first), "ComboBox");
    EXPECT_TRUE(XmStringCompare(first, second));
    // Each read is the caller's to free; the widget's own string lives on.
    XmStringFree(first);
    XmStringFree(second);
    XmString third = nullptr;
    XtVaGetValues(plain, DtNlabelString, &third, nullptr);
    EXPECT_EQ(TextOf(third), "ComboBox");
    XmStringFree(third);

    // A label string given without items is shown; the caller's string stays the caller's, also
    // when a selected item is chosen at creation and the combo box goes away again.
    XmStr mine = Str("Pick one");
    const Widget labelled = Create({{DtNlabelString, reinterpret_cast<XtArgVal>(mine.get())}});
    EXPECT_EQ(LabelText(labelled), "Pick one");
    XtDestroyWidget(labelled);
    const XmStr items[] = {Str("alpha"), Str("beta")};
    XmString table[] = {items[0].get(), items[1].get()};
    const Widget selected = Create({{DtNlabelString, reinterpret_cast<XtArgVal>(mine.get())},
                                    {DtNitems, reinterpret_cast<XtArgVal>(table)},
                                    {DtNitemCount, 2},
                                    {DtNselectedItem, reinterpret_cast<XtArgVal>(items[1].get())}});
    EXPECT_EQ(LabelText(selected), "beta");
    EXPECT_EQ(SelectedPosition(selected), 1);
    XtDestroyWidget(selected);
    Drain();
    EXPECT_EQ(TextOf(mine.get()), "Pick one");

    // With items, the label follows the selected one.
    const Widget filled = Create({{DtNitems, reinterpret_cast<XtArgVal>(table)}, {DtNitemCount, 2}});
    EXPECT_EQ(LabelText(filled), "alpha");
}

TEST_F(ComboBoxTest, ListResourcesAreReadFromTheList) {
    const Widget combo = CreateWith(DtCOMBO_TEXT, {"a", "b", "c"});
    XtVaSetValues(combo, DtNvisibleItemCount, 2, DtNlistSpacing, 3, nullptr);
    int visible = 0, listVisible = 0;
    Dimension spacing = 0, arrowSize = 0;
    XmStringTable items = nullptr, listItems = nullptr;
    XtVaGetValues(combo, DtNvisibleItemCount, &visible, DtNitems, &items, DtNlistSpacing, &spacing, DtNarrowSize,
                  &arrowSize, nullptr);
    XtVaGetValues(Part(combo).list, XmNvisibleItemCount, &listVisible, XmNitems, &listItems, nullptr);
    EXPECT_EQ(listVisible, 2);
    EXPECT_EQ(visible, 2);
    EXPECT_EQ(items, listItems);
    EXPECT_EQ(spacing, 3);
    EXPECT_EQ(arrowSize, Part(combo).arrow->core.height);
}

TEST_F(ComboBoxTest, ChangingTheTypeMakesTheMissingChildrenOnce) {
    const Widget combo = CreateWith(DtCOMBO_TEXT, {"first", "second"});
    const Widget textField = Part(combo).textField;
    XtVaSetValues(combo, DtNtype, DtCOMBO_LABEL, nullptr);
    const Widget label = XtNameToWidget(combo, "ComboBoxLabel");
    const Widget separator = XtNameToWidget(combo, "ComboBoxSeparator");
    ASSERT_NE(label, nullptr);
    ASSERT_NE(separator, nullptr);
    EXPECT_TRUE(XtIsManaged(label));
    EXPECT_TRUE(XtIsManaged(separator));
    EXPECT_FALSE(XtIsManaged(textField));
    EXPECT_EQ(Shadow(combo), 2);
    EXPECT_EQ(LabelText(combo), "first");
    Dimension horizontal = 0, vertical = 0;
    XtVaGetValues(combo, DtNhorizontalSpacing, &horizontal, DtNverticalSpacing, &vertical, nullptr);
    EXPECT_EQ(horizontal, 1);
    EXPECT_EQ(vertical, 2);

    // Back, with a thickness of its own: the same text field again, the label hidden.
    XtVaSetValues(combo, DtNtype, DtCOMBO_TEXT, DtNshadowThickness, 3, nullptr);
    EXPECT_EQ(Part(combo).textField, textField);
    EXPECT_TRUE(XtIsManaged(textField));
    EXPECT_FALSE(XtIsManaged(label));
    EXPECT_EQ(Shadow(combo), 3);
    XtVaSetValues(combo, DtNtype, DtCOMBO_LABEL, nullptr);
    EXPECT_EQ(XtNameToWidget(combo, "ComboBoxLabel"), label);
    EXPECT_EQ(Shadow(combo), 2);

    // A label widget gets a text field named for the change.
    const Widget labelFirst = CreateWith(DtCOMBO_LABEL, {"x"});
    XtVaSetValues(labelFirst, DtNtype, DtCOMBO_TEXT, nullptr);
    const Widget madeLater = XtNameToWidget(labelFirst, "ComboBoxTextField");
    ASSERT_NE(madeLater, nullptr);
    EXPECT_EQ(Part(labelFirst).textField, madeLater);
    EXPECT_EQ(Shadow(labelFirst), 1);
    EXPECT_EQ(FieldText(labelFirst), "x");
}

TEST_F(ComboBoxTest, ChangingTheArrowTypeReplacesTheArrow) {
    const Widget combo = CreateWith(DtCOMBO_TEXT, {"one"}, {{DtNarrowType, DtCOMBO_ARROW_BUTTON}});
    EXPECT_TRUE(XtIsSubclass(Part(combo).arrow, xmArrowButtonWidgetClass));
    XtVaSetValues(combo, DtNarrowType, DtCOMBO_ARROW_DRAWN, nullptr);
    Drain();
    const Widget drawn = Part(combo).arrow;
    EXPECT_TRUE(XtIsSubclass(drawn, xmDrawnButtonWidgetClass));
    EXPECT_TRUE(XtIsRealized(drawn));
    EXPECT_EQ(drawn->core.width, 13);
    XtVaSetValues(combo, DtNarrowType, DtCOMBO_ARROW_BUTTON, nullptr);
    Drain();
    EXPECT_TRUE(XtIsSubclass(Part(combo).arrow, xmArrowButtonWidgetClass));
    EXPECT_EQ(XtNameToWidget(combo, "ComboBoxArrow"), Part(combo).arrow);
}

// ---- layout ----

TEST_F(ComboBoxTest, PreferredSizeFollowsTheTextFieldHeight) {
    struct Case {
        int textHeight, arrowWidth, comboHeight;
    } cases[] = {{30, 13, 36}, {20, 13, 26}, {60, 27, 66}, {100, 45, 106}};
    for (const Case &c : cases) {
        SCOPED_TRACE("text field height " + std::to_string(c.textHeight));
        const Widget combo = CreateWith(DtCOMBO_TEXT, {"one"});
        const Widget text = Part(combo).textField;
        XtVaSetValues(text, XmNheight, c.textHeight, nullptr);
        Drain();
        EXPECT_EQ(text->core.height, c.textHeight);
        EXPECT_EQ(Part(combo).arrow->core.width, c.arrowWidth);
        EXPECT_EQ(combo->core.height, c.comboHeight);
        // Arrow + text + shadows (1) + margins (2), no spacing.
        EXPECT_EQ(combo->core.width, c.arrowWidth + text->core.width + 2 + 4);
        EXPECT_EQ(Part(combo).oldHeight, c.comboHeight);
        XtDestroyWidget(combo);
    }
}

TEST_F(ComboBoxTest, ChildrenArePlacedByOrientationAndType) {
    for (int type : {DtCOMBO_TEXT, DtCOMBO_LABEL}) {
        for (int orientation : {DtCOMBO_ARROW_LEFT, DtCOMBO_ARROW_RIGHT}) {
            SCOPED_TRACE("type " + std::to_string(type) + ", orientation " + std::to_string(orientation));
            const Widget combo = CreateWith(type, {"short", "a longer item"},
                                            {{DtNorientation, orientation}, {DtNarrowSpacing, 3}});
            const DtComboBoxPart &cb = Part(combo);
            const Box arrow = BoxOf(cb.arrow);
            const Box text = BoxOf(type == DtCOMBO_TEXT ? cb.textField : cb.label);
            const int shadow = Shadow(combo);
            const int edge = shadow + cb.marginWidth + cb.horizontalSpacing;
            const int top = shadow + cb.marginHeight + cb.verticalSpacing;
            const int separatorWidth = type == DtCOMBO_LABEL ? cb.separator->core.width : 0;
            EXPECT_EQ(combo->core.width, arrow.width + separatorWidth + 3 + text.width + 2 * edge);
            EXPECT_EQ(combo->core.height, text.height + 2 * top);
            EXPECT_EQ(text.y, top);
            EXPECT_EQ(arrow.width, 13);
            if (orientation == DtCOMBO_ARROW_LEFT) {
                EXPECT_EQ(arrow.x, edge);
                EXPECT_EQ(text.x, arrow.x + arrow.width + separatorWidth + 3);
            } else {
                EXPECT_EQ(text.x, edge);
                EXPECT_EQ(arrow.x + arrow.width, combo->core.width - edge);
                EXPECT_EQ(arrow.x - (text.x + text.width), separatorWidth + 3);
            }
            if (type == DtCOMBO_LABEL) {
                const Box separator = BoxOf(cb.separator);
                EXPECT_EQ(separator.x, orientation == DtCOMBO_ARROW_LEFT ? arrow.x + arrow.width
                                                                          : arrow.x - separator.width);
                EXPECT_EQ(separator.y, shadow + cb.marginHeight);
                EXPECT_EQ(separator.height, combo->core.height - 2 * (shadow + cb.marginHeight));
            }
            XtDestroyWidget(combo);
        }
    }
}

TEST_F(ComboBoxTest, LabelIsSizedForTheWidestItem) {
    const Widget combo = CreateWith(DtCOMBO_LABEL, {"a much wider item than the rest", "narrow"});
    Dimension wide = 0, high = 0;
    XmStringExtent(Resource<XmFontList>(Part(combo).label, XmNfontList), Str("a much wider item than the rest").get(), &wide, &high);
    EXPECT_EQ(Part(combo).label->core.width, wide + 4);
    EXPECT_EQ(Part(combo).label->core.height, high);
    QVZDtComboBoxSelectItem(combo, Str("narrow").get());
    EXPECT_EQ(LabelText(combo), "narrow");
    EXPECT_EQ(Part(combo).label->core.width, wide + 4);

    // Without items the label string decides, also when it changes later.
    const Widget labelled = Create({{DtNlabelString, reinterpret_cast<XtArgVal>(Str("Pick").get())}});
    const Dimension before = Part(labelled).label->core.width;
    XtVaSetValues(labelled, DtNlabelString, Str("Pick one of the many").get(), nullptr);
    EXPECT_EQ(LabelText(labelled), "Pick one of the many");
    EXPECT_GT(Part(labelled).label->core.width, before);
    EXPECT_GE(labelled->core.width, Part(labelled).label->core.width + 13);
}

TEST_F(ComboBoxTest, ShrunkBelowItsFrameTheChildrenKeepAMinimumSize) {
    const Widget combo = CreateWith(DtCOMBO_LABEL, {"one", "two"});
    XtResizeWidget(combo, 6, 6, 0);
    Drain();
    EXPECT_EQ(Part(combo).label->core.width, 1);
    EXPECT_EQ(Part(combo).label->core.height, 1);
    EXPECT_EQ(Part(combo).arrow->core.width, 13);
    EXPECT_EQ(Part(combo).arrow->core.height, 13);
    EXPECT_EQ(Part(combo).oldWidth, 6);
}

TEST_F(ComboBoxTest, OnlyTheTextFieldMayAskForAnotherSize) {
    const Widget combo = CreateWith(DtCOMBO_TEXT, {"one"});
    const Dimension width = combo->core.width;
    XtWidgetGeometry request = {};
    request.request_mode = CWWidth;
    request.width = 200;
    EXPECT_EQ(XtMakeGeometryRequest(Part(combo).arrow, &request, nullptr), XtGeometryNo);
    EXPECT_EQ(Part(combo).arrow->core.width, 13);
    EXPECT_EQ(combo->core.width, width);

    const Widget text = Part(combo).textField;
    const Dimension textWidth = text->core.width;
    request.width = textWidth + 50;
    EXPECT_EQ(XtMakeGeometryRequest(text, &request, nullptr), XtGeometryYes);
    EXPECT_EQ(text->core.width, textWidth + 50);
    EXPECT_EQ(combo->core.width, width + 50);

    // Without recomputeSize the combo box keeps its size and the text field is fitted back in.
    XtVaSetValues(combo, DtNrecomputeSize, False, nullptr);
    request.width = textWidth + 100;
    EXPECT_EQ(XtMakeGeometryRequest(text, &request, nullptr), XtGeometryYes);
    EXPECT_EQ(combo->core.width, width + 50);
    EXPECT_EQ(text->core.width, textWidth + 50);
}

// ---- drawing ----

TEST_F(ComboBoxTest, FrameAndFocusBandArePainted) {
    const Widget text = CreateWith(DtCOMBO_TEXT, {"one"});
    const Widget combo = CreateWith(DtCOMBO_LABEL, {"one", "two"}, {{XmNy, text->core.height + 10}});
    const Pixel background = Resource<Pixel>(combo, XmNbackground);
    const Pixel topShadow = Resource<Pixel>(combo, XmNtopShadowColor);
    const Pixel highlight = Resource<Pixel>(combo, XmNhighlightColor);
    ASSERT_NE(background, highlight);
    EXPECT_EQ(PixelAt(combo, 2, 2), topShadow);  // just inside the margin band
    EXPECT_EQ(PixelAt(combo, 0, 0), background);

    // Without a shadow: nothing drawn in its place, the focus band still comes and goes.
    XtVaSetValues(combo, DtNshadowThickness, 0, nullptr);
    Drain();
    EXPECT_EQ(PixelAt(combo, 2, 2), background);
    FocusShell(shell_);
    XmProcessTraversal(combo, XmTRAVERSE_CURRENT);
    PumpUntil([&] { return PixelAt(combo, 0, 0) == highlight; }, milliseconds(2000));
    EXPECT_EQ(XmGetFocusWidget(combo), combo);
    EXPECT_EQ(PixelAt(combo, 0, 0), highlight);
    EXPECT_EQ(PixelAt(combo, combo->core.width - 1, combo->core.height - 1), highlight);
    EXPECT_EQ(PixelAt(combo, 2, 2), background);
    XmProcessTraversal(Part(text).textField, XmTRAVERSE_CURRENT);
    PumpUntil([&] { return PixelAt(combo, 0, 0) == background; }, milliseconds(2000));
    EXPECT_EQ(PixelAt(combo, 0, 0), background);
    EXPECT_EQ(PixelAt(combo, combo->core.width - 1, combo->core.height - 1), background);
    // The text field takes the focus of a type 1 widget: no band there.
    EXPECT_EQ(PixelAt(text, 0, 0), Resource<Pixel>(text, XmNbackground));
}

TEST_F(ComboBoxTest, FlatArrowIsDrawnInTheForeground) {
    const Widget combo = CreateWith(DtCOMBO_TEXT, {"one"});
    XtVaSetValues(Part(combo).textField, XmNheight, 40, nullptr);
    Drain();
    const Widget arrow = Part(combo).arrow;
    ASSERT_EQ(arrow->core.width, 18);  // 0.45 × 40
    ASSERT_EQ(arrow->core.height, 40);
    const Pixel foreground = Resource<Pixel>(arrow, XmNforeground);
    const Pixel background = Resource<Pixel>(arrow, XmNbackground);
    ASSERT_NE(foreground, background);
    // Centre 9, 18: a base line at y 28 from x 1 to 16, the head from y 18 to 25, the stem up to 11.
    for (int x = 1; x <= 16; ++x) EXPECT_EQ(PixelAt(arrow, x, 28), foreground) << "base line at x " << x;
    EXPECT_EQ(PixelAt(arrow, 0, 28), background);
    EXPECT_EQ(PixelAt(arrow, 17, 28), background);
    EXPECT_EQ(PixelAt(arrow, 9, 25), foreground);  // the tip
    EXPECT_EQ(PixelAt(arrow, 9, 26), background);
    EXPECT_EQ(PixelAt(arrow, 3, 18), foreground);  // the head's wide end
    EXPECT_EQ(PixelAt(arrow, 9, 11), foreground);  // the stem's top
    EXPECT_EQ(PixelAt(arrow, 9, 10), background);
    EXPECT_EQ(PixelAt(arrow, 4, 12), background);  // beside the stem
    EXPECT_EQ(PixelAt(arrow, 0, 0), background);
}

// ---- item operations ----

TEST_F(ComboBoxTest, AddedItemsShowTheItemAtTheSelectedPosition) {
    const Widget combo = Create({{DtNtype, DtCOMBO_TEXT}});
    EXPECT_EQ(FieldText(combo), "");
    QVZDtComboBoxAddItem(combo, Str("/opt/a").get(), 1, False);
    EXPECT_EQ(FieldText(combo), "/opt/a");
    QVZDtComboBoxAddItem(combo, Str("/opt/b").get(), 2, False);
    QVZDtComboBoxAddItem(combo, Str("/opt/c").get(), 3, False);
    EXPECT_EQ(FieldText(combo), "/opt/a");
    EXPECT_EQ(ItemCount(combo), 3);
    // A new first item takes the selected index.
    QVZDtComboBoxAddItem(combo, Str("/new").get(), 1, False);
    EXPECT_EQ(FieldText(combo), "/new");
    QVZDtComboBoxAddItem(combo, Str("/last").get(), 0, False);
    EXPECT_EQ(TextOf(Resource<XmStringTable>(combo, DtNitems)[4]), "/last");

    // A duplicate with unique: nothing at all changes, not even what the user typed.
    XmTextFieldSetString(Part(combo).textField, const_cast<char *>("typed by hand"));
    QVZDtComboBoxAddItem(combo, Str("/opt/b").get(), 1, True);
    EXPECT_EQ(ItemCount(combo), 5);
    EXPECT_EQ(FieldText(combo), "typed by hand");
    // Without unique the duplicate goes in.
    QVZDtComboBoxAddItem(combo, Str("/opt/b").get(), 0, False);
    EXPECT_EQ(ItemCount(combo), 6);
    EXPECT_EQ(FieldText(combo), "/new");
}

TEST_F(ComboBoxTest, SetItemAndSelectItemFindTheItemOrWarn) {
    const Widget combo = CreateWith(DtCOMBO_TEXT, {"a", "b", "c", "d"}, {{DtNvisibleItemCount, 2}});
    const Widget list = Part(combo).list;
    int top = 0;

    QVZDtComboBoxSetItem(combo, Str("c").get());
    EXPECT_EQ(SelectedPosition(combo), 2);
    EXPECT_EQ(FieldText(combo), "c");
    XtVaGetValues(list, XmNtopItemPosition, &top, nullptr);
    EXPECT_EQ(top, 3);

    QVZDtComboBoxSelectItem(combo, Str("b").get());
    EXPECT_EQ(SelectedPosition(combo), 1);
    EXPECT_EQ(FieldText(combo), "b");
    int *positions = nullptr, count = 0;
    ASSERT_TRUE(XmListGetSelectedPos(list, &positions, &count));
    EXPECT_EQ(count, 1);
    EXPECT_EQ(positions[0], 2);
    XtFree(reinterpret_cast<char *>(positions));

    const char *setWarning = "DtComboBoxWidget: Unable to find item to set (DtComboBoxSetItem).";
    const char *selectWarning = "DtComboBoxWidget: Unable to find item to select (XmComboBoxSelectItem).";
    const Widget empty = Create({{DtNtype, DtCOMBO_TEXT}}, "empty");
    const XmStr absent = Str("zz"), present = Str("a");
    struct Case {
        Widget combo;
        XmString item;
    } missing[] = {{combo, absent.get()}, {combo, nullptr}, {empty, present.get()}};
    for (const Case &c : missing) {
        WarningCapture warnings;
        QVZDtComboBoxSetItem(c.combo, c.item);
        QVZDtComboBoxSelectItem(c.combo, c.item);
        EXPECT_EQ(warnings.messages(), (std::vector<std::string>{setWarning, selectWarning}));
    }
    EXPECT_EQ(SelectedPosition(combo), 1);
    EXPECT_EQ(FieldText(combo), "b");
}

TEST_F(ComboBoxTest, DeletingKeepsTheSelectionOnAValidItem) {
    struct Case {
        int selected, position;  // position as the list counts, 0 for the last
        int expectedSelected;
        const char *shown;
        int count;
    } cases[] = {
        {2, 1, 1, "c", 4},   // an earlier item: the same item stays selected
        {2, 4, 2, "c", 4},   // a later one: nothing moves
        {2, 3, 2, "d", 4},   // the selected one: the next one
        {4, 5, 3, "d", 4},   // the selected last one: the new last one
        {4, 0, 3, "d", 4},   // the same through position 0
        {1, 6, 1, "b", 5},   // past the end: nothing changes
        {1, -1, 1, "b", 5},  // negative: nothing changes
    };
    for (int type : {DtCOMBO_TEXT, DtCOMBO_LABEL}) {
        for (const Case &c : cases) {
            SCOPED_TRACE("type " + std::to_string(type) + ", selected " + std::to_string(c.selected) +
                         ", deleting " + std::to_string(c.position));
            const Widget combo = CreateWith(type, {"a", "b", "c", "d", "e"});
            XtVaSetValues(combo, DtNselectedPosition, c.selected, nullptr);
            QVZDtComboBoxDeletePos(combo, c.position);
            EXPECT_EQ(ItemCount(combo), c.count);
            EXPECT_EQ(SelectedPosition(combo), c.expectedSelected);
            EXPECT_EQ(type == DtCOMBO_TEXT ? FieldText(combo) : LabelText(combo), c.shown);
            XtDestroyWidget(combo);
        }
    }
    // Down to nothing: an empty field, position 0, and nothing posts.
    const Widget combo = CreateWith(DtCOMBO_TEXT, {"only"});
    QVZDtComboBoxDeletePos(combo, 1);
    EXPECT_EQ(ItemCount(combo), 0);
    EXPECT_EQ(SelectedPosition(combo), 0);
    EXPECT_EQ(FieldText(combo), "");
    QVZDtComboBoxDeletePos(combo, 1);
    EXPECT_EQ(ItemCount(combo), 0);
}

TEST_F(ComboBoxTest, ASelectedPositionOutsideTheListShowsNothingStale) {
    // Without items no check is made; adding items later must not read past them.
    const Widget label = Create({{DtNselectedPosition, 7}});
    QVZDtComboBoxAddItem(label, Str("one").get(), 0, False);
    EXPECT_EQ(LabelText(label), "ComboBox");
    const Widget text = Create({{DtNtype, DtCOMBO_TEXT}, {DtNselectedPosition, -3}}, "text");
    QVZDtComboBoxAddItem(text, Str("one").get(), 0, False);
    EXPECT_EQ(FieldText(text), "");
    // A valid position brings the item back.
    XtVaSetValues(label, DtNselectedPosition, 0, nullptr);
    EXPECT_EQ(LabelText(label), "one");
}

TEST_F(ComboBoxTest, CreatingAndDestroyingManyKeepsNoMemory) {
    // The widget's own label string is its only allocation of its own; the toolkit takes back
    // the children. A leak shows under LeakSanitizer (build with SONARIS_SANITIZE).
    XmStr label = Str("Choose");
    const XmStr items[] = {Str("one"), Str("two")};
    XmString table[] = {items[0].get(), items[1].get()};
    for (int i = 0; i < 1000; ++i) {
        const Widget combo = Create({{DtNtype, i % 2},
                                     {DtNlabelString, reinterpret_cast<XtArgVal>(label.get())},
                                     {DtNitems, reinterpret_cast<XtArgVal>(i % 3 ? table : nullptr)},
                                     {DtNitemCount, i % 3 ? 2 : 0}});
        XtVaSetValues(combo, DtNlabelString, label.get(), DtNtype, (i + 1) % 2, nullptr);
        XtDestroyWidget(combo);
    }
    Drain();
    EXPECT_EQ(TextOf(label.get()), "Choose");
}

}  // namespace
