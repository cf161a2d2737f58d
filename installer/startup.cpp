// The installer's process-wide state, error reporting and the quit action.
#include "installer/errordialog.h"
#include "installer/installer.h"

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
    ShowErrorDialog(message);
}

bool ErrorWasReported() {
    return bErrorReported;
}

void Quit(Widget, XtPointer, XtPointer) noexcept {
    std::exit(0);
}
