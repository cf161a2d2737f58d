#include "tests/xtoolkit.h"

#include "tests/fixtures.h"
#include "tests/xwindows.h"

#include <X11/IntrinsicP.h>
#include <X11/Shell.h>
#include <X11/StringDefs.h>
#include <X11/extensions/XTest.h>
#include <Xm/Text.h>
#include <Xm/TextF.h>
#include <poll.h>

#include <cstdio>
#include <stdexcept>

namespace xtoolkit {

// Both of Xt's warning paths end here; the default handlers would refuse to format parameters
// when run as root, and print to stderr where no test can look.
struct WarningSink {
    static WarningCapture *current;

    static void Record(const std::string &message) noexcept {
        try {
            if (current)
                current->messages_.push_back(message);
            else
                std::fprintf(stderr, "toolkit warning: %s\n", message.c_str());
        } catch (...) {
        }
    }

    static void Plain(String message) noexcept { Record(message ? message : ""); }

    // The default message with its %s parameters filled in, as the default handler would print it.
    static void WithParameters(String, String, String, String text, String *params, Cardinal *count) noexcept {
        try {
            std::string message;
            Cardinal next = 0;
            for (const char *p = text ? text : ""; *p; ++p) {
                if (p[0] == '%' && p[1] == 's') {
                    if (params && count && next < *count) message += params[next++];
                    ++p;
                } else {
                    message += *p;
                }
            }
            Record(message);
        } catch (...) {
        }
    }
};

WarningCapture *WarningSink::current = nullptr;

WarningCapture::WarningCapture() : outer_(WarningSink::current) {
    Toolkit::Shared();
    WarningSink::current = this;
}

WarningCapture::~WarningCapture() { WarningSink::current = outer_; }

// ---- the toolkit ----

Toolkit *&Toolkit::Instance() {
    static Toolkit *instance = nullptr;
    return instance;
}

Toolkit &Toolkit::Shared() {
    if (!Instance()) Instance() = new Toolkit();
    return *Instance();
}

void Toolkit::Attach(XtAppContext app, Display *display) {
    Instance() = new Toolkit(app, display);  // a child process may replace its parent's
    XtAppSetWarningMsgHandler(app, WarningSink::WithParameters);
    XtAppSetWarningHandler(app, WarningSink::Plain);
}

Toolkit::Toolkit() {
    const std::string name = fixtures::XServer::Shared().display();
    XtToolkitInitialize();
    app_ = XtCreateApplicationContext();
    XtAppSetWarningMsgHandler(app_, WarningSink::WithParameters);
    XtAppSetWarningHandler(app_, WarningSink::Plain);
    int argc = 0;
    display_ = XtOpenDisplay(app_, name.c_str(), "widgettest", "WidgetTest", nullptr, 0, &argc, nullptr);
    if (!display_) throw std::runtime_error("cannot open display " + name);

    // The first XTest key makes the server switch keyboards and announce a new mapping; Xt then
    // rebuilds its keysym table, which Motif keeps a pointer into from its first widget on. Let
    // that happen now, before any Motif widget exists.
    xwindows::FakeKey(display_, XK_Shift_L);
    while (XtAppPending(app_) & XtIMXEvent) XtAppProcessEvent(app_, XtIMXEvent);
    KeyCode first;
    int perCode;
    XtGetKeysymTable(display_, &first, &perCode);
}

int Toolkit::screenWidth() const { return DisplayWidth(display_, DefaultScreen(display_)); }
int Toolkit::screenHeight() const { return DisplayHeight(display_, DefaultScreen(display_)); }

Widget Toolkit::CreateShell(const char *name, int x, int y) const {
    Arg args[3];
    Cardinal n = 0;
    XtSetArg(args[n], XtNx, x), n++;
    XtSetArg(args[n], XtNy, y), n++;
    XtSetArg(args[n], XtNallowShellResize, True), n++;
    return XtAppCreateShell(name, "WidgetTest", applicationShellWidgetClass, display_, args, n);
}

// ---- the event pump ----

void Drain() {
    Toolkit &tk = Toolkit::Shared();
    XSync(tk.display(), False);
    while (XtAppPending(tk.app()) & (XtIMXEvent | XtIMTimer)) XtAppProcessEvent(tk.app(), XtIMXEvent | XtIMTimer);
}

bool PumpUntil(const std::function<bool()> &done, milliseconds timeout) {
    Toolkit &tk = Toolkit::Shared();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        Drain();
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        struct pollfd p = {ConnectionNumber(tk.display()), POLLIN, 0};
        poll(&p, 1, 10);
    }
}

void Pump(milliseconds duration) {
    PumpUntil([] { return false; }, duration);
}

// ---- input ----

Point RootPosition(Widget w, int x, int y) {
    Display *display = XtDisplayOfObject(w);
    if (!XtIsWidget(w)) {  // a gadget lives in its parent's window
        x += w->core.x;
        y += w->core.y;
    }
    int rootX = 0, rootY = 0;
    Window child;
    XTranslateCoordinates(display, XtWindowOfObject(w), DefaultRootWindow(display), x, y, &rootX, &rootY,
                          &child);
    return {rootX, rootY};
}

Point Centre(Widget w) { return RootPosition(w, w->core.width / 2, w->core.height / 2); }

void MovePointer(Point p) {
    Display *display = Toolkit::Shared().display();
    XTestFakeMotionEvent(display, DefaultScreen(display), p.x, p.y, CurrentTime);
    Drain();
}

void PressButton(int button) {
    XTestFakeButtonEvent(Toolkit::Shared().display(), button, True, CurrentTime);
    Drain();
}

void ReleaseButton(int button) {
    XTestFakeButtonEvent(Toolkit::Shared().display(), button, False, CurrentTime);
    Drain();
}

void Click(Point p, int button) {
    MovePointer(p);
    PressButton(button);
    ReleaseButton(button);
}

void TapKey(KeySym keysym, KeySym held) {
    xwindows::FakeKey(Toolkit::Shared().display(), keysym, held);
    Drain();
}

void TypeText(const std::string &text) {
    for (unsigned long keysym : xwindows::KeysymsOf(Toolkit::Shared().display(), text)) TapKey(keysym);
}

std::string TextOf(XmString s) {
    std::string text;
    XmStringContext context;
    if (!s || !XmStringInitContext(&context, s)) return text;
    char *segment = nullptr;
    XmStringCharSet charset = nullptr;
    XmStringDirection direction;
    XmStringComponentType unknownTag;
    unsigned short unknownLength;
    unsigned char *unknownValue = nullptr;
    for (;;) {
        const XmStringComponentType type = XmStringGetNextComponent(
            context, &segment, &charset, &direction, &unknownTag, &unknownLength, &unknownValue);
        if (type == XmSTRING_COMPONENT_END) break;
        if (type == XmSTRING_COMPONENT_TEXT || type == XmSTRING_COMPONENT_LOCALE_TEXT) {
            text += segment;
            XtFree(segment);
        } else if (type == XmSTRING_COMPONENT_SEPARATOR) {
            text += '\n';
        } else if (type == XmSTRING_COMPONENT_CHARSET) {
            XtFree(charset);
        } else if (type == XmSTRING_COMPONENT_UNKNOWN) {
            XtFree(reinterpret_cast<char *>(unknownValue));
        }
    }
    XmStringFreeContext(context);
    return text;
}

std::string StringResource(Widget w, const char *resource) {
    XmString s = nullptr;
    XtVaGetValues(w, resource, &s, nullptr);
    std::string text = TextOf(s);
    XmStringFree(s);
    return text;
}

std::string TextValue(Widget w) {
    char *value = XmIsTextField(w) ? XmTextFieldGetString(w) : XmTextGetString(w);
    std::string text = value ? value : "";
    XtFree(value);
    return text;
}

bool Viewable(Widget w) { return XtIsRealized(w) && xwindows::Viewable(XtWindow(w), XtDisplay(w)); }

void FocusShell(Widget shell) {
    PumpUntil([shell] { return Viewable(shell); });
    xwindows::Focus(XtWindow(shell), XtDisplay(shell));
    Pump();
}

unsigned long PixelAt(Widget w, int x, int y) {
    Drain();
    return xwindows::Pixel(XtWindow(w), x, y, XtDisplay(w));
}

}  // namespace xtoolkit
