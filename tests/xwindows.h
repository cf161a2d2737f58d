// The windows on the harness's X server, by window: keys typed and the pointer clicked through
// XTest, windows found, measured and looked at. The widget tests build on it (xtoolkit.h), and so do
// the tests that drive the installer program (wizard_support.h).
#ifndef SONARIS_TESTS_XWINDOWS_H
#define SONARIS_TESTS_XWINDOWS_H

#include <X11/Xlib.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace xwindows {

// A connection of the test's own to the harness's X server (fixtures::XServer), on which errors
// about windows of other clients, which come and go while we look at them, are no failure.
Display *TestDisplay();

// Polls `done` until it holds (true) or `timeout` passes (false).
bool Eventually(const std::function<bool()> &done, std::chrono::milliseconds timeout = std::chrono::seconds(20));

// The keysyms that type the UTF-8 `text` (Latin-1 ones up to U+00FF, Unicode ones above), each
// given its key before any is typed, so that the mapping changes once a text (see FakeKey).
std::vector<unsigned long> KeysymsOf(Display *display, const std::string &text);
// Every key a test types: presses and releases the key of `keysym` through XTest, Shift held when
// the keysym needs it and `held` (XK_Control_L, say) if given, and waits until the server has sent
// the events on. A keysym no key carries gets a spare keycode first, for good: a mapping changed
// back while a slow client still reads its keys would turn them into others.
void FakeKey(Display *display, unsigned long keysym, unsigned long held = 0);

// Gives `w` the keyboard focus (there is no window manager to do it).
void Focus(Window w, Display *display = TestDisplay());
// Types at whatever has the focus, through FakeKey, as another program's user would; Type takes UTF-8.
void Key(const char *keysymName, KeySym held = 0);
void Key(KeySym keysym, KeySym held = 0);
void Type(const std::string &text);
// Clicks the first button at (x, y) of `w`.
void Click(Window w, int x, int y);

// The child windows of `w`, bottom first.
std::vector<Window> Children(Window w, Display *display = TestDisplay());
// Whether `w` is mapped, and its ancestors with it.
bool Viewable(Window w, Display *display = TestDisplay());
// A viewable top-level window whose WM_CLASS class is `windowClass`; 0 when there is none.
Window TopLevelOfClass(const std::string &windowClass, Display *display = TestDisplay());
// The top-level window named `name`, once it is viewable; 0 when none appears in time.
Window WaitForWindow(const std::string &name, std::chrono::milliseconds timeout = std::chrono::seconds(20));
// Waits until no viewable top-level window is named `name`.
bool WaitForWindowGone(const std::string &name, std::chrono::milliseconds timeout = std::chrono::seconds(20));

std::string WindowName(Window w);
// The size of a window and its position on the root window.
struct Geometry {
    int x, y, width, height;
};
Geometry WindowGeometry(Window w, Display *display = TestDisplay());
// The longs of a window property (empty when it is missing).
std::vector<long> LongProperty(Window w, const char *name);

// The RRGGBB colours of a rectangle of a window, row by row; none where it cannot be read.
std::vector<unsigned long> Pixels(Window w, int x, int y, int width, int height, Display *display = TestDisplay());
// The RRGGBB colour of a pixel of a window.
unsigned long Pixel(Window w, int x, int y, Display *display = TestDisplay());
// The innermost viewable window of `shell` at (x, y) of it.
Window WindowAt(Window shell, int x, int y);
// The first viewable window under `w`, `w` included, of the given size (child windows carry no names).
Window FindBySize(Window w, int width, int height);
// Pixels of a window darker than its grey background: its text.
int DarkPixels(Window w);

// Waits until the program that draws `w`, a window with text in it, has handled every event sent
// to it before now: `w` is cleared with an exposure, which the server queues behind those events,
// and must be drawn again as it was. False when it is not, in time, or when `w` shows no text.
bool Handled(Window w);

}  // namespace xwindows

#endif
