// The installer's process-wide state, error reporting and the quit action.
#include "installer/installer.h"
#include "installer/owners.h"
#include "installer/window.h"

#include <Xm/MessageB.h>

#include <cstdio>
#include <cstdlib>

InstallerWidgetsRec InstallerWidgets;
int bIsSilent = 0;
char *pLocation = nullptr;

static bool bErrorReported = false;

void ShowError(const char *message) {
    bErrorReported = true;
    if (bIsSilent) {
        std::fprintf(stderr, "%s\n", message);
        return;
    }
    XtVaSetValues(InstallerWidgets.errorDialog, XmNmessageString, MakeXmString(message).get(), nullptr);
    XtManageChild(InstallerWidgets.errorDialog);
}

bool ErrorWasReported() {
    return bErrorReported;
}

void Quit(Widget, XtPointer, XtPointer) noexcept {
    std::exit(0);
}

// The error symbol, the message and one OK button, modal for the whole application. OK hides it
// through the dialog's own automatic unmanaging.
void CreateErrorDialog() {
    InstallerWidgetsRec &iw = InstallerWidgets;
    iw.errorDialog = XmCreateErrorDialog(iw.toplevel, const_cast<char *>("ErrorDialog"), nullptr, 0);
    XtVaSetValues(XtParent(iw.errorDialog), XmNtitle, "Error", nullptr);
    XtVaSetValues(iw.errorDialog, XmNdialogStyle, XmDIALOG_FULL_APPLICATION_MODAL, XmNnoResize, True, nullptr);
    XtUnmanageChild(XmMessageBoxGetChild(iw.errorDialog, XmDIALOG_HELP_BUTTON));
    XtUnmanageChild(XmMessageBoxGetChild(iw.errorDialog, XmDIALOG_CANCEL_BUTTON));
}
