// In-process toolkit support for widget tests: the Xt application context on the harness's private X
// server, an event pump, capture of toolkit warnings, and real input through XTest, by widget (the
// same by window: xwindows.h).
#ifndef SONARIS_TESTS_XTOOLKIT_H
#define SONARIS_TESTS_XTOOLKIT_H

#include <X11/Intrinsic.h>
#include <Xm/Xm.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace xtoolkit {

using std::chrono::milliseconds;

// One application context and display per test process, on fixtures::XServer::Shared(), opened on
// first use with XtOpenDisplay. Warnings go to WarningCapture when one is alive, else to stderr.
class Toolkit {
public:
    static Toolkit &Shared();
    // Makes Shared() the context and display of an application built in this process, instead of
    // opening one of its own.
    static void Attach(XtAppContext app, Display *display);
    XtAppContext app() const { return app_; }
    Display *display() const { return display_; }
    int screenWidth() const;
    int screenHeight() const;

    // An unrealized application shell at (x, y) of the root window.
    Widget CreateShell(const char *name, int x = 0, int y = 0) const;

private:
    Toolkit();
    Toolkit(XtAppContext app, Display *display) : app_(app), display_(display) {}
    static Toolkit *&Instance();
    XtAppContext app_ = nullptr;
    Display *display_ = nullptr;
};

// Flushes requests to the server and handles every event, timer and input that is ready.
void Drain();
// Drains events until `done` holds or `timeout` passes; returns whether `done` held.
bool PumpUntil(const std::function<bool()> &done, milliseconds timeout = milliseconds(5000));
// Drains events for `duration`, for the server and the toolkit to settle.
void Pump(milliseconds duration = milliseconds(50));

// Collects the toolkit warnings (XtAppWarningMsg and XtAppWarning alike) issued while it lives.
class WarningCapture {
public:
    WarningCapture();
    ~WarningCapture();
    WarningCapture(const WarningCapture &) = delete;
    WarningCapture &operator=(const WarningCapture &) = delete;

    const std::vector<std::string> &messages() const { return messages_; }
    void Clear() { messages_.clear(); }

private:
    friend struct WarningSink;
    std::vector<std::string> messages_;
    WarningCapture *outer_;
};

// Real input through XTest, at root coordinates.
struct Point {
    int x, y;
};
Point RootPosition(Widget w, int x = 0, int y = 0);  // from XTranslateCoordinates
Point Centre(Widget w);
void MovePointer(Point p);
void PressButton(int button = 1);
void ReleaseButton(int button = 1);
void Click(Point p, int button = 1);
// xwindows::FakeKey on the toolkit's display, and the events it brings handled.
void TapKey(KeySym keysym, KeySym held = 0);
void TypeText(const std::string &text);

// The text of a compound string, line breaks as "\n" ("" for null).
std::string TextOf(XmString s);
// A widget's resource of type T, or `unset` where the widget gives none.
template <typename T>
T Resource(Widget w, const char *name, T unset = T{}) {
    XtVaGetValues(w, name, &unset, nullptr);
    return unset;
}
// The text of a widget's compound-string resource (XmNlabelString, ...), which it hands out as a copy.
std::string StringResource(Widget w, const char *resource);
// The value of a text field or text widget, which it hands out as a copy.
std::string TextValue(Widget w);

bool Viewable(Widget w);
// Gives the X input focus to a shell's window (there is no window manager to do it).
void FocusShell(Widget shell);
// The RRGGBB colour of the pixel at (x, y) of a widget's window.
unsigned long PixelAt(Widget w, int x, int y);

}  // namespace xtoolkit

#endif
