// The installer's process-wide state and the operations its parts share.
#ifndef SONARIS_INSTALLER_H
#define SONARIS_INSTALLER_H

#include <X11/Intrinsic.h>
#include <X11/Xlib.h>

// The one record of the installer, zero at start. Widget fields hold the widget of the same name.
struct InstallerWidgetsRec {
    XtAppContext appContext;
    Widget popupMenu;
    Widget errorDialog;
    char **argv;  // as main received it; element 0 names the installer file
    Widget page1accept, page1back, page1bottomlabel, page1buttons, page1cancel;
    Widget page1default;  // same widget as page1accept
    Widget page1finish, page1form, page1license, page1logo, page1separator, page1toplabel;
    Widget page2back, page2buttons, page2cancel;
    Widget page2default;  // same widget as page2finish
    Widget page2dircombobox, page2dirlabel, page2finish, page2form, page2frame1, page2logo, page2next,
        page2separator;
    Widget page3form, page3logo, page3progresslabel, page3progressframe, page3progressbar;
    GC gc;
    XFontStruct *font;  // the progress bar's font, or null
    float progress;     // percentage of the payload the extraction pipeline has taken
    Widget placeholder;
    Widget page1licenseWindow;
    Widget toplevel;
};

extern InstallerWidgetsRec InstallerWidgets;
extern int bIsSilent;    // 1 when started as "-s DIR"
extern char *pLocation;  // the DIR of "-s DIR", as typed

// Start-up and error reporting.
void ShowError(const char *message);
bool ErrorWasReported();
void Quit(Widget w, XtPointer client_data, XtPointer call_data) noexcept;

// The installer's own file, opened by main before anything else. `running`: the file must be the
// one this process runs, where the system can tell (not for a window built inside another
// program); Missing where it is not.
enum class SelfFileState { Open, Missing, Unreadable };
void OpenInstallerFile(const char *name, bool running);
SelfFileState InstallerFileState();
int InstallerFileDescriptor();  // -1 unless Open

// The install sequence: checks, extraction, hand-over to the launcher.
void Install(Widget w, XtPointer client_data, XtPointer call_data) noexcept;
// The reports the checks and the extraction share.
void ReportUnreadable(const char *installerFile);
void ReportCannotEnter(const char *directory);
// Extracts into the destination open on `destinationFd`, `destination` naming it in reports.
bool Extract(int destinationFd, const char *destination);

// The window.
[[noreturn]] void RunWindow(int *argc, char **argv);
void DrawProgressBar(Widget w, XtPointer client_data, XtPointer call_data) noexcept;

#endif
