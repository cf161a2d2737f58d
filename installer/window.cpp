// The window start-up: toolkit, shell, pages, main loop.
#include "installer.h"

#include <Xm/Xm.h>

#include <cstdlib>

void RunWindow(int *argc, char **argv) {
    InstallerWidgetsRec &iw = InstallerWidgets;
    iw.toplevel = XtVaAppInitialize(&iw.appContext, "SonarisInstaller", nullptr, 0, argc, argv, nullptr,
                                    XmNmappedWhenManaged, False, nullptr);
    XtRealizeWidget(iw.toplevel);
    XMapWindow(XtDisplay(iw.toplevel), XtWindow(iw.toplevel));
    XtAppMainLoop(iw.appContext);
    std::exit(0);  // not reached: the main loop never returns
}
