// DtComboBox: a text field (DtCOMBO_TEXT) or a label with a separator (DtCOMBO_LABEL) beside an
// arrow button, inside a shadowed frame; the arrow posts a scrolled list of items in an
// override-redirect shell below the widget, with menu-style grabs.
//
// Every procedure the toolkit calls is noexcept: nothing here throws, and nothing may unwind
// through Xt's C frames.
//
// The file reads: the prototypes (class methods, actions, everything else), the initialisation
// (process-wide state and the class's tables), the implementation, all in one anonymous
// namespace; after it, what has external linkage: the class record, the get procedures of the
// synthetic resources and the public functions.
#include "combobox/DtComboBoxP.h"

#include <Xm/ArrowB.h>
#include <Xm/BaseClassP.h>
#include <Xm/DrawP.h>
#include <Xm/DrawnB.h>
#include <Xm/Frame.h>
#include <Xm/Label.h>
#include <Xm/List.h>
#include <Xm/ScrolledW.h>
#include <Xm/Separator.h>
#include <Xm/TextF.h>
#include <Xm/XmP.h>
#include <X11/Shell.h>
#include <X11/ShellP.h>

#include <langinfo.h>

#include <climits>
#include <cstring>
#include <limits>

// Exported by libXm but declared in no installed header.
extern "C" {
int _XmGrabPointer(Widget widget, int owner_events, unsigned int event_mask, int pointer_mode, int keyboard_mode,
                   Window confine_to, Cursor cursor, Time time);
int _XmGrabKeyboard(Widget widget, int owner_events, int pointer_mode, int keyboard_mode, Time time);
void _XmAddGrab(Widget wid, Boolean exclusive, Boolean spring_loaded);
void _XmRemoveGrab(Widget wid);
Boolean _XmShellIsExclusive(Widget wid);
}

namespace {

// ---------------------------------------------------------------------------------------------
// Prototypes: class methods
// ---------------------------------------------------------------------------------------------

void ClassInitialize() noexcept;
void Initialize(Widget request, Widget w, ArgList args, Cardinal *count) noexcept;
void Destroy(Widget w) noexcept;
void Resize(Widget w) noexcept;
void Redisplay(Widget w, XEvent *event, Region region) noexcept;
Boolean SetValues(Widget current, Widget request, Widget w, ArgList args, Cardinal *count) noexcept;
XtGeometryResult GeometryManager(Widget child, XtWidgetGeometry *request, XtWidgetGeometry *reply) noexcept;
XmNavigability ComboNavigability(Widget w) noexcept;
XmImportOperator ImportUnchanged(Widget w, int offset, XtArgVal *value) noexcept;

// ---------------------------------------------------------------------------------------------
// Prototypes: actions
// ---------------------------------------------------------------------------------------------

void ComboBoxFocusIn(Widget w, XEvent *event, String *params, Cardinal *count) noexcept;
void ComboBoxFocusOut(Widget w, XEvent *event, String *params, Cardinal *count) noexcept;
void ComboBoxActivate(Widget w, XEvent *event, String *params, Cardinal *count) noexcept;
void ComboBoxKbdCancel(Widget w, XEvent *event, String *params, Cardinal *count) noexcept;

// ---------------------------------------------------------------------------------------------
// Prototypes: everything else
// ---------------------------------------------------------------------------------------------

// Callbacks and event handlers on the children and the popup shell.
void PostList(Widget arrow, XtPointer client, XtPointer call) noexcept;
void ListSelected(Widget list, XtPointer client, XtPointer call) noexcept;
void DrawFlatArrow(Widget button, XtPointer client, XtPointer call) noexcept;
void ForwardActivate(Widget text, XtPointer client, XtPointer call) noexcept;
void ForwardFocus(Widget text, XtPointer client, XtPointer call) noexcept;
void ForwardLosingFocus(Widget text, XtPointer client, XtPointer call) noexcept;
void DropControlCharacters(Widget text, XtPointer client, XtPointer call) noexcept;
void ListPointerFocus(Widget list, XtPointer client, XEvent *event, Boolean *dispatch) noexcept;
void ShellButtonPress(Widget shell, XtPointer client, XEvent *event, Boolean *dispatch) noexcept;
void ListDestroyed(Widget list, XtPointer client, XtPointer call) noexcept;

// Accessors and small helpers.
String S(const char *text);
DtComboBoxPart &Combo(Widget w);
XmManagerPart &Manager(Widget w);
void Warn(Widget w, const char *message);
void ParseTranslations();
Widget TextChild(Widget w);
int ArrowWidth(int height);
int SeparatorWidth(Widget w);
Dimension ToDimension(int value, int least = 0);
bool IsPosted(Widget w);
Window WindowOf(Widget w);
void GetListItems(Widget w, XmStringTable *items, int *count);
XmString SelectedListItem(Widget w);
template <typename T>
T ListValue(Widget w, const char *name);
char *FirstTextSegment(XmString string);

// Children.
void CreateArrow(Widget w);
Widget CreateTextField(Widget w, const char *name, Dimension margin, bool initial);
Widget CreateLabel(Widget w, const char *name, bool initial);
Widget CreateSeparator(Widget w, bool managed);

// The list and the selection.
void NotifyTypedText(Widget w);
void UnpostList(Widget w);
void ValidateResources(Widget w);
void CopyListState(Widget w);
void ShowSelectionInText(Widget w, XmString item);
void ShowSelectionInLabel(Widget w, XmString item, Boolean force);
void RefreshSelection(Widget w);
void Relayout(Widget w);
int FindItem(Widget w, XmString item);
bool SelectFoundItem(Widget w, XmString item, const char *warning);

// Geometry and drawing.
void RequestPreferredSize(Widget w);
void FitChildren(Widget w);
void PlaceChildren(Widget w);
void EraseFrame(Widget w, Widget geometry = nullptr);
void PaintFrame(Widget w);
void PaintFocusBand(Widget w, bool erase, Widget geometry = nullptr);
void MeasureLabel(Widget w);

// ---------------------------------------------------------------------------------------------
// Initialisation
// ---------------------------------------------------------------------------------------------

XmString defaultLabelString = nullptr;  // "ComboBox", made once, never freed
Visual *popupVisual = nullptr;          // set by QVZDtInitComboBox
int popupDepth = 0;
Boolean buttonDownInList = False;  // a button went down in a posted list and is not up yet

const char kComboTranslations[] =
    "\t<FocusIn>:\t     ComboBoxFocusIn() \n"
    "\t<FocusOut>:\t     ComboBoxFocusOut() \n"
    "        <Key>osfDown:        ComboBoxActivate() \n"
    "        <Btn1Down>,<Btn1Up>: ComboBoxActivate() \n"
    "        <Key>osfSelect:      ComboBoxActivate() \n"
    "        ~s ~m ~a <Key>space: ComboBoxActivate() \n";
const char kLabelTranslations[] =
    "        <Key>osfDown:        ComboBoxActivate(label) \n"
    "        <Btn1Down>,<Btn1Up>: ComboBoxActivate(label) \n"
    "        <Key>osfSelect:      ComboBoxActivate(label) \n"
    "        ~s ~m ~a <Key>space: ComboBoxActivate(label) \n";
const char kListTranslations[] = "        <Key>osfCancel:      ListKbdCancel() ComboBoxKbdCancel() \n";
// The desktop's clipboard keys, besides Motif's own bindings (which stay).
const char kTextTranslations[] =
    "        Ctrl<Key>v:          paste-clipboard() \n"
    "        Ctrl<Key>c:          copy-clipboard() \n"
    "        Ctrl<Key>x:          cut-clipboard() \n";

// Parsed once and shared by every instance, like the default label.
XtTranslations comboTranslations = nullptr;
XtTranslations labelTranslations = nullptr;
XtTranslations listTranslations = nullptr;
XtTranslations textTranslations = nullptr;

// The default of horizontalSpacing and verticalSpacing: "not given", replaced by the spacing of
// the widget's type when it is created.
const Dimension kSpacingNotGiven = 65535;

// The arrow is never narrower or lower than this, so that it stays easy to hit.
const int kLeastArrowSize = 13;

#define COMBO_OFFSET(field) XtOffsetOf(DtComboBoxRec, combo_box.field)
XtResource resources[] = {
    {S(DtNshadowThickness), S(DtCShadowThickness), S(XmRHorizontalDimension), sizeof(Dimension),
     XtOffsetOf(DtComboBoxRec, manager.shadow_thickness), S(XmRImmediate), (XtPointer)1},
    {S(DtNactivateCallback), S(DtCCallback), S(XmRCallback), sizeof(XtCallbackList),
     COMBO_OFFSET(activateCallback), S(XmRCallback), nullptr},
    {S(DtNalignment), S(DtCAlignment), S(XmRAlignment), sizeof(unsigned char), COMBO_OFFSET(alignment),
     S(XmRImmediate), (XtPointer)XmALIGNMENT_BEGINNING},
    {S(DtNarrowSpacing), S(DtCArrowSpacing), S(XmRHorizontalDimension), sizeof(Dimension),
     COMBO_OFFSET(arrowSpacing), S(XmRImmediate), (XtPointer)0},
    {S(DtNarrowType), S(DtCArrowType), S(DtRArrowType), sizeof(unsigned char), COMBO_OFFSET(arrowType),
     S(XmRImmediate), (XtPointer)DtCOMBO_ARROW_DRAWN},
    {S(DtNcolumns), S(DtCColumns), S(XmRShort), sizeof(short), COMBO_OFFSET(columns), S(XmRImmediate),
     (XtPointer)20},
    {S(DtNfocusCallback), S(DtCCallback), S(XmRCallback), sizeof(XtCallbackList), COMBO_OFFSET(focusCallback),
     S(XmRCallback), nullptr},
    {S(DtNhorizontalSpacing), S(DtCHorizontalSpacing), S(XmRHorizontalDimension), sizeof(Dimension),
     COMBO_OFFSET(horizontalSpacing), S(XmRImmediate), (XtPointer)kSpacingNotGiven},
    {S(DtNitemCount), S(DtCItemCount), S(XmRInt), sizeof(int), COMBO_OFFSET(itemCount), S(XmRImmediate),
     (XtPointer)0},
    {S(DtNitems), S(DtCItems), S(XmRXmStringTable), sizeof(XmStringTable), COMBO_OFFSET(items),
     S(XmRImmediate), nullptr},
    {S(DtNlabelString), S(DtCXmString), S(XmRXmString), sizeof(XmString), COMBO_OFFSET(labelString),
     S(XmRImmediate), nullptr},
    {S(DtNlist), S(DtCList), S(XmRWidget), sizeof(Widget), COMBO_OFFSET(list), S(XmRImmediate), nullptr},
    {S(DtNlistFontList), S(DtCListFontList), S(XmRFontList), sizeof(XmFontList), COMBO_OFFSET(listFontList),
     S(XmRImmediate), nullptr},
    {S(DtNlistMarginHeight), S(DtCListMarginHeight), S(XmRVerticalDimension), sizeof(Dimension),
     COMBO_OFFSET(listMarginHeight), S(XmRImmediate), (XtPointer)2},
    {S(DtNlistMarginWidth), S(DtCListMarginWidth), S(XmRHorizontalDimension), sizeof(Dimension),
     COMBO_OFFSET(listMarginWidth), S(XmRImmediate), (XtPointer)2},
    {S(DtNlistSpacing), S(DtCListSpacing), S(XmRDimension), sizeof(Dimension), COMBO_OFFSET(listSpacing),
     S(XmRImmediate), (XtPointer)0},
    {S(DtNlosingFocusCallback), S(DtCCallback), S(XmRCallback), sizeof(XtCallbackList),
     COMBO_OFFSET(losingFocusCallback), S(XmRCallback), nullptr},
    {S(DtNmarginHeight), S(DtCMarginHeight), S(XmRVerticalDimension), sizeof(Dimension),
     COMBO_OFFSET(marginHeight), S(XmRImmediate), (XtPointer)2},
    {S(DtNmarginWidth), S(DtCMarginWidth), S(XmRHorizontalDimension), sizeof(Dimension),
     COMBO_OFFSET(marginWidth), S(XmRImmediate), (XtPointer)2},
    {S(DtNmaxLength), S(DtCMaxLength), S(XmRInt), sizeof(int), COMBO_OFFSET(maxLength), S(XmRImmediate),
     (XtPointer)INT_MAX},
    {S(DtNmenuPostCallback), S(DtCCallback), S(XmRCallback), sizeof(XtCallbackList),
     COMBO_OFFSET(menuPostCallback), S(XmRCallback), nullptr},
    {S(DtNorientation), S(DtCOrientation), S(XmROrientation), sizeof(unsigned char), COMBO_OFFSET(orientation),
     S(XmRImmediate), (XtPointer)DtCOMBO_ARROW_RIGHT},
    {S(DtNpoppedUp), S(DtCPoppedUp), S(XmRBoolean), sizeof(Boolean), COMBO_OFFSET(poppedUp), S(XmRImmediate),
     (XtPointer)False},
    {S(DtNrecomputeSize), S(DtCRecomputeSize), S(XmRBoolean), sizeof(Boolean), COMBO_OFFSET(recomputeSize),
     S(XmRImmediate), (XtPointer)True},
    {S(DtNselectedItem), S(DtCXmString), S(XmRXmString), sizeof(XmString), COMBO_OFFSET(selectedItem),
     S(XmRImmediate), nullptr},
    {S(DtNselectedPosition), S(DtCSelectedPosition), S(XmRInt), sizeof(int), COMBO_OFFSET(selectedPosition),
     S(XmRImmediate), (XtPointer)0},
    {S(DtNselectionCallback), S(DtCCallback), S(XmRCallback), sizeof(XtCallbackList),
     COMBO_OFFSET(selectionCallback), S(XmRCallback), nullptr},
    {S(DtNtextField), S(DtCTextField), S(XmRWidget), sizeof(Widget), COMBO_OFFSET(textField), S(XmRImmediate),
     nullptr},
    {S(DtNtopItemPosition), S(DtCTopItemPosition), S(XmRInt), sizeof(int), COMBO_OFFSET(topItemPosition),
     S(XmRImmediate), (XtPointer)1},
    {S(DtNtype), S(DtCType), S(DtRType), sizeof(unsigned char), COMBO_OFFSET(type), S(XmRImmediate),
     (XtPointer)DtCOMBO_LABEL},
    {S(DtNupdateLabel), S(DtCUpdateLabel), S(XmRBoolean), sizeof(Boolean), COMBO_OFFSET(updateLabel),
     S(XmRImmediate), (XtPointer)True},
    {S(DtNvisibleItemCount), S(DtCVisibleItemCount), S(XmRInt), sizeof(int), COMBO_OFFSET(visibleItemCount),
     S(XmRImmediate), (XtPointer)10},
    {S(DtNverticalSpacing), S(DtCVerticalSpacing), S(XmRVerticalDimension), sizeof(Dimension),
     COMBO_OFFSET(verticalSpacing), S(XmRImmediate), (XtPointer)kSpacingNotGiven},
};

// Read through the list or the children; a set value is stored as it is.
XmSyntheticResource syntheticResources[] = {
    {S(DtNarrowSize), sizeof(Dimension), COMBO_OFFSET(arrowSize), _DtComboBoxGetArrowSize, ImportUnchanged},
    {S(DtNlabelString), sizeof(XmString), COMBO_OFFSET(labelString), _DtComboBoxGetLabelString,
     ImportUnchanged},
    {S(DtNitemCount), sizeof(int), COMBO_OFFSET(itemCount), _DtComboBoxGetListItemCount, ImportUnchanged},
    {S(DtNitems), sizeof(XmStringTable), COMBO_OFFSET(items), _DtComboBoxGetListItems, ImportUnchanged},
    {S(DtNlistFontList), sizeof(XmFontList), COMBO_OFFSET(listFontList), _DtComboBoxGetListFontList,
     ImportUnchanged},
    {S(DtNlistMarginHeight), sizeof(Dimension), COMBO_OFFSET(listMarginHeight), _DtComboBoxGetListMarginHeight,
     ImportUnchanged},
    {S(DtNlistMarginWidth), sizeof(Dimension), COMBO_OFFSET(listMarginWidth), _DtComboBoxGetListMarginWidth,
     ImportUnchanged},
    {S(DtNlistSpacing), sizeof(Dimension), COMBO_OFFSET(listSpacing), _DtComboBoxGetListSpacing,
     ImportUnchanged},
    {S(DtNtopItemPosition), sizeof(int), COMBO_OFFSET(topItemPosition), _DtComboBoxGetListTopItemPosition,
     ImportUnchanged},
    {S(DtNvisibleItemCount), sizeof(int), COMBO_OFFSET(visibleItemCount), _DtComboBoxGetListVisibleItemCount,
     ImportUnchanged},
};
#undef COMBO_OFFSET

XtActionsRec actions[] = {
    {S("ComboBoxFocusIn"), ComboBoxFocusIn},
    {S("ComboBoxFocusOut"), ComboBoxFocusOut},
    {S("ComboBoxActivate"), ComboBoxActivate},
    {S("ComboBoxKbdCancel"), ComboBoxKbdCancel},
};

XmBaseClassExtRec baseClassExtension = {
    nullptr,                    // next_extension
    NULLQUARK,                  // record_type: XmQmotif, stored by ClassInitialize
    XmBaseClassExtVersion,      // version
    sizeof(XmBaseClassExtRec),  // record_size
    nullptr,                    // initializePrehook
    nullptr,                    // setValuesPrehook
    nullptr,                    // initializePosthook
    nullptr,                    // setValuesPosthook
    nullptr,                    // secondaryObjectClass
    nullptr,                    // secondaryObjectCreate
    nullptr,                    // getSecResData
    {0},                        // flags
    nullptr,                    // getValuesPrehook
    nullptr,                    // getValuesPosthook
    nullptr,                    // classPartInitPrehook
    nullptr,                    // classPartInitPosthook
    nullptr,                    // ext_resources
    nullptr,                    // compiled_ext_resources
    0,                          // num_ext_resources
    False,                      // use_sub_resources
    ComboNavigability,          // widgetNavigable
    nullptr,                    // focusChange
    nullptr,                    // wrapperData
};

// ---------------------------------------------------------------------------------------------
// Implementation: class methods
// ---------------------------------------------------------------------------------------------

void ClassInitialize() noexcept { baseClassExtension.record_type = XmQmotif; }

XmNavigability ComboNavigability(Widget w) noexcept {
    const XmManagerPart &m = Manager(w);
    if (!XtIsSensitive(w) || !m.traversal_on) return XmNOT_NAVIGABLE;
    const XmNavigationType nav = m.navigation_type;
    if (nav == XmSTICKY_TAB_GROUP || nav == XmEXCLUSIVE_TAB_GROUP ||
        (nav == XmTAB_GROUP && !_XmShellIsExclusive(w))) {
        // DtCOMBO_TEXT hands the keyboard to its text field; DtCOMBO_LABEL takes it itself.
        return Combo(w).type == DtCOMBO_TEXT ? XmDESCENDANTS_TAB_NAVIGABLE : XmTAB_NAVIGABLE;
    }
    return XmDESCENDANTS_NAVIGABLE;
}

XmImportOperator ImportUnchanged(Widget, int, XtArgVal *) noexcept { return XmSYNTHETIC_LOAD; }

// Arguments every arrow gets, plus those of its kind; PostList on activation.
void CreateArrow(Widget w) {
    DtComboBoxPart &cb = Combo(w);
    Arg args[5];
    Cardinal n = 0;
    XtSetArg(args[n], XmNtraversalOn, False), n++;
    XtSetArg(args[n], XmNhighlightThickness, 0), n++;
    XtSetArg(args[n], XmNshadowThickness, 0), n++;
    if (cb.arrowType == DtCOMBO_ARROW_BUTTON) {
        XtSetArg(args[n], XmNarrowDirection, XmARROW_DOWN), n++;
        XtSetArg(args[n], XmNforeground, w->core.background_pixel), n++;
        cb.arrow = XtCreateManagedWidget("ComboBoxArrow", xmArrowButtonWidgetClass, w, args, n);
    } else {
        cb.arrow = XtCreateManagedWidget("ComboBoxArrow", xmDrawnButtonWidgetClass, w, args, n);
        XtAddCallback(cb.arrow, XmNexposeCallback, DrawFlatArrow, w);
    }
    XtAddCallback(cb.arrow, XmNactivateCallback, PostList, w);
}

// The first text field is managed at once and does not blink; one made by a change of type waits
// to be managed and keeps the default blink rate.
Widget CreateTextField(Widget w, const char *name, Dimension margin, bool initial) {
    const DtComboBoxPart &cb = Combo(w);
    Arg args[5];
    Cardinal n = 0;
    XtSetArg(args[n], XmNcolumns, cb.columns), n++;
    XtSetArg(args[n], XmNmaxLength, cb.maxLength), n++;
    XtSetArg(args[n], XmNmarginWidth, margin), n++;
    XtSetArg(args[n], XmNmarginHeight, margin), n++;
    if (initial) XtSetArg(args[n], XmNblinkRate, 0), n++;
    const Widget text = initial ? XtCreateManagedWidget(name, xmTextFieldWidgetClass, w, args, n)
                                : XtCreateWidget(name, xmTextFieldWidgetClass, w, args, n);
    XtAddCallback(text, XmNlosingFocusCallback, ForwardLosingFocus, w);
    XtAddCallback(text, XmNactivateCallback, ForwardActivate, w);
    XtAddCallback(text, XmNfocusCallback, ForwardFocus, w);
    XtAddCallback(text, XmNmodifyVerifyCallback, DropControlCharacters, nullptr);
    XtOverrideTranslations(text, textTranslations);
    return text;
}

// The first label is managed at once and shows the default label until the selection is shown.
Widget CreateLabel(Widget w, const char *name, bool initial) {
    const DtComboBoxPart &cb = Combo(w);
    Arg args[8];
    Cardinal n = 0;
    XtSetArg(args[n], XmNalignment, cb.alignment), n++;
    XtSetArg(args[n], XmNrecomputeSize, False), n++;
    if (initial) XtSetArg(args[n], XmNlabelString, defaultLabelString), n++;
    XtSetArg(args[n], XmNmarginLeft, 2), n++;
    XtSetArg(args[n], XmNmarginRight, 2), n++;
    XtSetArg(args[n], XmNmarginWidth, 0), n++;
    XtSetArg(args[n], XmNmarginHeight, 0), n++;
    XtSetArg(args[n], XmNstringDirection, Manager(w).string_direction), n++;
    const Widget label = initial ? XtCreateManagedWidget(name, xmLabelWidgetClass, w, args, n)
                                 : XtCreateWidget(name, xmLabelWidgetClass, w, args, n);
    XtOverrideTranslations(label, labelTranslations);
    return label;
}

Widget CreateSeparator(Widget w, bool managed) {
    Arg args[1];
    XtSetArg(args[0], XmNorientation, XmVERTICAL);
    return managed ? XtCreateManagedWidget("ComboBoxSeparator", xmSeparatorWidgetClass, w, args, 1)
                   : XtCreateWidget("ComboBoxSeparator", xmSeparatorWidgetClass, w, args, 1);
}

void Initialize(Widget, Widget w, ArgList, Cardinal *) noexcept {
    DtComboBoxPart &cb = Combo(w);

    ParseTranslations();
    XtOverrideTranslations(w, comboTranslations);
    if (!defaultLabelString) defaultLabelString = XmStringCreateSimple(S("ComboBox"));

    // A label string given without items is shown as it is, not replaced by the first item.
    Boolean force = False;
    if (!cb.labelString)
        cb.labelString = defaultLabelString;
    else if (!cb.items)
        force = True;

    cb.arrow = cb.popupShell = cb.listFrame = nullptr;
    cb.textField = cb.label = cb.separator = nullptr;
    cb.oldWidth = cb.oldHeight = 0;
    cb.labelMaxWidth = cb.labelMaxHeight = 0;
    cb.maxShellWidth = cb.maxShellHeight = 0;
    cb.poppedUp = False;

    ValidateResources(w);

    if (cb.type == DtCOMBO_TEXT) {
        cb.textField = CreateTextField(w, "Text", 1, true);
        if (cb.horizontalSpacing == kSpacingNotGiven) cb.horizontalSpacing = 0;
        if (cb.verticalSpacing == kSpacingNotGiven) cb.verticalSpacing = 0;
    } else {
        Manager(w).shadow_thickness = 2;
        cb.label = CreateLabel(w, "Label", true);
        if (cb.horizontalSpacing == kSpacingNotGiven) cb.horizontalSpacing = 1;
        if (cb.verticalSpacing == kSpacingNotGiven) cb.verticalSpacing = 2;
        cb.separator = CreateSeparator(w, true);
    }
    CreateArrow(w);

    // The popup shell, with the frame and the scrolled list in it.
    Arg args[12];
    Cardinal n = 0;
    XtSetArg(args[n], XmNoverrideRedirect, True), n++;
    XtSetArg(args[n], XmNallowShellResize, True), n++;
    XtSetArg(args[n], XmNsaveUnder, True), n++;
    if (popupDepth != 0) {
        // Without QVZDtInitComboBox the shell keeps the visual and depth it inherits: a depth of 0
        // would reach the list's scroll bars, whose first GC then fails with an X error.
        XtSetArg(args[n], XmNvisual, popupVisual), n++;
        XtSetArg(args[n], XmNdepth, popupDepth), n++;
    }
    cb.popupShell = XtCreatePopupShell("ComboBoxMenuShell", topLevelShellWidgetClass, w, args, n);
    cb.listFrame = XtCreateManagedWidget("ComboBoxRowColumn", xmFrameWidgetClass, cb.popupShell, nullptr, 0);

    n = 0;
    XtSetArg(args[n], XmNuserData, w), n++;
    if (cb.listFontList) XtSetArg(args[n], XmNfontList, cb.listFontList), n++;
    XtSetArg(args[n], XmNitemCount, cb.itemCount), n++;
    XtSetArg(args[n], XmNitems, cb.items), n++;
    XtSetArg(args[n], XmNlistMarginHeight, cb.listMarginHeight), n++;
    XtSetArg(args[n], XmNlistMarginWidth, cb.listMarginWidth), n++;
    XtSetArg(args[n], XmNlistSpacing, cb.listSpacing), n++;
    XtSetArg(args[n], XmNstringDirection, Manager(w).string_direction), n++;
    XtSetArg(args[n], XmNtopItemPosition, cb.topItemPosition), n++;
    XtSetArg(args[n], XmNvisibleItemCount, cb.visibleItemCount), n++;
    XtSetArg(args[n], XmNlistSizePolicy, XmRESIZE_IF_POSSIBLE), n++;
    cb.list = XmCreateScrolledList(cb.listFrame, S("List"), args, n);
    XtOverrideTranslations(cb.list, listTranslations);

    // The widget's own copy of the label string, taken before anything below may replace (and
    // free) it: neither the caller's string nor the shared default may be freed.
    cb.labelString = XmStringCopy(cb.labelString);

    if (cb.selectedItem)
        QVZDtComboBoxSelectItem(w, cb.selectedItem);
    else
        XmListSelectPos(cb.list, cb.selectedPosition + 1, False);
    CopyListState(w);

    XtManageChild(cb.list);
    XtRealizeWidget(cb.popupShell);
    cb.maxShellWidth = cb.popupShell->core.width;
    cb.maxShellHeight = cb.popupShell->core.height;

    XtAddCallback(cb.list, XmNdefaultActionCallback, ListSelected, w);
    XtAddCallback(cb.list, XmNbrowseSelectionCallback, ListSelected, w);
    XtInsertEventHandler(cb.list, ButtonPressMask | ButtonReleaseMask | EnterWindowMask | LeaveWindowMask |
                         FocusChangeMask, True, ListPointerFocus, w, XtListHead);
    XtInsertEventHandler(cb.popupShell, ButtonPressMask, True, ShellButtonPress, w, XtListHead);
    XtAddCallback(cb.list, XmNdestroyCallback, ListDestroyed, w);

    if (cb.type == DtCOMBO_TEXT) {
        ShowSelectionInText(w, nullptr);
    } else {
        MeasureLabel(w);
        ShowSelectionInLabel(w, nullptr, force);
    }
    RequestPreferredSize(w);
    PlaceChildren(w);
}

// The children and the popup shell go with the widget; only the label copy is its own.
void Destroy(Widget w) noexcept {
    DtComboBoxPart &cb = Combo(w);
    if (cb.labelString) XmStringFree(cb.labelString);
    cb.labelString = nullptr;
}

void Resize(Widget w) noexcept {
    EraseFrame(w);
    PlaceChildren(w);
    PaintFrame(w);
    Combo(w).oldWidth = w->core.width;
    Combo(w).oldHeight = w->core.height;
}

void Redisplay(Widget w, XEvent *, Region) noexcept { PaintFrame(w); }

Boolean SetValues(Widget current, Widget, Widget w, ArgList, Cardinal *) noexcept {
    const DtComboBoxPart &cur = Combo(current);
    const XmManagerPart &curManager = Manager(current);
    DtComboBoxPart &cb = Combo(w);
    XmManagerPart &manager = Manager(w);
    Boolean force = False;
    bool labelSizeChanged = false;

    ValidateResources(w);

    if (cb.textField != cur.textField) {
        Warn(w, "DtComboButtonWidget: Unable to set textField resource.");
        cb.textField = cur.textField;
    }

    // What the list holds, in one XtSetValues; the list always gets items and itemCount together.
    Arg args[12];
    Cardinal n = 0;
    if (cb.itemCount != cur.itemCount) XtSetArg(args[n], XmNitemCount, cb.itemCount), n++;
    if (cb.items != cur.items) {
        XtSetArg(args[n], XmNitems, cb.items), n++;
        if (cb.itemCount == cur.itemCount) XtSetArg(args[n], XmNitemCount, cb.itemCount), n++;
    }
    if (cb.listFontList != cur.listFontList) XtSetArg(args[n], XmNfontList, cb.listFontList), n++;
    if (cb.listMarginHeight != cur.listMarginHeight) XtSetArg(args[n], XmNlistMarginHeight, cb.listMarginHeight), n++;
    if (cb.listMarginWidth != cur.listMarginWidth) XtSetArg(args[n], XmNlistMarginWidth, cb.listMarginWidth), n++;
    if (cb.listSpacing != cur.listSpacing) XtSetArg(args[n], XmNlistSpacing, cb.listSpacing), n++;
    if (manager.string_direction != curManager.string_direction)
        XtSetArg(args[n], XmNstringDirection, manager.string_direction), n++;
    if (cb.topItemPosition != cur.topItemPosition) XtSetArg(args[n], XmNtopItemPosition, cb.topItemPosition), n++;
    if (cb.visibleItemCount != cur.visibleItemCount)
        XtSetArg(args[n], XmNvisibleItemCount, cb.visibleItemCount), n++;
    if (n > 0) {
        XtSetValues(cb.list, args, n);
        cb.maxShellWidth = cb.popupShell->core.width;
        cb.maxShellHeight = cb.popupShell->core.height;
    }

    if (cb.arrowType != cur.arrowType) {
        XtRemoveCallback(cb.arrow, XmNactivateCallback, PostList, w);
        if (cur.arrowType != DtCOMBO_ARROW_BUTTON) XtRemoveCallback(cb.arrow, XmNexposeCallback, DrawFlatArrow, w);
        XtDestroyWidget(cb.arrow);
        CreateArrow(w);
    }

    const bool typeChanged = cb.type != cur.type;
    if (typeChanged && cb.type == DtCOMBO_TEXT) {
        if (!cb.textField) {
            // Named apart from the "Text" that creation makes, and with wider margins, as the class has
            // always made it: resource files written for either kind address the field by its name
            // (the installer's own fallback lines reach "*Text"), so neither name may change.
            cb.textField = CreateTextField(w, "ComboBoxTextField", 2, false);
            if (cb.horizontalSpacing == cur.horizontalSpacing) cb.horizontalSpacing = 0;
            if (cb.verticalSpacing == cur.verticalSpacing) cb.verticalSpacing = 0;
        }
        if (cb.separator) XtUnmanageChild(cb.separator);
        if (cb.label) XtUnmanageChild(cb.label);
        XtManageChild(cb.textField);
    } else if (typeChanged) {
        if (!cb.label) {
            cb.label = CreateLabel(w, "ComboBoxLabel", false);
            if (cb.horizontalSpacing == cur.horizontalSpacing) cb.horizontalSpacing = 1;
            if (cb.verticalSpacing == cur.verticalSpacing) cb.verticalSpacing = 2;
        } else if (manager.string_direction != curManager.string_direction) {
            XtVaSetValues(cb.label, XmNstringDirection, manager.string_direction, nullptr);
        }
        if (!cb.separator) cb.separator = CreateSeparator(w, false);
        if (cb.textField) XtUnmanageChild(cb.textField);
        XtManageChild(cb.label);
        XtManageChild(cb.separator);
    }
    if (typeChanged && manager.shadow_thickness == curManager.shadow_thickness)
        manager.shadow_thickness = cb.type == DtCOMBO_TEXT ? 1 : 2;

    if (cur.textField && cb.textField == cur.textField) {
        n = 0;
        if (cb.columns != cur.columns) XtSetArg(args[n], XmNcolumns, cb.columns), n++;
        if (cb.maxLength != cur.maxLength) XtSetArg(args[n], XmNmaxLength, cb.maxLength), n++;
        if (n > 0) XtSetValues(cb.textField, args, n);
    }

    const bool labelStringChanged = cb.labelString != cur.labelString;
    if (cb.label) {
        if (cb.alignment != cur.alignment) XtVaSetValues(cb.label, XmNalignment, cb.alignment, nullptr);
        // A new label string or updateLabel changes what the label is sized for, too.
        if (cb.items != cur.items || cb.itemCount != cur.itemCount || cb.label != cur.label ||
            labelStringChanged || cb.updateLabel != cur.updateLabel) {
            MeasureLabel(w);
            labelSizeChanged = true;
        }
    }

    if (labelStringChanged) {
        if (cb.labelString) cb.labelString = XmStringCopy(cb.labelString);
        if (cur.labelString) XmStringFree(cur.labelString);
        if (cb.items == cur.items) force = True;
    }

    if (cb.items != cur.items || cb.alignment != cur.alignment || typeChanged || cb.itemCount != cur.itemCount ||
        cb.selectedPosition != cur.selectedPosition || cb.selectedItem != cur.selectedItem ||
        cb.label != cur.label || cb.updateLabel != cur.updateLabel || labelStringChanged) {
        if (cb.selectedItem && cb.selectedItem != cur.selectedItem)
            QVZDtComboBoxSelectItem(w, cb.selectedItem);
        else
            XmListSelectPos(cb.list, cb.selectedPosition + 1, False);
        if (cb.type == DtCOMBO_TEXT)
            ShowSelectionInText(w, nullptr);
        else
            ShowSelectionInLabel(w, nullptr, force);
    }

    if (typeChanged || cb.arrowType != cur.arrowType || cb.marginHeight != cur.marginHeight ||
        cb.marginWidth != cur.marginWidth || cb.horizontalSpacing != cur.horizontalSpacing ||
        cb.verticalSpacing != cur.verticalSpacing || manager.shadow_thickness != curManager.shadow_thickness ||
        cb.orientation != cur.orientation || cb.arrowSpacing != cur.arrowSpacing ||
        (cb.type == DtCOMBO_LABEL && labelSizeChanged)) {
        EraseFrame(w, current);
        if (cb.recomputeSize) RequestPreferredSize(w);
        PlaceChildren(w);
        PaintFrame(w);
    }

    CopyListState(w);
    return False;
}

// Only the text field may change its size; the combo box then fits itself around it.
XtGeometryResult GeometryManager(Widget child, XtWidgetGeometry *request, XtWidgetGeometry *) noexcept {
    const Widget w = XtParent(child);
    if (child != Combo(w).textField || !(request->request_mode & (CWWidth | CWHeight))) return XtGeometryNo;
    if (request->request_mode & XtCWQueryOnly) return XtGeometryYes;
    const Dimension width = (request->request_mode & CWWidth) ? request->width : child->core.width;
    const Dimension height = (request->request_mode & CWHeight) ? request->height : child->core.height;
    XtResizeWidget(child, width, height, child->core.border_width);
    EraseFrame(w);
    if (Combo(w).recomputeSize) RequestPreferredSize(w);
    PlaceChildren(w);
    PaintFrame(w);
    return XtGeometryYes;
}

// ---------------------------------------------------------------------------------------------
// Implementation: actions
// ---------------------------------------------------------------------------------------------

void ComboBoxFocusIn(Widget w, XEvent *, String *, Cardinal *) noexcept { PaintFocusBand(w, false); }

void ComboBoxFocusOut(Widget w, XEvent *, String *, Cardinal *) noexcept { PaintFocusBand(w, true); }

// With a parameter the action runs on the label, whose parent is the combo box.
void ComboBoxActivate(Widget w, XEvent *, String *, Cardinal *count) noexcept {
    const Widget combo = *count > 0 ? XtParent(w) : w;
    PostList(Combo(combo).arrow, combo, nullptr);
}

// Runs on the list; the combo box is the list's userData.
void ComboBoxKbdCancel(Widget list, XEvent *, String *, Cardinal *) noexcept {
    XtPointer combo = nullptr;
    XtVaGetValues(list, XmNuserData, &combo, nullptr);
    if (combo) UnpostList(static_cast<Widget>(combo));
}

// ---------------------------------------------------------------------------------------------
// Implementation: posting the list, selection, forwarded callbacks
// ---------------------------------------------------------------------------------------------

// The first text of an XmString as a new string (XtFree it), or null.
char *FirstTextSegment(XmString string) {
    XmStringContext context;
    if (!string || !XmStringInitContext(&context, string)) return nullptr;
    char *result = nullptr;
    for (;;) {
        char *text = nullptr;
        XmStringCharSet tag = nullptr;
        XmStringDirection direction;
        XmStringComponentType unknownTag;
        unsigned short unknownLength = 0;
        unsigned char *unknownValue = nullptr;
        const XmStringComponentType kind = XmStringGetNextComponent(context, &text, &tag, &direction, &unknownTag,
                                                                    &unknownLength, &unknownValue);
        if (kind == XmSTRING_COMPONENT_TEXT || kind == XmSTRING_COMPONENT_LOCALE_TEXT) {
            result = text;
            text = nullptr;
        }
        XtFree(text);
        XtFree(tag);
        XtFree(reinterpret_cast<char *>(unknownValue));
        if (result || kind == XmSTRING_COMPONENT_END) break;
    }
    XmStringFreeContext(context);
    return result;
}

// DtCOMBO_TEXT: text the user typed counts as activated before the list covers the field.
void NotifyTypedText(Widget w) {
    const DtComboBoxPart &cb = Combo(w);
    if (!cb.textField) return;
    char *value = XmTextFieldGetString(cb.textField);
    // A selectedPosition outside the list selects nothing: whatever is in the field was typed.
    char *selected = FirstTextSegment(SelectedListItem(w));
    const bool same = (value && selected) ? std::strcmp(value, selected) == 0 : (!value && !selected);
    XtFree(value);
    XtFree(selected);
    if (same) return;
    XmAnyCallbackStruct data = {XmCR_ACTIVATE, nullptr};
    XtCallCallbacks(cb.textField, XmNactivateCallback, &data);
}

void PostList(Widget, XtPointer client, XtPointer) noexcept {
    const Widget w = static_cast<Widget>(client);
    DtComboBoxPart &cb = Combo(w);
    XmStringTable items;
    int count;
    GetListItems(w, &items, &count);
    if (cb.type == DtCOMBO_TEXT) NotifyTypedText(w);
    if (count == 0) return;

    Display *display = XtDisplay(w);
    const int screenWidth = DisplayWidth(display, DefaultScreen(display));
    const int screenHeight = DisplayHeight(display, DefaultScreen(display));
    Position rootX, rootY;
    XtTranslateCoords(w, 0, 0, &rootX, &rootY);
    const int x = rootX;
    const int y = rootY + w->core.height - cb.marginHeight;
    // A widget whose lower left corner is off the screen has no room below it: nothing to post.
    if (x >= screenWidth || y >= screenHeight) return;

    ComboBoxCallbackRecord post = {DtCR_COMBO_MENU_POST, nullptr, nullptr, 0};
    XtCallCallbackList(w, cb.menuPostCallback, &post);

    // Cut at the screen's edges, never moved: the list always hangs below the widget.
    int width = cb.maxShellWidth, height = cb.maxShellHeight;
    if (width < w->core.width) width = w->core.width;
    if (x + width > screenWidth) width = screenWidth - x;
    if (y + height > screenHeight) height = screenHeight - y;
    XtVaSetValues(cb.popupShell, XmNx, static_cast<Position>(x), XmNy, static_cast<Position>(y), XmNwidth,
                  ToDimension(width, 1), XmNheight, ToDimension(height, 1), nullptr);

    cb.poppedUp = True;
    XtPopup(cb.popupShell, XtGrabNone);
    const Cursor cursor = XmGetMenuCursor(display);
    _XmGrabPointer(cb.popupShell, True, ButtonPressMask, GrabModeAsync, GrabModeAsync, None, cursor, CurrentTime);
    _XmGrabKeyboard(cb.list, False, GrabModeAsync, GrabModeAsync, CurrentTime);
    _XmAddGrab(cb.popupShell, True, True);
    XDefineCursor(display, XtWindow(cb.popupShell), cursor);
}

void UnpostList(Widget w) {
    DtComboBoxPart &cb = Combo(w);
    cb.poppedUp = False;
    XtPopdown(cb.popupShell);
    XtUngrabPointer(cb.popupShell, CurrentTime);
    XtUngrabKeyboard(cb.list, CurrentTime);
    _XmRemoveGrab(cb.popupShell);
    if (cb.type == DtCOMBO_TEXT && cb.textField) XmProcessTraversal(cb.textField, XmTRAVERSE_CURRENT);
}

// A combo box destroyed while its list is up: the grabs must go before the popup shell does, or
// the toolkit's grab lists keep the shell after it is freed. The list's destroy callbacks run
// before the shell's, so the shell's own grab callbacks, removed here, are not called at all.
void ListDestroyed(Widget, XtPointer client, XtPointer) noexcept {
    const Widget w = static_cast<Widget>(client);
    DtComboBoxPart &cb = Combo(w);
    if (!IsPosted(w)) return;
    cb.poppedUp = False;
    XtUngrabPointer(cb.popupShell, CurrentTime);
    XtUngrabKeyboard(cb.list, CurrentTime);
    _XmRemoveGrab(cb.popupShell);
}

void ListSelected(Widget, XtPointer client, XtPointer call) noexcept {
    const Widget w = static_cast<Widget>(client);
    DtComboBoxPart &cb = Combo(w);
    const auto *data = static_cast<XmListCallbackStruct *>(call);
    cb.selectedPosition = data->item_position - 1;
    // The list's own item: selectedItem must outlive the call data.
    XmString item = SelectedListItem(w);
    if (!item) item = data->item;
    if (cb.type == DtCOMBO_TEXT)
        ShowSelectionInText(w, item);
    else
        ShowSelectionInLabel(w, item, False);
    if (data->reason == XmCR_DEFAULT_ACTION) UnpostList(w);
    // Browsing with the keys while the list stays up only follows the items.
    if (!IsPosted(w)) {
        ComboBoxCallbackRecord selection = {DtCR_COMBO_SELECT, data->event, item, cb.selectedPosition};
        XtCallCallbackList(w, cb.selectionCallback, &selection);
    }
}

Window WindowOf(Widget w) { return w && XtIsRealized(w) ? XtWindow(w) : None; }

// A press on the shell outside the list and its scroll bars takes the list down unchanged.
void ShellButtonPress(Widget, XtPointer client, XEvent *event, Boolean *) noexcept {
    const Widget w = static_cast<Widget>(client);
    if (event->type != ButtonPress || !IsPosted(w)) return;
    const Widget list = Combo(w).list;
    Widget vertical = nullptr, horizontal = nullptr;
    XtVaGetValues(XtParent(list), XmNverticalScrollBar, &vertical, XmNhorizontalScrollBar, &horizontal, nullptr);
    const Window window = event->xbutton.window;
    if (window != WindowOf(list) && window != WindowOf(vertical) && window != WindowOf(horizontal)) UnpostList(w);
}

// Ahead of the list's own translations: the release that ends a pointer selection takes the list
// down first, so that ListSelected then reports the selection. The pointer grab follows the
// pointer: released inside the list, taken back on the list when the pointer leaves it.
void ListPointerFocus(Widget list, XtPointer client, XEvent *event, Boolean *) noexcept {
    const Widget w = static_cast<Widget>(client);
    switch (event->type) {
    case ButtonPress:
        buttonDownInList = True;
        break;
    case ButtonRelease:
        UnpostList(w);
        buttonDownInList = False;
        break;
    case EnterNotify:
        if (!buttonDownInList) XtUngrabPointer(Combo(w).popupShell, CurrentTime);
        break;
    case LeaveNotify:
        if (IsPosted(w) && !buttonDownInList)
            _XmGrabPointer(list, True, ButtonPressMask, GrabModeAsync, GrabModeAsync, None,
                           XmGetMenuCursor(XtDisplay(w)), CurrentTime);
        break;
    case FocusOut:
        if (IsPosted(w)) {
            _XmGrabKeyboard(list, False, GrabModeAsync, GrabModeAsync, CurrentTime);
            XtSetKeyboardFocus(list, None);
        }
        break;
    default:
        break;
    }
}

void ForwardActivate(Widget, XtPointer client, XtPointer call) noexcept {
    const Widget w = static_cast<Widget>(client);
    XtCallCallbackList(w, Combo(w).activateCallback, call);
}

void ForwardFocus(Widget, XtPointer client, XtPointer call) noexcept {
    const Widget w = static_cast<Widget>(client);
    XtCallCallbackList(w, Combo(w).focusCallback, call);
}

void ForwardLosingFocus(Widget, XtPointer client, XtPointer call) noexcept {
    const Widget w = static_cast<Widget>(client);
    XtCallCallbackList(w, Combo(w).losingFocusCallback, call);
}

// Control characters never enter the text, typed (a Ctrl+key without a binding) or pasted (a line
// break): unseen in the field, they would still be part of its value. The bytes below 32 and 127
// are never part of a multibyte character in the locales X supports; in UTF-8 the C1 controls
// U+0080 to U+009F are dropped as well. The block is only ever shortened, in place.
void DropControlCharacters(Widget, XtPointer, XtPointer call) noexcept {
    auto *data = static_cast<XmTextVerifyCallbackStruct *>(call);
    XmTextBlock block = data ? data->text : nullptr;
    if (!block || !block->ptr || block->length <= 0) return;
    const bool utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    auto *text = reinterpret_cast<unsigned char *>(block->ptr);
    const int length = block->length;
    int kept = 0;
    for (int i = 0; i < length;) {
        if (text[i] < 0x20 || text[i] == 0x7f) {
            ++i;
        } else if (utf8 && text[i] == 0xc2 && i + 1 < length && text[i + 1] >= 0x80 && text[i + 1] <= 0x9f) {
            i += 2;
        } else {
            text[kept++] = text[i++];
        }
    }
    if (kept == length) return;
    block->length = kept;
    // Nothing left to insert: the key or paste does nothing, not even replace the selection. (Only
    // there is doit refused: Motif drops the copy of the block it made whenever that is refused.)
    if (kept == 0 && data->startPos < data->endPos) data->doit = False;
}

// ---------------------------------------------------------------------------------------------
// Implementation: validation, list mirror, showing the selection
// ---------------------------------------------------------------------------------------------

void ValidateResources(Widget w) {
    DtComboBoxPart &cb = Combo(w);
    if (cb.alignment > XmALIGNMENT_END) {
        Warn(w, "DtComboButtonWidget: Invalid alignment resource (defaulting to XmALIGNMENT_CENTER).");
        cb.alignment = XmALIGNMENT_CENTER;
    }
    if (cb.orientation > DtCOMBO_ARROW_RIGHT) {
        Warn(w, "DtComboButtonWidget: Invalid orientation resource (defaulting to XmRIGHT).");
        cb.orientation = DtCOMBO_ARROW_RIGHT;
    }
    if (cb.itemCount < 0) {
        Warn(w, "DtComboButtonWidget: Invalid itemCount resource (defaulting to 0).");
        cb.itemCount = 0;
    }
    if (cb.itemCount > 0 && static_cast<unsigned>(cb.selectedPosition) >= static_cast<unsigned>(cb.itemCount)) {
        Warn(w, "DtComboButtonWidget: Invalid selectedPosition resource (defaulting to 0).");
        cb.selectedPosition = 0;
    }
    // Only the label and the text field kinds exist; anything else would have no text child.
    if (cb.type > DtCOMBO_TEXT) {
        Warn(w, "DtComboButtonWidget: Invalid type resource (defaulting to DtCOMBO_LABEL).");
        cb.type = DtCOMBO_LABEL;
    }
}

void CopyListState(Widget w) {
    DtComboBoxPart &cb = Combo(w);
    XtVaGetValues(cb.list, XmNitems, &cb.items, XmNitemCount, &cb.itemCount, XmNfontList, &cb.listFontList,
                  XmNlistMarginHeight, &cb.listMarginHeight, XmNlistMarginWidth, &cb.listMarginWidth,
                  XmNlistSpacing, &cb.listSpacing, XmNtopItemPosition, &cb.topItemPosition, XmNvisibleItemCount,
                  &cb.visibleItemCount, nullptr);
}

void ShowSelectionInText(Widget w, XmString item) {
    DtComboBoxPart &cb = Combo(w);
    if (!cb.textField) return;
    XmStringTable items;
    int count;
    GetListItems(w, &items, &count);
    if (!item) {
        if (count > 0 && static_cast<unsigned>(cb.selectedPosition) >= static_cast<unsigned>(count)) return;
        if (count != 0) item = items[cb.selectedPosition];
    }
    if (!item) {
        cb.selectedItem = nullptr;
        XtVaSetValues(cb.textField, XmNvalue, "", nullptr);
        return;
    }
    cb.selectedItem = item;
    if (char *text = FirstTextSegment(item)) {
        XtVaSetValues(cb.textField, XmNvalue, text, nullptr);
        XtFree(text);
    }
}

void ShowSelectionInLabel(Widget w, XmString item, Boolean force) {
    DtComboBoxPart &cb = Combo(w);
    if (force || !cb.updateLabel) {
        item = cb.labelString ? cb.labelString : defaultLabelString;
    } else {
        if (!item) {
            XmStringTable items;
            int count;
            GetListItems(w, &items, &count);
            // Like the text field: a selectedPosition outside the list leaves the label alone.
            if (count > 0 && static_cast<unsigned>(cb.selectedPosition) >= static_cast<unsigned>(count)) return;
            item = count > 0 ? items[cb.selectedPosition] : defaultLabelString;
        }
        XmString copy = XmStringCopy(item);
        if (cb.labelString) XmStringFree(cb.labelString);
        cb.labelString = copy;
    }
    cb.selectedItem = item;
    if (cb.label) XtVaSetValues(cb.label, XmNlabelString, item, nullptr);
}

void RefreshSelection(Widget w) {
    if (Combo(w).type == DtCOMBO_TEXT)
        ShowSelectionInText(w, nullptr);
    else
        ShowSelectionInLabel(w, nullptr, False);
}

// After the items changed: the label's size, and for DtCOMBO_LABEL the whole layout, follow them.
void Relayout(Widget w) {
    DtComboBoxPart &cb = Combo(w);
    if (!cb.label) return;
    MeasureLabel(w);
    if (cb.type != DtCOMBO_LABEL) return;
    EraseFrame(w);
    if (cb.recomputeSize) RequestPreferredSize(w);
    PlaceChildren(w);
    PaintFrame(w);
}

// Index of the first of the list's items equal to item, or -1.
int FindItem(Widget w, XmString item) {
    XmStringTable items;
    int count;
    GetListItems(w, &items, &count);
    if (!item) return -1;
    for (int i = 0; i < count; ++i)
        if (XmStringCompare(item, items[i])) return i;
    return -1;
}

// Makes `item` the selected one and shows it; warns and changes nothing when it is not in the list.
bool SelectFoundItem(Widget w, XmString item, const char *warning) {
    const int index = FindItem(w, item);
    if (index < 0) {
        Warn(w, warning);
        return false;
    }
    Combo(w).selectedPosition = index;
    RefreshSelection(w);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Implementation: geometry and drawing
// ---------------------------------------------------------------------------------------------

void RequestPreferredSize(Widget w) {
    DtComboBoxPart &cb = Combo(w);
    const Widget text = TextChild(w);
    const int textWidth = text ? text->core.width : 0;
    const int textHeight = text ? text->core.height : 0;
    const int shadow = Manager(w).shadow_thickness;
    const int width = ArrowWidth(textHeight) + SeparatorWidth(w) + cb.arrowSpacing + textWidth + 2 * shadow +
                      2 * cb.horizontalSpacing + 2 * cb.marginWidth;
    const int height = textHeight + 2 * shadow + 2 * cb.verticalSpacing + 2 * cb.marginHeight;
    XtMakeResizeRequest(w, ToDimension(width, 1), ToDimension(height, 1), nullptr, nullptr);
    cb.oldWidth = w->core.width;
    cb.oldHeight = w->core.height;
}

void FitChildren(Widget w) {
    const DtComboBoxPart &cb = Combo(w);
    const int shadow = Manager(w).shadow_thickness;
    const int innerHeight = w->core.height - 2 * shadow - 2 * cb.marginHeight - 2 * cb.verticalSpacing;
    int childHeight = 1, separatorHeight = 1;
    if (innerHeight >= 1) {
        childHeight = innerHeight;
        separatorHeight = innerHeight + 2 * cb.verticalSpacing;
    }
    const int innerWidth = w->core.width - 2 * shadow - 2 * cb.marginWidth - 2 * cb.horizontalSpacing;
    if (cb.type == DtCOMBO_LABEL) {
        if (childHeight > cb.labelMaxHeight) childHeight = cb.labelMaxHeight;
        if (childHeight < 1) childHeight = 1;  // an empty label string measures 0 high
    } else if (cb.textField) {
        childHeight = cb.textField->core.height;
    }
    const int arrowWidth = ArrowWidth(childHeight);
    int childWidth = innerWidth - (arrowWidth + SeparatorWidth(w) + cb.arrowSpacing);
    if (childWidth < 1) childWidth = 1;

    if (cb.type == DtCOMBO_LABEL) {
        if (childWidth > cb.labelMaxWidth) childWidth = cb.labelMaxWidth;
        if (cb.label && (cb.label->core.width != childWidth || cb.label->core.height != childHeight))
            XtResizeWidget(cb.label, childWidth, childHeight, cb.label->core.border_width);
        if (cb.separator && cb.separator->core.height != separatorHeight)
            XtResizeWidget(cb.separator, cb.separator->core.width, separatorHeight, cb.separator->core.border_width);
    } else if (cb.textField && cb.textField->core.width != childWidth) {
        XtResizeWidget(cb.textField, childWidth, cb.textField->core.height, cb.textField->core.border_width);
    }
    if (cb.arrow && (cb.arrow->core.width != arrowWidth || cb.arrow->core.height != childHeight))
        XtResizeWidget(cb.arrow, arrowWidth, childHeight < kLeastArrowSize ? kLeastArrowSize : childHeight,
                       cb.arrow->core.border_width);
}

void PlaceChildren(Widget w) {
    const DtComboBoxPart &cb = Combo(w);
    const int shadow = Manager(w).shadow_thickness;
    int x = shadow + cb.marginWidth + cb.horizontalSpacing;
    const int top = shadow + cb.marginHeight + cb.verticalSpacing;
    const int innerHeight = w->core.height - 2 * top;

    FitChildren(w);
    const Widget text = TextChild(w);
    if (!text || !cb.arrow) return;
    const int textRoom = innerHeight - text->core.height;
    const int childY = textRoom >= 0 ? top + textRoom / 2 : top;
    const int arrowRoom = innerHeight - cb.arrow->core.height;
    const int arrowY = arrowRoom >= 0 ? top + arrowRoom / 2 : top;
    const Widget separator = cb.type == DtCOMBO_LABEL ? cb.separator : nullptr;
    const int separatorY = shadow + cb.marginHeight;

    if (cb.orientation == DtCOMBO_ARROW_LEFT) {
        XtMoveWidget(cb.arrow, x, arrowY);
        x += cb.arrow->core.width;
        if (separator) {
            XtMoveWidget(separator, x, separatorY);
            x += separator->core.width;
        }
        x += cb.arrowSpacing;
        XtMoveWidget(text, x, childY);
    } else {
        // The arrow touches the right inner edge, the separator directly left of it.
        XtMoveWidget(text, x, childY);
        x = w->core.width - x - cb.arrow->core.width;
        if (separator) {
            x -= separator->core.width;
            XtMoveWidget(separator, x, separatorY);
            x += separator->core.width;
        }
        XtMoveWidget(cb.arrow, x, arrowY);
    }
}

// Clears the shadow and the focus band where they were last painted. `geometry` is the widget as
// it was before a change of resources (SetValues), else the widget itself.
void EraseFrame(Widget w, Widget geometry) {
    const Widget old = geometry ? geometry : w;
    const DtComboBoxPart &cb = Combo(old);
    const int s = Manager(old).shadow_thickness;
    if (s != 0 && XtIsRealized(w)) {
        const int m = cb.marginWidth, n = cb.marginHeight, W = cb.oldWidth, H = cb.oldHeight;
        Display *display = XtDisplay(w);
        const Window window = XtWindow(w);
        auto clear = [&](int x, int y, int width, int height) {
            if (width > 0 && height > 0) XClearArea(display, window, x, y, width, height, False);
        };
        clear(m, n, W - 2 * m, s);
        clear(m, n, s, H - 2 * n);
        clear(m, H - n - s, W - 2 * m, s);
        clear(W - m - s, n, s, H - 2 * n);
    }
    PaintFocusBand(w, true, old);
}

void PaintFrame(Widget w) {
    const DtComboBoxPart &cb = Combo(w);
    const XmManagerPart &m = Manager(w);
    if (m.shadow_thickness != 0 && XtIsRealized(w)) {
        const int width = w->core.width - 2 * cb.marginWidth, height = w->core.height - 2 * cb.marginHeight;
        if (width > 0 && height > 0)
            _XmDrawShadows(XtDisplay(w), XtWindow(w), m.top_shadow_GC, m.bottom_shadow_GC, cb.marginWidth,
                           cb.marginHeight, width, height, m.shadow_thickness, XmSHADOW_OUT);
    }
    PaintFocusBand(w, false);
}

// The band of the margins: highlight colour while the combo box itself has the focus.
void PaintFocusBand(Widget w, bool erase, Widget geometry) {
    if (!XtIsRealized(w)) return;
    const Widget old = geometry ? geometry : w;
    const DtComboBoxPart &cb = Combo(old);
    int W, H;
    GC gc;
    if (erase) {
        W = cb.oldWidth;
        H = cb.oldHeight;
        gc = Manager(w).background_GC;
    } else {
        if (XmGetFocusWidget(w) != w) return;
        W = w->core.width;
        H = w->core.height;
        gc = Manager(w).highlight_GC;
    }
    const int m = cb.marginWidth, n = cb.marginHeight;
    auto rect = [](int x, int y, int width, int height) {
        return XRectangle{static_cast<short>(x), static_cast<short>(y), ToDimension(width), ToDimension(height)};
    };
    XRectangle band[4] = {rect(0, 0, W, n), rect(0, H - n, W, n), rect(0, 0, m, H), rect(W - m, 0, m, H)};
    XFillRectangles(XtDisplay(w), XtWindow(w), gc, band, 4);
}

// The label's extent: the widest and the tallest item when it follows the selection, else the
// label string (or the default label shown in its place).
void MeasureLabel(Widget w) {
    DtComboBoxPart &cb = Combo(w);
    XmFontList fontList = nullptr;
    XtVaGetValues(cb.label, XmNfontList, &fontList, nullptr);
    XmStringTable items;
    int count;
    GetListItems(w, &items, &count);
    Dimension width = 0, height = 0;
    if (count > 0 && cb.updateLabel) {
        for (int i = 0; i < count; ++i) {
            Dimension itemWidth = 0, itemHeight = 0;
            XmStringExtent(fontList, items[i], &itemWidth, &itemHeight);
            if (itemWidth > width) width = itemWidth;
            if (itemHeight > height) height = itemHeight;
        }
    } else {
        XmStringExtent(fontList, cb.labelString ? cb.labelString : defaultLabelString, &width, &height);
    }
    cb.labelMaxWidth = ToDimension(width + 4);
    cb.labelMaxHeight = height;
    XtResizeWidget(cb.label, cb.labelMaxWidth, ToDimension(cb.labelMaxHeight, 1), cb.label->core.border_width);
}

void DrawFlatArrow(Widget button, XtPointer, XtPointer) noexcept {
    if (!XtIsRealized(button)) return;
    const int width = button->core.width, height = button->core.height;
    const int cx = width / 2, cy = (height - 3) / 2;
    Pixel foreground = 0;
    XtVaGetValues(button, XmNforeground, &foreground, nullptr);
    XGCValues values;
    values.foreground = foreground;
    values.line_width = 0;
    values.line_style = LineSolid;
    values.fill_style = FillSolid;
    const GC gc = XtGetGC(button, GCForeground | GCLineWidth | GCLineStyle | GCFillStyle, &values);
    Display *display = XtDisplay(button);
    const Window window = XtWindow(button);

    XDrawLine(display, window, gc, 1, cy + cx + 1, width - 2, cy + cx + 1);
    const int a = static_cast<int>(cx * 0.8), b = static_cast<int>(cx * 0.3);
    auto point = [](int x, int y) { return XPoint{static_cast<short>(x), static_cast<short>(y)}; };
    XPoint arrow[8] = {point(cx, cy + a),     point(cx - a, cy), point(cx - b, cy), point(cx - b, cy - a),
                       point(cx + b, cy - a), point(cx + b, cy), point(cx + a, cy), point(cx, cy + a)};
    XDrawLines(display, window, gc, arrow, 8, CoordModeOrigin);
    XFillPolygon(display, window, gc, arrow, 8, Nonconvex, CoordModeOrigin);
    XtReleaseGC(button, gc);
}

// ---------------------------------------------------------------------------------------------
// Implementation: accessors and small helpers
// ---------------------------------------------------------------------------------------------

String S(const char *text) { return const_cast<String>(text); }

DtComboBoxPart &Combo(Widget w) { return reinterpret_cast<DtComboBoxWidget>(w)->combo_box; }
XmManagerPart &Manager(Widget w) { return reinterpret_cast<XmManagerWidget>(w)->manager; }

// The warning texts are kept word for word as they were first written, on purpose, although they
// disagree: the resource checks say "DtComboButtonWidget", SetItem and SelectItem say
// "DtComboBoxWidget", and SelectItem's names "XmComboBoxSelectItem". Whoever watches for them
// finds them unchanged.
void Warn(Widget w, const char *message) { XtAppWarning(XtWidgetToApplicationContext(w), message); }

// The child that shows the selection: the text field for DtCOMBO_TEXT, the label otherwise.
Widget TextChild(Widget w) {
    const DtComboBoxPart &cb = Combo(w);
    return cb.type == DtCOMBO_TEXT ? cb.textField : cb.label;
}

// The arrow is a little less than half as wide as the text is tall.
int ArrowWidth(int height) {
    const int width = static_cast<int>(height * 0.45);
    return width < kLeastArrowSize ? kLeastArrowSize : width;
}

int SeparatorWidth(Widget w) {
    const DtComboBoxPart &cb = Combo(w);
    return cb.type == DtCOMBO_LABEL && cb.separator ? cb.separator->core.width : 0;
}

Dimension ToDimension(int value, int least) {
    const int most = std::numeric_limits<Dimension>::max();
    if (value < least) return static_cast<Dimension>(least);
    return static_cast<Dimension>(value > most ? most : value);
}

bool IsPosted(Widget w) {
    const Widget shell = Combo(w).popupShell;
    return shell && reinterpret_cast<ShellWidget>(shell)->shell.popped_up;
}

void GetListItems(Widget w, XmStringTable *items, int *count) {
    *items = nullptr;
    *count = 0;
    if (Combo(w).list) XtVaGetValues(Combo(w).list, XmNitems, items, XmNitemCount, count, nullptr);
    if (!*items) *count = 0;
}

// The item at selectedPosition, or null when the list has none there.
XmString SelectedListItem(Widget w) {
    XmStringTable items;
    int count;
    GetListItems(w, &items, &count);
    const int position = Combo(w).selectedPosition;
    return position >= 0 && position < count ? items[position] : nullptr;
}

template <typename T>
T ListValue(Widget w, const char *name) {
    T value{};
    if (Combo(w).list) XtVaGetValues(Combo(w).list, name, &value, nullptr);
    return value;
}

void ParseTranslations() {
    if (comboTranslations) return;
    comboTranslations = XtParseTranslationTable(kComboTranslations);
    labelTranslations = XtParseTranslationTable(kLabelTranslations);
    listTranslations = XtParseTranslationTable(kListTranslations);
    textTranslations = XtParseTranslationTable(kTextTranslations);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Class record
// ---------------------------------------------------------------------------------------------

// Other files see the class through this record and the class pointer, so both stand outside the
// anonymous namespace. Filled by position, each field tagged with its name.
DtComboBoxClassRec dtComboBoxClassRec = {
    {
        // core_class
        reinterpret_cast<WidgetClass>(&xmManagerClassRec),  // superclass
        S("DtComboBox"),                                      // class_name
        sizeof(DtComboBoxRec),                                // widget_size
        ClassInitialize,                                      // class_initialize
        nullptr,                                              // class_part_initialize
        False,                                                // class_inited
        Initialize,                                           // initialize
        nullptr,                                              // initialize_hook
        XtInheritRealize,                                     // realize
        actions,                                              // actions
        XtNumber(actions),                                    // num_actions
        resources,                                            // resources
        XtNumber(resources),                                  // num_resources
        NULLQUARK,                                            // xrm_class
        True,                                                 // compress_motion
        XtExposeCompressMaximal,                              // compress_exposure
        True,                                                 // compress_enterleave
        False,                                                // visible_interest
        Destroy,                                              // destroy
        Resize,                                               // resize
        Redisplay,                                            // expose
        SetValues,                                            // set_values
        nullptr,                                              // set_values_hook
        XtInheritSetValuesAlmost,                             // set_values_almost
        nullptr,                                              // get_values_hook
        nullptr,                                              // accept_focus
        XtVersion,                                            // version
        nullptr,                                              // callback_private
        XtInheritTranslations,                                // tm_table
        XtInheritQueryGeometry,                               // query_geometry
        XtInheritDisplayAccelerator,                          // display_accelerator
        &baseClassExtension,                                  // extension
    },
    {
        // composite_class
        GeometryManager,          // geometry_manager
        XtInheritChangeManaged,   // change_managed
        XtInheritInsertChild,     // insert_child
        XtInheritDeleteChild,     // delete_child
        nullptr,                  // extension
    },
    {
        // constraint_class
        nullptr,  // resources
        0,        // num_resources
        0,        // constraint_size
        nullptr,  // initialize
        nullptr,  // destroy
        nullptr,  // set_values
        nullptr,  // extension
    },
    {
        // manager_class
        XtInheritTranslations,           // translations
        syntheticResources,              // syn_resources
        XtNumber(syntheticResources),    // num_syn_resources
        nullptr,                         // syn_constraint_resources
        0,                               // num_syn_constraint_resources
        XmInheritParentProcess,          // parent_process
        nullptr,                         // extension
    },
    {
        // combo_box_class
        nullptr,  // extension
    },
};

WidgetClass dtComboBoxWidgetClass = reinterpret_cast<WidgetClass>(&dtComboBoxClassRec);

// ---------------------------------------------------------------------------------------------
// Synthetic resource get procedures
// ---------------------------------------------------------------------------------------------

void _DtComboBoxGetArrowSize(Widget w, int, XtArgVal *value) {
    const Widget arrow = Combo(w).arrow;
    *value = static_cast<XtArgVal>(arrow ? arrow->core.height : 0);
}

// A copy of its own for every caller: XmStringCopy would only share the widget's string under a
// reference count, through the external form a new string is built.
void _DtComboBoxGetLabelString(Widget w, int, XtArgVal *value) {
    XmString copy = nullptr;
    if (const XmString label = Combo(w).labelString) {
        unsigned char *bytes = nullptr;
        if (XmCvtXmStringToByteStream(label, &bytes) > 0 && bytes) copy = XmCvtByteStreamToXmString(bytes);
        XtFree(reinterpret_cast<char *>(bytes));
        if (!copy) copy = XmStringCopy(label);
    }
    *value = reinterpret_cast<XtArgVal>(copy);
}

void _DtComboBoxGetListItemCount(Widget w, int, XtArgVal *value) {
    *value = static_cast<XtArgVal>(ListValue<int>(w, XmNitemCount));
}

void _DtComboBoxGetListItems(Widget w, int, XtArgVal *value) {
    *value = reinterpret_cast<XtArgVal>(ListValue<XmStringTable>(w, XmNitems));
}

void _DtComboBoxGetListFontList(Widget w, int, XtArgVal *value) {
    *value = reinterpret_cast<XtArgVal>(ListValue<XmFontList>(w, XmNfontList));
}

void _DtComboBoxGetListMarginHeight(Widget w, int, XtArgVal *value) {
    *value = static_cast<XtArgVal>(ListValue<Dimension>(w, XmNlistMarginHeight));
}

void _DtComboBoxGetListMarginWidth(Widget w, int, XtArgVal *value) {
    *value = static_cast<XtArgVal>(ListValue<Dimension>(w, XmNlistMarginWidth));
}

void _DtComboBoxGetListSpacing(Widget w, int, XtArgVal *value) {
    *value = static_cast<XtArgVal>(ListValue<Dimension>(w, XmNlistSpacing));
}

void _DtComboBoxGetListTopItemPosition(Widget w, int, XtArgVal *value) {
    *value = static_cast<XtArgVal>(ListValue<int>(w, XmNtopItemPosition));
}

void _DtComboBoxGetListVisibleItemCount(Widget w, int, XtArgVal *value) {
    *value = static_cast<XtArgVal>(ListValue<int>(w, XmNvisibleItemCount));
}

// ---------------------------------------------------------------------------------------------
// Public functions
// ---------------------------------------------------------------------------------------------

void QVZDtInitComboBox(Visual *visual, int depth) {
    popupVisual = visual;
    popupDepth = depth;
}

Widget QVZDtCreateComboBox(Widget parent, String name, ArgList args, Cardinal count) {
    return XtCreateWidget(name, dtComboBoxWidgetClass, parent, args, count);
}

void QVZDtComboBoxAddItem(Widget w, XmString item, int position, Boolean unique) {
    DtComboBoxPart &cb = Combo(w);
    if (unique && item && FindItem(w, item) >= 0) return;
    XmListAddItem(cb.list, item, position);
    CopyListState(w);
    Relayout(w);
    RefreshSelection(w);
}

// The selection stays on its item when an earlier one goes; when the selected item itself goes,
// the one after it (or the new last one) is selected.
void QVZDtComboBoxDeletePos(Widget w, int position) {
    DtComboBoxPart &cb = Combo(w);
    XmStringTable items;
    int count;
    GetListItems(w, &items, &count);
    if (count == 0 || position < 0 || position > count) return;
    const int deleted = position == 0 ? count - 1 : position - 1;
    const bool wasSelected = deleted == cb.selectedPosition;

    XmListDeletePos(cb.list, position);
    CopyListState(w);
    Relayout(w);

    const int left = count - 1;
    int selected = cb.selectedPosition;
    if (deleted < selected) --selected;
    if (selected >= left) selected = left - 1;
    if (selected < 0) selected = 0;
    cb.selectedPosition = selected;
    if (wasSelected && left > 0) XmListSelectPos(cb.list, selected + 1, False);
    RefreshSelection(w);
}

void QVZDtComboBoxSetItem(Widget w, XmString item) {
    if (!SelectFoundItem(w, item, "DtComboBoxWidget: Unable to find item to set (DtComboBoxSetItem).")) return;
    XmListSetItem(Combo(w).list, item);
    CopyListState(w);
}

void QVZDtComboBoxSelectItem(Widget w, XmString item) {
    if (!SelectFoundItem(w, item, "DtComboBoxWidget: Unable to find item to select (XmComboBoxSelectItem).")) return;
    XmListDeselectAllItems(Combo(w).list);
    XmListSelectItem(Combo(w).list, item, False);
    CopyListState(w);
}
