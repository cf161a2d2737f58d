// The window start-up: toolkit and fallback resources, the shell, the pages, the main loop.
#include "installer/installer.h"
#include "data/installer_data.h"
#include "installer/errordialog.h"
#include "installer/navigation.h"
#include "installer/textlocale.h"
#include "installer/window.h"

#include <X11/xpm.h>
#include <Xm/Form.h>
#include <Xm/MwmUtil.h>
#include <Xm/XmP.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <X11/Shell.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

#define SONARIS_DIGITS_OF(value) #value
#define SONARIS_DIGITS(value) SONARIS_DIGITS_OF(value)

// The whole look of the window. Lines that address widgets by name depend on the widget names of
// the pages: renaming a widget silently drops its label, size or colour.
const char *const resources[] = {
    "SonarisInstaller.height:\t350",
    "SonarisInstaller.width:\t489",
    "SonarisInstaller.title:\tSonaris 8 Installer",
    "SonarisInstaller*background:\t#D0D0D0",
    "SonarisInstaller*foreground:\tblack",
    "SonarisInstaller*fontList:\t-adobe-helvetica-medium-r-*-*-" SONARIS_DIGITS(SONARIS_FALLBACK_FONT_PIXELS)
    "-*-*-*-*-*-*-*",
    "SonarisInstaller*topShadowColor:\twhite",
    "SonarisInstaller*XmPushButton.shadowThickness:\t1",
    "SonarisInstaller*page1finish.labelString:\tFinish",
    "SonarisInstaller*page1finish.mnemonic:\tF",
    "SonarisInstaller*page1finish.width:\t75",
    "SonarisInstaller*page1finish.marginHeight:\t3",
    "SonarisInstaller*page1finish.sensitive:\tFalse",
    "SonarisInstaller*page1accept.labelString:\tAccept >",
    "SonarisInstaller*page1accept.mnemonic:\tA",
    "SonarisInstaller*page1accept.width:\t75",
    "SonarisInstaller*page1accept.marginHeight:\t3",
    "SonarisInstaller*page1back.labelString:\t< Back",
    "SonarisInstaller*page1back.mnemonic:\tB",
    "SonarisInstaller*page1back.width:\t75",
    "SonarisInstaller*page1back.marginHeight:\t3",
    "SonarisInstaller*page1back.sensitive:\tFalse",
    "SonarisInstaller*page1cancel.labelString:\tCancel",
    "SonarisInstaller*page1cancel.mnemonic:\tC",
    "SonarisInstaller*page1cancel.width:\t75",
    "SonarisInstaller*page1cancel.marginHeight:\t3",
    "SonarisInstaller*page2finish.labelString:\tFinish",
    "SonarisInstaller*page2finish.mnemonic:\tF",
    "SonarisInstaller*page2finish.width:\t75",
    "SonarisInstaller*page2finish.marginHeight:\t3",
    "SonarisInstaller*page2finish.sensitive:\tTrue",
    "SonarisInstaller*page2next.labelString:\tNext >",
    "SonarisInstaller*page2next.mnemonic:\tN",
    "SonarisInstaller*page2next.width:\t75",
    "SonarisInstaller*page2next.marginHeight:\t3",
    "SonarisInstaller*page2next.sensitive:\tFalse",
    "SonarisInstaller*page2back.labelString:\t< Back",
    "SonarisInstaller*page2back.mnemonic:\tB",
    "SonarisInstaller*page2back.width:\t75",
    "SonarisInstaller*page2back.marginHeight:\t3",
    "SonarisInstaller*page2back.sensitive:\tTrue",
    "SonarisInstaller*page2cancel.labelString:\tCancel",
    "SonarisInstaller*page2cancel.mnemonic:\tC",
    "SonarisInstaller*page2cancel.width:\t75",
    "SonarisInstaller*page2cancel.marginHeight:\t3",
    "SonarisInstaller*page2dircombobox*Text.background:\twhite",
    "SonarisInstaller*page2dirlabel.labelString:\tDestination Directory",
    "SonarisInstaller*page3progresslabel.labelString:\tInstalling...",
    "SonarisInstaller*page3progressbar.height:\t30",
    "SonarisInstaller*page3progressbar.foreground:\t#3131ce",
    nullptr,
};

// Border, title bar, window menu and minimise button: no resize handles, no maximise button.
const int kDecorations = MWM_DECOR_BORDER | MWM_DECOR_TITLE | MWM_DECOR_MENU | MWM_DECOR_MINIMIZE;

const char kProgressFont[] = "-adobe-helvetica-medium-r-*-*-14-*-*-*-*-*-*-*";

// The toolkit's standard command-line options, as it reads them before it opens the display: the
// same table, so that an abbreviation (-disp) and the arguments the other options take are read
// as the toolkit reads them.
struct ToolkitOption {
    const char *option, *specifier;
    XrmOptionKind kind;
    const char *value;
};
const ToolkitOption kToolkitOptions[] = {
    {"+rv", "*reverseVideo", XrmoptionNoArg, "off"},
    {"+synchronous", "*synchronous", XrmoptionNoArg, "off"},
    {"-background", "*background", XrmoptionSepArg, nullptr},
    {"-bd", "*borderColor", XrmoptionSepArg, nullptr},
    {"-bg", "*background", XrmoptionSepArg, nullptr},
    {"-bordercolor", "*borderColor", XrmoptionSepArg, nullptr},
    {"-borderwidth", ".borderWidth", XrmoptionSepArg, nullptr},
    {"-bw", ".borderWidth", XrmoptionSepArg, nullptr},
    {"-display", ".display", XrmoptionSepArg, nullptr},
    {"-fg", "*foreground", XrmoptionSepArg, nullptr},
    {"-fn", "*font", XrmoptionSepArg, nullptr},
    {"-font", "*font", XrmoptionSepArg, nullptr},
    {"-foreground", "*foreground", XrmoptionSepArg, nullptr},
    {"-geometry", ".geometry", XrmoptionSepArg, nullptr},
    {"-iconic", ".iconic", XrmoptionNoArg, "on"},
    {"-name", ".name", XrmoptionSepArg, nullptr},
    {"-reverse", "*reverseVideo", XrmoptionNoArg, "on"},
    {"-rv", "*reverseVideo", XrmoptionNoArg, "on"},
    {"-selectionTimeout", ".selectionTimeout", XrmoptionSepArg, nullptr},
    {"-synchronous", "*synchronous", XrmoptionNoArg, "on"},
    {"-title", ".title", XrmoptionSepArg, nullptr},
    {"-xnllanguage", ".xnlLanguage", XrmoptionSepArg, nullptr},
    {"-xrm", nullptr, XrmoptionResArg, nullptr},
    {"-xtsessionID", ".sessionID", XrmoptionSepArg, nullptr},
};

// The display the command line names, as the toolkit finds it there; else DISPLAY's value.
std::string DisplayNamed(const std::vector<char *> &commandLine) {
    std::vector<XrmOptionDescRec> table;
    for (const ToolkitOption &o : kToolkitOptions)
        table.push_back({const_cast<char *>(o.option), const_cast<char *>(o.specifier), o.kind,
                         const_cast<char *>(o.value)});
    std::vector<char *> args(commandLine.begin(), commandLine.end() - 1);  // no closing null
    int count = static_cast<int>(args.size());
    XrmDatabase options = nullptr;
    XrmParseCommand(&options, table.data(), static_cast<int>(table.size()), "installer", &count, args.data());
    char *type = nullptr;
    XrmValue value{};
    const char *given = std::getenv("DISPLAY");
    std::string name = given ? given : "";
    if (XrmGetResource(options, "installer.display", "Installer.Display", &type, &value) && value.addr)
        name = value.addr;
    XrmDestroyDatabase(options);
    return name;
}

// Where no X server can be reached, say so, and how to install without a window; status 1, as the
// toolkit's own error would have it.
[[noreturn]] void ExplainNoDisplay(const std::vector<char *> &commandLine) {
    const std::string named = DisplayNamed(commandLine);
    const char *name = named.c_str();
    const char *self = commandLine[0] ? commandLine[0] : "sonaris-installer";
    if (name && *name)
        std::fprintf(stderr,
                     "Cannot open the display \"%s\" for the installer's window; "
                     "to install without it: %s -s DIRECTORY\n",
                     name, self);
    else
        std::fprintf(stderr,
                     "No display for the installer's window (DISPLAY is not set); "
                     "to install without it: %s -s DIRECTORY\n",
                     self);
    std::exit(1);
}

// libXm copies HOME into a buffer of its own of this many bytes, the zero included (the icon
// search behind the error dialog's symbol), and keeps the first HOME it reads.
const std::size_t kToolkitHomeSize = 1024;

// While it lives, the toolkit starts with a HOME it can take; the real one is back afterwards, for
// the proposals, the settings file and the launcher. A longer HOME is shown to the toolkit as
// another name of the same directory, through a descriptor kept open for good, so that ~/.Xdefaults
// and ~/.motifbind are read as from any other HOME; where the directory cannot be opened, as
// /dev/null, below which nothing is found.
class ToolkitHome {
public:
    ToolkitHome() {
        const char *home = std::getenv("HOME");
        if (home == nullptr || std::strlen(home) < kToolkitHomeSize) return;
        real_ = home;
        const int directory = open(home, O_PATH | O_DIRECTORY | O_CLOEXEC);
        const std::string name = "/proc/self/fd/" + std::to_string(directory);
        struct stat named, opened;
        const bool reached = directory >= 0 && stat(name.c_str(), &named) == 0 && fstat(directory, &opened) == 0 &&
                             named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
        if (!reached && directory >= 0) close(directory);
        setenv("HOME", reached ? name.c_str() : "/dev/null", 1);
        XmeGetHomeDirName();  // libXm reads it now, and keeps it
    }
    ~ToolkitHome() {
        if (real_) setenv("HOME", real_->c_str(), 1);
    }
    ToolkitHome(const ToolkitHome &) = delete;
    ToolkitHome &operator=(const ToolkitHome &) = delete;

private:
    std::optional<std::string> real_;
};

}  // namespace

void BuildWindow(int *argc, char **argv) {
    InstallerWidgetsRec &iw = InstallerWidgets;

    // Toolkit, with our fallback look; the shell stays unmapped until everything exists. The
    // display is opened apart from the shell so that a missing one is explained, not just named.
    std::optional<ToolkitHome> toolkitHome(std::in_place);
    XtToolkitInitialize();
    iw.appContext = XtCreateApplicationContext();
    XtAppSetFallbackResources(iw.appContext, const_cast<String *>(resources));
    // The user's character type where it is UTF-8 and X can handle it, C otherwise.
    UseLocaleCharacterType();
    // The whole command line, before the toolkit takes its options out: the shell keeps it.
    static std::vector<char *> commandLine;
    commandLine.assign(argv, argv + *argc + 1);
    Display *display = XtOpenDisplay(iw.appContext, nullptr, nullptr, "SonarisInstaller", nullptr, 0, argc, argv);
    if (!display) ExplainNoDisplay(commandLine);
    toolkitHome.reset();
    iw.toplevel = XtVaAppCreateShell(nullptr, "SonarisInstaller", applicationShellWidgetClass, display,
                                     XtNscreen, DefaultScreenOfDisplay(display),
                                     XtNargc, static_cast<int>(commandLine.size() - 1), XtNargv, commandLine.data(),
                                     XmNmappedWhenManaged, False, XmNmwmDecorations, kDecorations, nullptr);
    XtRealizeWidget(iw.toplevel);
    Window window = XtWindow(iw.toplevel);
    // A fixed size for window managers that read only the size hints, not the decorations.
    Dimension width = 0, height = 0;
    XtVaGetValues(iw.toplevel, XtNwidth, &width, XtNheight, &height, nullptr);
    XtVaSetValues(iw.toplevel, XtNminWidth, width, XtNmaxWidth, width, XtNminHeight, height, XtNmaxHeight, height,
                  nullptr);

    // The logo: where a colour cannot be had exactly, the nearest one the colormap holds will do.
    XpmAttributes attributes;
    attributes.valuemask = XpmCloseness;
    attributes.closeness = 65536;
    Pixmap logo = None, mask = None;
    XpmCreatePixmapFromData(display, window, const_cast<char **>(LogoXpm), &logo, &mask, &attributes);

    iw.placeholder = XtVaCreateManagedWidget("placeholder", xmFormWidgetClass, iw.toplevel, nullptr);
    CreateAcceleratorMenu();
    BuildPage1(logo);
    BuildPage2(logo);
    BuildPage3(logo);
    CreateErrorDialog();
    RegisterCallbacks();

    // What the progress bar draws with.
    iw.gc = XCreateGC(display, window, 0, nullptr);
    iw.font = XLoadQueryFont(display, kProgressFont);
    if (iw.font) XSetFont(display, iw.gc, iw.font->fid);

    XMapWindow(display, window);
}

void RunWindow(int *argc, char **argv) {
    BuildWindow(argc, argv);
    XtAppMainLoop(InstallerWidgets.appContext);
    std::exit(0);  // not reached: the main loop never returns
}
