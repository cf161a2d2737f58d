// Start-up: silent installation from the command line, or the window; and error reporting.
#include "installer.h"
#include "owners.h"

#include <Xm/MessageB.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

InstallerWidgetsRec InstallerWidgets;
int bIsSilent = 0;
char *pLocation = nullptr;

static bool bErrorReported = false;

int main(int argc, char **argv) {
    // Element 0 names the installer file; keep the vector before the toolkit edits it.
    InstallerWidgets.argv = argv;

    // Silent mode is exactly "-s DIR": no other form, nothing before or after.
    if (argc == 3 && std::strcmp(argv[1], "-s") == 0) {
        bIsSilent = 1;
        pLocation = argv[2];
        Install(nullptr, nullptr, nullptr);
        // A script that ran us must be able to tell a failed installation from a complete one.
        std::exit(bErrorReported ? 1 : 0);
    }

    RunWindow(&argc, argv);
}

void ShowError(const char *message) {
    bErrorReported = true;
    if (bIsSilent) {
        std::fprintf(stderr, "%s\n", message);
        return;
    }
    XtVaSetValues(InstallerWidgets.errorDialog, XmNmessageString, MakeXmString(message).get(), nullptr);
    XtManageChild(InstallerWidgets.errorDialog);
}

void Quit(Widget, XtPointer, XtPointer) {
    std::exit(0);
}
