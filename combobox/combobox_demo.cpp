// combobox-demo: four combo boxes to try by hand: a text field and a label, each with a Motif arrow
// and a flat arrow, on either side. Every choice is printed on standard output.
#include "combobox/DtComboBox.h"
#include "combobox/xmstr.h"

#include <Xm/Label.h>
#include <Xm/RowColumn.h>
#include <Xm/TextF.h>
#include <X11/Intrinsic.h>

#include <cstdio>

namespace {

const char *const kDirectories[] = {"/opt/sonaris", "/usr/local/sonaris", "/home/user/sonaris", "/tmp/sonaris"};
const char *const kColours[] = {"Red", "Green", "Blue", "A rather long colour name", "Black"};

void Chosen(Widget w, XtPointer, XtPointer call) noexcept {
    const auto *data = static_cast<ComboBoxCallbackRecord *>(call);
    char *text = nullptr;
    if (data->item) XmStringGetLtoR(data->item, const_cast<char *>(XmFONTLIST_DEFAULT_TAG), &text);
    std::printf("%s selected %d %s\n", XtName(w), data->itemPosition, text ? text : "");
    std::fflush(stdout);
    XtFree(text);
}

void Activated(Widget w, XtPointer, XtPointer) noexcept {
    Widget text = nullptr;
    XtVaGetValues(w, DtNtextField, &text, nullptr);
    char *value = text ? XmTextFieldGetString(text) : nullptr;
    std::printf("%s activated %s\n", XtName(w), value ? value : "");
    std::fflush(stdout);
    XtFree(value);
}

Widget AddCombo(Widget parent, const char *name, const char *caption, int type, int arrowType, int orientation,
                const char *const *items, int count) {
    XtVaCreateManagedWidget(name, xmLabelWidgetClass, parent, XmNlabelString, Str(caption).get(), nullptr);
    Arg args[3];
    XtSetArg(args[0], DtNtype, type);
    XtSetArg(args[1], DtNarrowType, arrowType);
    XtSetArg(args[2], DtNorientation, orientation);
    const Widget combo = QVZDtCreateComboBox(parent, const_cast<char *>(name), args, 3);
    for (int i = 0; i < count; ++i) QVZDtComboBoxAddItem(combo, Str(items[i]).get(), i + 1, False);
    XtAddCallback(combo, DtNselectionCallback, Chosen, nullptr);
    XtAddCallback(combo, DtNactivateCallback, Activated, nullptr);
    XtManageChild(combo);
    return combo;
}

}  // namespace

int main(int argc, char **argv) {
    XtAppContext app;
    const Widget top = XtVaOpenApplication(&app, "ComboBoxDemo", nullptr, 0, &argc, argv, nullptr,
                                           applicationShellWidgetClass, XmNtitle, "Combo Box Demo", nullptr);
    Display *display = XtDisplay(top);
    QVZDtInitComboBox(DefaultVisual(display, DefaultScreen(display)), DefaultDepth(display, DefaultScreen(display)));

    const Widget column = XtVaCreateManagedWidget("column", xmRowColumnWidgetClass, top, XmNorientation,
                                                  XmVERTICAL, XmNmarginWidth, 10, XmNmarginHeight, 10,
                                                  XmNspacing, 6, nullptr);
    AddCombo(column, "textArrowRight", "Text field, Motif arrow at the right:", DtCOMBO_TEXT, DtCOMBO_ARROW_BUTTON,
             DtCOMBO_ARROW_RIGHT, kDirectories, 4);
    AddCombo(column, "textFlatLeft", "Text field, flat arrow at the left:", DtCOMBO_TEXT, DtCOMBO_ARROW_DRAWN,
             DtCOMBO_ARROW_LEFT, kDirectories, 4);
    AddCombo(column, "labelFlatRight", "Label, flat arrow at the right:", DtCOMBO_LABEL, DtCOMBO_ARROW_DRAWN,
             DtCOMBO_ARROW_RIGHT, kColours, 5);
    AddCombo(column, "labelArrowLeft", "Label, Motif arrow at the left:", DtCOMBO_LABEL, DtCOMBO_ARROW_BUTTON,
             DtCOMBO_ARROW_LEFT, kColours, 5);

    XtRealizeWidget(top);
    XtAppMainLoop(app);
    return 0;
}
