// Moving through the wizard: the buttons' actions, and the keys Return, C, B, A and F on every page
// through a popup menu that is never posted.
#include "combobox/DtComboBox.h"
#include "installer/installer.h"
#include "installer/navigation.h"

#include <Xm/PushB.h>
#include <Xm/RowColumn.h>
#include <Xm/Xm.h>

#include <cstdint>
#include <iterator>

namespace {

// The keys in the order of the menu's items: an item's position in this table is the client data
// HandleAccelerator receives from it.
struct Accelerator {
    const char *translation;
    XtCallbackProc action;
};
const Accelerator kAccelerators[] = {
    {"<Key>Return", ActivateDefault},
    {"<Key>C", Quit},
    {"<Key>B", Back},
    {"<Key>A", Accept},
    {"<Key>F", Install},
};

bool PageShown(Widget page) {
    return page && XtIsManaged(page);
}

void Raise(Widget w) {
    if (XtIsRealized(w)) XRaiseWindow(XtDisplay(w), XtWindow(w));
}

}  // namespace

void CreateAcceleratorMenu() {
    // Motif makes a popup menu's accelerators act on key presses anywhere in its parent's tree.
    // The items are variable arguments: one line per row of the table, in its order.
    static_assert(std::size(kAccelerators) == 5, "the menu below has one item per accelerator");
    const Accelerator *a = kAccelerators;
    InstallerWidgets.popupMenu = XmVaCreateSimplePopupMenu(
        InstallerWidgets.placeholder, const_cast<char *>("dummypopup"), HandleAccelerator,
        XmVaPUSHBUTTON, nullptr, 0, a[0].translation, nullptr,
        XmVaPUSHBUTTON, nullptr, 0, a[1].translation, nullptr,
        XmVaPUSHBUTTON, nullptr, 0, a[2].translation, nullptr,
        XmVaPUSHBUTTON, nullptr, 0, a[3].translation, nullptr,
        XmVaPUSHBUTTON, nullptr, 0, a[4].translation, nullptr,
        nullptr);
}

void RegisterCallbacks() {
    InstallerWidgetsRec &iw = InstallerWidgets;
    XtAddCallback(iw.page1accept, XmNactivateCallback, Accept, nullptr);
    XtAddCallback(iw.page1cancel, XmNactivateCallback, Quit, nullptr);
    XtAddCallback(iw.page2back, XmNactivateCallback, Back, nullptr);
    XtAddCallback(iw.page2cancel, XmNactivateCallback, Quit, nullptr);
    XtAddCallback(iw.page2finish, XmNactivateCallback, Install, nullptr);
    XtAddCallback(iw.page3progressbar, XmNexposeCallback, DrawProgressBar, nullptr);
}

void HandleAccelerator(Widget, XtPointer client_data, XtPointer) noexcept {
    InstallerWidgetsRec &iw = InstallerWidgets;
    // In the destination field the five keys type, as they would anywhere else in a text.
    Widget textField = nullptr;
    XtVaGetValues(iw.page2dircombobox, DtNtextField, &textField, nullptr);
    if (textField && XmGetFocusWidget(iw.toplevel) == textField) {
        XtDispatchEventToWidget(textField, XtLastEventProcessed(XtDisplay(iw.toplevel)));
        return;
    }
    const auto index = reinterpret_cast<std::uintptr_t>(client_data);
    if (index < std::size(kAccelerators)) kAccelerators[index].action(nullptr, nullptr, nullptr);
}

void ActivateDefault(Widget, XtPointer, XtPointer) noexcept {
    InstallerWidgetsRec &iw = InstallerWidgets;
    if (PageShown(iw.page1form)) {
        XtCallCallbacks(iw.page1default, XmNactivateCallback, nullptr);
    } else if (PageShown(iw.page2form)) {
        XtCallCallbacks(iw.page2default, XmNactivateCallback, nullptr);
    }
}

void FocusDefault(Widget, XtPointer, XtPointer) noexcept {
    InstallerWidgetsRec &iw = InstallerWidgets;
    if (PageShown(iw.page1form)) {
        XmProcessTraversal(iw.page1default, XmTRAVERSE_CURRENT);
    } else if (PageShown(iw.page2form)) {
        XmProcessTraversal(iw.page2default, XmTRAVERSE_CURRENT);
    }
}

void Accept(Widget, XtPointer, XtPointer) noexcept {
    InstallerWidgetsRec &iw = InstallerWidgets;
    // Once the progress page is up there is no way back to the other pages.
    if (PageShown(iw.page3form)) return;
    XtManageChild(iw.page2form);
    XtUnmanageChild(iw.page1form);
    // The label lies across the frame's top border like a group title: keep it above the frame.
    Raise(iw.page2dirlabel);
    Raise(iw.page2buttons);
    FocusDefault(nullptr, nullptr, nullptr);
}

void Back(Widget, XtPointer, XtPointer) noexcept {
    InstallerWidgetsRec &iw = InstallerWidgets;
    if (PageShown(iw.page3form)) return;
    XtManageChild(iw.page1form);
    XtUnmanageChild(iw.page2form);
    FocusDefault(nullptr, nullptr, nullptr);
}
