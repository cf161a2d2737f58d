#include "tests/xwindows.h"

#include "tests/fixtures.h"

#include <X11/XKBlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>

namespace xwindows {

namespace {

// The key of `keysym`, and whether it takes Shift; a spare one given it for good where none has it.
KeyCode KeyFor(Display *display, KeySym keysym, bool &shifted) {
    static std::map<KeySym, KeyCode> spares;  // given out on the one server; Xlib may not know them yet
    shifted = false;
    if (const auto given = spares.find(keysym); given != spares.end()) return given->second;
    if (const KeyCode code = XKeysymToKeycode(display, keysym)) {
        shifted = XkbKeycodeToKeysym(display, code, 0, 0) != keysym;
        return code;
    }
    int first = 0, last = 0, perCode = 0;
    XDisplayKeycodes(display, &first, &last);
    KeySym *map = XGetKeyboardMapping(display, static_cast<KeyCode>(first), last - first + 1, &perCode);
    const auto unused = [&](int code) {
        return std::count(map + (code - first) * perCode, map + (code - first + 1) * perCode, NoSymbol) == perCode;
    };
    int spare = last;
    while (spare > first && !unused(spare)) --spare;
    XFree(map);
    if (spare == first) throw std::runtime_error("no key to spare for keysym " + std::to_string(keysym));
    XChangeKeyboardMapping(display, spare, 1, &keysym, 1);
    XSync(display, False);
    return spares[keysym] = static_cast<KeyCode>(spare);
}

// The viewable top-level window named `name`, or 0.
Window FindShown(const std::string &name) {
    const std::vector<Window> top = Children(DefaultRootWindow(TestDisplay()));
    for (auto w = top.rbegin(); w != top.rend(); ++w)  // topmost first
        if (WindowName(*w) == name && Viewable(*w)) return *w;
    return 0;
}

// Windows of other clients come and go while we look at them: an error about one is no failure.
int IgnoreErrors(Display *, XErrorEvent *) { return 0; }

}  // namespace

std::vector<unsigned long> KeysymsOf(Display *display, const std::string &text) {
    std::vector<unsigned long> keys;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i++]);
        const int more = lead >= 0xf0 ? 3 : lead >= 0xe0 ? 2 : lead >= 0xc0 ? 1 : 0;
        unsigned long code = more ? lead & (0x3f >> more) : lead;
        for (int k = 0; k < more && i < text.size(); ++k) code = code << 6 | (text[i++] & 0x3f);
        keys.push_back(code < 0x100 ? code : 0x1000000 | code);
        bool shifted = false;
        KeyFor(display, keys.back(), shifted);
    }
    return keys;
}

void FakeKey(Display *display, unsigned long keysym, unsigned long held) {
    bool shifted = false, unused = false;
    const KeyCode code = KeyFor(display, keysym, shifted);
    const KeyCode shift = XKeysymToKeycode(display, XK_Shift_L);
    const KeyCode modifier = held ? KeyFor(display, held, unused) : 0;
    if (modifier) XTestFakeKeyEvent(display, modifier, True, CurrentTime);
    if (shifted) XTestFakeKeyEvent(display, shift, True, CurrentTime);
    XTestFakeKeyEvent(display, code, True, CurrentTime);
    XTestFakeKeyEvent(display, code, False, CurrentTime);
    if (shifted) XTestFakeKeyEvent(display, shift, False, CurrentTime);
    if (modifier) XTestFakeKeyEvent(display, modifier, False, CurrentTime);
    XSync(display, False);
}


bool Eventually(const std::function<bool()> &done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

Display *TestDisplay() {
    static Display *display = [] {
        Display *d = XOpenDisplay(fixtures::XServer::Shared().display().c_str());
        if (!d) throw std::runtime_error("cannot open the test display");
        XSetErrorHandler(IgnoreErrors);
        return d;
    }();
    return display;
}

std::string WindowName(Window w) {
    char *name = nullptr;
    std::string result;
    if (XFetchName(TestDisplay(), w, &name) && name) result = name;
    if (name) XFree(name);
    return result;
}

Window WaitForWindow(const std::string &name, std::chrono::milliseconds timeout) {
    Window w = 0;
    Eventually([&] { return (w = FindShown(name)) != 0; }, timeout);
    return w;
}

bool WaitForWindowGone(const std::string &name, std::chrono::milliseconds timeout) {
    return Eventually([&] { return FindShown(name) == 0; }, timeout);
}

Geometry WindowGeometry(Window w, Display *d) {
    XWindowAttributes a;
    XGetWindowAttributes(d, w, &a);
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(d, w, DefaultRootWindow(d), 0, 0, &x, &y, &child);
    return {x, y, a.width, a.height};
}

std::vector<long> LongProperty(Window w, const char *name) {
    Display *d = TestDisplay();
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char *data = nullptr;
    std::vector<long> values;
    if (XGetWindowProperty(d, w, XInternAtom(d, name, False), 0, 64, False, AnyPropertyType, &type, &format,
                           &count, &after, &data) == Success &&
        data && format == 32) {
        const long *longs = reinterpret_cast<const long *>(data);
        values.assign(longs, longs + count);
    }
    if (data) XFree(data);
    return values;
}

void Focus(Window w, Display *display) {
    XSetInputFocus(display, w, RevertToParent, CurrentTime);
    XSync(display, False);
}

void Key(const char *keysymName, KeySym held) { Key(XStringToKeysym(keysymName), held); }

void Key(KeySym keysym, KeySym held) {
    FakeKey(TestDisplay(), keysym, held);
    // Motif takes two key events with the same time stamp for one, as a person never types them.
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
}

void Type(const std::string &text) {
    for (unsigned long keysym : KeysymsOf(TestDisplay(), text)) Key(keysym);
}

void Click(Window w, int x, int y) {
    Display *d = TestDisplay();
    const Geometry g = WindowGeometry(w);
    XTestFakeMotionEvent(d, DefaultScreen(d), g.x + x, g.y + y, CurrentTime);
    XTestFakeButtonEvent(d, 1, True, CurrentTime);
    XTestFakeButtonEvent(d, 1, False, CurrentTime);
    XSync(d, False);
}



std::vector<Window> Children(Window w, Display *display) {
    Window root, parent, *children = nullptr;
    unsigned int count = 0;
    std::vector<Window> result;
    if (XQueryTree(display, w, &root, &parent, &children, &count)) result.assign(children, children + count);
    if (children) XFree(children);
    return result;
}

bool Viewable(Window w, Display *display) {
    XWindowAttributes attributes;
    return XGetWindowAttributes(display, w, &attributes) && attributes.map_state == IsViewable;
}

Window TopLevelOfClass(const std::string &windowClass, Display *display) {
    for (const Window w : Children(DefaultRootWindow(display), display)) {
        XClassHint hint;
        if (!XGetClassHint(display, w, &hint)) continue;
        const bool match = windowClass == hint.res_class;
        XFree(hint.res_name);
        XFree(hint.res_class);
        if (match && Viewable(w, display)) return w;
    }
    return 0;
}


std::vector<unsigned long> Pixels(Window w, int x, int y, int width, int height, Display *display) {
    std::vector<unsigned long> pixels;
    XImage *image = XGetImage(display, w, x, y, width, height, AllPlanes, ZPixmap);
    if (!image) return pixels;
    for (int row = 0; row < height; ++row)
        for (int column = 0; column < width; ++column) pixels.push_back(XGetPixel(image, column, row) & 0xffffff);
    XDestroyImage(image);
    return pixels;
}

unsigned long Pixel(Window w, int x, int y, Display *display) {
    const std::vector<unsigned long> pixel = Pixels(w, x, y, 1, 1, display);
    if (pixel.empty()) throw std::runtime_error("XGetImage failed");
    return pixel[0];
}

Window WindowAt(Window shell, int x, int y) {
    Display *d = TestDisplay();
    Window at = shell, child = 0;
    int cx = x, cy = y;
    for (Window from = shell; XTranslateCoordinates(d, from, at, cx, cy, &cx, &cy, &child) && child;) {
        from = at;
        at = child;
    }
    return at;
}

Window FindBySize(Window w, int width, int height) {
    const Geometry g = WindowGeometry(w);
    if (g.width == width && g.height == height && Viewable(w)) return w;
    for (Window child : Children(w))
        if (const Window found = FindBySize(child, width, height)) return found;
    return 0;
}

int DarkPixels(Window w) {
    const Geometry g = WindowGeometry(w);
    const std::vector<unsigned long> pixels = Pixels(w, 0, 0, g.width, g.height);
    if (pixels.empty()) return -1;
    const auto dark = [](unsigned long p) { return (p & 0xff) < 0x60; };
    return static_cast<int>(std::count_if(pixels.begin(), pixels.end(), dark));
}

bool Handled(Window w) {
    Display *d = TestDisplay();
    XSync(d, False);
    const int text = DarkPixels(w);
    if (text <= 0) return false;
    XClearArea(d, w, 0, 0, 0, 0, True);
    XSync(d, False);
    // Cleared, it has none: what it has again was drawn after the events. (A text cursor may show
    // in another phase of its blinking.)
    return Eventually([&] { return DarkPixels(w) * 4 > text * 3; }, std::chrono::seconds(5));
}

}  // namespace xwindows
