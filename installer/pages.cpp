// The three wizard pages: licence, destination, progress. Built once; shown by managing their forms.
#include "combobox/DtComboBox.h"
#include "installer/installer.h"
#include "data/installer_data.h"
#include "installer/owners.h"
#include "installer/textlocale.h"
#include "installer/window.h"

#include <Xm/DrawingA.h>
#include <Xm/Form.h>
#include <Xm/Frame.h>
#include <Xm/Label.h>
#include <Xm/PushB.h>
#include <Xm/ScrolledW.h>
#include <Xm/Separator.h>
#include <Xm/Text.h>
#include <unistd.h>

#include <cstdlib>

namespace {

// A path built from HOME holds at most this many bytes, its terminating zero included.
const std::size_t kHomePathSize = 4096;
// The directory the proposed destinations end in.
const char kInstalledName[] = "Sonaris8";

Widget CreateLogo(const char *name, Widget page, Pixmap logo) {
    return XtVaCreateManagedWidget(
        name, xmLabelWidgetClass, page, XmNlabelType, XmPIXMAP, XmNlabelPixmap, logo, XmNmarginWidth, 0,
        XmNmarginHeight, 0, XmNleftAttachment, XmATTACH_FORM, XmNleftOffset, 10, XmNtopAttachment,
        XmATTACH_FORM, XmNtopOffset, 10, nullptr);
}

// All pages fill the placeholder alike, so a page is shown just by managing its form.
Widget CreatePage(const char *name, bool managed) {
    Arg args[8];
    Cardinal n = 0;
    XtSetArg(args[n], XmNleftAttachment, XmATTACH_FORM), ++n;
    XtSetArg(args[n], XmNleftOffset, 2), ++n;
    XtSetArg(args[n], XmNtopAttachment, XmATTACH_FORM), ++n;
    XtSetArg(args[n], XmNtopOffset, 2), ++n;
    XtSetArg(args[n], XmNrightAttachment, XmATTACH_FORM), ++n;
    XtSetArg(args[n], XmNrightOffset, 2), ++n;
    XtSetArg(args[n], XmNbottomAttachment, XmATTACH_FORM), ++n;
    XtSetArg(args[n], XmNbottomOffset, 2), ++n;
    Widget parent = InstallerWidgets.placeholder;
    return managed ? XtCreateManagedWidget(name, xmFormWidgetClass, parent, args, n)
                   : XtCreateWidget(name, xmFormWidgetClass, parent, args, n);
}

Widget CreateSeparator(const char *name, Widget page, Widget logo) {
    return XtVaCreateManagedWidget(name, xmSeparatorWidgetClass, page, XmNleftAttachment, XmATTACH_FORM,
                                   XmNleftOffset, 10, XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, logo,
                                   XmNtopOffset, 40, XmNrightAttachment, XmATTACH_FORM, XmNrightOffset, 10,
                                   nullptr);
}

Widget CreateButtonRow(const char *name, Widget page, Widget separator) {
    return XtVaCreateManagedWidget(name, xmFormWidgetClass, page, XmNtopAttachment, XmATTACH_WIDGET,
                                   XmNtopWidget, separator, XmNtopOffset, 10, XmNrightAttachment, XmATTACH_FORM,
                                   XmNrightOffset, 10, XmNleftAttachment, XmATTACH_FORM, XmNleftOffset, 10,
                                   XmNbottomAttachment, XmATTACH_FORM, XmNbottomOffset, 10, nullptr);
}

// A button of the row, right of `rightNeighbour` (or at the row's right end when there is none).
Widget CreateButton(const char *name, Widget row, Widget rightNeighbour, int gap) {
    if (!rightNeighbour) {
        return XtVaCreateManagedWidget(name, xmPushButtonWidgetClass, row, XmNrightAttachment, XmATTACH_FORM,
                                       XmNrightOffset, gap, XmNtopAttachment, XmATTACH_FORM, nullptr);
    }
    return XtVaCreateManagedWidget(name, xmPushButtonWidgetClass, row, XmNrightAttachment, XmATTACH_WIDGET,
                                   XmNrightWidget, rightNeighbour, XmNrightOffset, gap, XmNtopAttachment,
                                   XmATTACH_FORM, nullptr);
}

}  // namespace

void BuildPage1(Pixmap logo) {
    InstallerWidgetsRec &iw = InstallerWidgets;
    iw.page1form = CreatePage("page1form", true);
    iw.page1logo = CreateLogo("page1logo", iw.page1form, logo);
    iw.page1toplabel = XtVaCreateManagedWidget(
        "page1toplabel", xmLabelWidgetClass, iw.page1form, XmNlabelString, MakeXmString(Page1TopText).get(),
        XmNalignment, XmALIGNMENT_BEGINNING, XmNleftAttachment, XmATTACH_WIDGET, XmNleftWidget, iw.page1logo,
        XmNleftOffset, 10, XmNtopAttachment, XmATTACH_FORM, XmNtopOffset, 10, XmNrightAttachment, XmATTACH_FORM,
        XmNrightOffset, 10, nullptr);
    iw.page1bottomlabel = XtVaCreateManagedWidget(
        "page1bottomlabel", xmLabelWidgetClass, iw.page1form, XmNlabelString,
        MakeXmString(Page1BottomText).get(), XmNalignment, XmALIGNMENT_BEGINNING, XmNleftAttachment,
        XmATTACH_WIDGET, XmNleftWidget, iw.page1logo, XmNleftOffset, 10, XmNtopAttachment, XmATTACH_WIDGET,
        XmNtopWidget, iw.page1logo, XmNrightAttachment, XmATTACH_FORM, XmNrightOffset, 15, nullptr);

    // The licence: read-only, no cursor, scrolled vertically only; the text carries its own breaks.
    iw.page1license = XmCreateScrolledText(iw.page1form, const_cast<char *>("page1license"), nullptr, 0);
    XtVaSetValues(iw.page1license, XmNeditable, False, XmNeditMode, XmMULTI_LINE_EDIT,
                  XmNcursorPositionVisible, False, nullptr);
    XmTextSetString(iw.page1license, const_cast<char *>(LicenseText));
    iw.page1licenseWindow = XtParent(iw.page1license);
    Widget horizontal = nullptr, vertical = nullptr;
    XtVaGetValues(iw.page1licenseWindow, XmNhorizontalScrollBar, &horizontal, nullptr);
    if (horizontal) XtUnmanageChild(horizontal);
    XtVaGetValues(iw.page1licenseWindow, XmNverticalScrollBar, &vertical, nullptr);
    XtVaSetValues(iw.page1licenseWindow, XmNleftAttachment, XmATTACH_WIDGET, XmNleftWidget, iw.page1logo,
                  XmNleftOffset, 10, XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, iw.page1toplabel,
                  XmNrightAttachment, XmATTACH_OPPOSITE_WIDGET, XmNrightWidget, iw.page1bottomlabel,
                  XmNbottomAttachment, XmATTACH_WIDGET, XmNbottomWidget, iw.page1bottomlabel, nullptr);
    XtManageChild(iw.page1licenseWindow);
    XtManageChild(iw.page1license);
    if (vertical) XtManageChild(vertical);

    iw.page1separator = CreateSeparator("page1separator", iw.page1form, iw.page1logo);
    iw.page1buttons = CreateButtonRow("page1buttons", iw.page1form, iw.page1separator);
    iw.page1finish = XtVaCreateManagedWidget("page1finish", xmPushButtonWidgetClass, iw.page1buttons,
                                             XmNsensitive, False, XmNrightAttachment, XmATTACH_FORM,
                                             XmNrightOffset, 10, XmNtopAttachment, XmATTACH_FORM, nullptr);
    iw.page1accept = CreateButton("page1accept", iw.page1buttons, iw.page1finish, 20);
    // Page 1 opens with the focus on "Accept >".
    XmProcessTraversal(iw.page1accept, XmTRAVERSE_CURRENT);
    iw.page1back = CreateButton("page1back", iw.page1buttons, iw.page1accept, 0);
    iw.page1cancel = CreateButton("page1cancel", iw.page1buttons, iw.page1back, 20);
    iw.page1default = iw.page1accept;
}

std::vector<std::string> ProposedDestinations() {
    // The home item is left out when HOME is unset or gives a path longer than kHomePathSize allows.
    std::string home;
    if (const char *value = std::getenv("HOME")) {
        home = std::string(value) + "/" + kInstalledName;
        if (home.size() + 1 > kHomePathSize) home.clear();
    }
    const std::string local = std::string("/usr/local/") + kInstalledName, opt = std::string("/opt/") + kInstalledName;
    std::vector<std::string> proposals;
    if (access("/usr/local", W_OK) == 0) {
        proposals = {local, home, opt};
    } else {
        proposals = {home, local, opt};
    }
    return proposals;
}

void BuildPage2(Pixmap logo) {
    InstallerWidgetsRec &iw = InstallerWidgets;
    iw.page2form = CreatePage("page2form", false);
    iw.page2logo = CreateLogo("page2logo", iw.page2form, logo);
    iw.page2frame1 = XtVaCreateManagedWidget(
        "page2frame1", xmFrameWidgetClass, iw.page2form, XmNmarginHeight, 7, XmNmarginWidth, 7, XmNshadowType,
        XmSHADOW_ETCHED_IN, XmNheight, 45, XmNleftAttachment, XmATTACH_WIDGET, XmNleftWidget, iw.page2logo,
        XmNleftOffset, 10, XmNtopAttachment, XmATTACH_FORM, XmNtopOffset, 20, XmNrightAttachment, XmATTACH_FORM,
        XmNrightOffset, 10, nullptr);

    // The destination: an editable combo box proposing three directories, the first one shown.
    Display *display = XtDisplay(iw.toplevel);
    const int screen = DefaultScreen(display);
    QVZDtInitComboBox(DefaultVisual(display, screen), DefaultDepth(display, screen));
    iw.page2dircombobox = XtVaCreateManagedWidget("page2dircombobox", dtComboBoxWidgetClass, iw.page2frame1,
                                                  DtNtype, DtCOMBO_TEXT, DtNarrowType, DtCOMBO_ARROW_BUTTON,
                                                  nullptr);
    // In UTF-8, the destination and its list draw with a face that has the locale's characters.
    if (XmRenderTable table = LocaleRenderTable(iw.page2dircombobox, kFallbackFontPixels)) {
        Widget field = nullptr;
        XtVaGetValues(iw.page2dircombobox, DtNtextField, &field, nullptr);
        if (field) XtVaSetValues(field, XmNrenderTable, table, nullptr);
        XtVaSetValues(iw.page2dircombobox, DtNlistFontList, table, nullptr);
        XmRenderTableFree(table);
    }
    int position = 1;
    for (const std::string &proposal : ProposedDestinations()) {
        if (!proposal.empty()) {
            QVZDtComboBoxAddItem(iw.page2dircombobox, MakeXmString(proposal.c_str()).get(), position, True);
        }
        ++position;
    }

    iw.page2dirlabel = XtVaCreateManagedWidget(
        "page2dirlabel", xmLabelWidgetClass, iw.page2form, XmNtopAttachment, XmATTACH_OPPOSITE_WIDGET,
        XmNtopWidget, iw.page2frame1, XmNtopOffset, -10, XmNleftAttachment, XmATTACH_OPPOSITE_WIDGET,
        XmNleftWidget, iw.page2frame1, XmNleftOffset, 5, nullptr);
    iw.page2separator = CreateSeparator("page2separator", iw.page2form, iw.page2logo);
    iw.page2buttons = CreateButtonRow("page2buttons", iw.page2form, iw.page2separator);
    iw.page2finish = CreateButton("page2finish", iw.page2buttons, nullptr, 10);
    iw.page2next = CreateButton("page2next", iw.page2buttons, iw.page2finish, 20);
    iw.page2back = CreateButton("page2back", iw.page2buttons, iw.page2next, 0);
    iw.page2cancel = CreateButton("page2cancel", iw.page2buttons, iw.page2back, 20);
    iw.page2default = iw.page2finish;
}

void BuildPage3(Pixmap logo) {
    InstallerWidgetsRec &iw = InstallerWidgets;
    iw.page3form = CreatePage("page3form", false);
    iw.page3logo = CreateLogo("page3logo", iw.page3form, logo);
    iw.page3progresslabel = XtVaCreateManagedWidget(
        "page3progresslabel", xmLabelWidgetClass, iw.page3form, XmNalignment, XmALIGNMENT_BEGINNING,
        XmNleftAttachment, XmATTACH_WIDGET, XmNleftWidget, iw.page3logo, XmNleftOffset, 10, XmNtopAttachment,
        XmATTACH_FORM, XmNtopOffset, 10, nullptr);
    iw.page3progressframe = XtVaCreateManagedWidget(
        "page3progressframe", xmFrameWidgetClass, iw.page3form, XmNshadowType, XmSHADOW_IN, XmNshadowThickness,
        1, XmNleftAttachment, XmATTACH_WIDGET, XmNleftWidget, iw.page3logo, XmNleftOffset, 10,
        XmNtopAttachment, XmATTACH_WIDGET, XmNtopWidget, iw.page3progresslabel, XmNrightAttachment,
        XmATTACH_FORM, XmNrightOffset, 10, nullptr);
    iw.page3progressbar =
        XtVaCreateManagedWidget("page3progressbar", xmDrawingAreaWidgetClass, iw.page3progressframe, nullptr);
}
