#include "tests/wizard_support.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <thread>

namespace wizard {

namespace {

// The viewable top-level window named `name`, or 0.
::Window FindShown(const std::string &name) {
    const std::vector<::Window> top = Children(DefaultRootWindow(TestDisplay()));
    for (auto w = top.rbegin(); w != top.rend(); ++w)  // topmost first
        if (WindowName(*w) == name && fixtures::WindowViewable(TestDisplay(), *w)) return *w;
    return 0;
}

// Windows of other clients come and go while we look at them: an error about one is no failure.
int IgnoreErrors(Display *, XErrorEvent *) { return 0; }

}  // namespace

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

std::string WindowName(::Window w) {
    char *name = nullptr;
    std::string result;
    if (XFetchName(TestDisplay(), w, &name) && name) result = name;
    if (name) XFree(name);
    return result;
}

::Window WaitForWindow(const std::string &name, std::chrono::milliseconds timeout) {
    ::Window w = 0;
    Eventually([&] { return (w = FindShown(name)) != 0; }, timeout);
    return w;
}

bool WaitForWindowGone(const std::string &name, std::chrono::milliseconds timeout) {
    return Eventually([&] { return FindShown(name) == 0; }, timeout);
}

Geometry WindowGeometry(::Window w) {
    Display *d = TestDisplay();
    XWindowAttributes a;
    XGetWindowAttributes(d, w, &a);
    int x = 0, y = 0;
    ::Window child;
    XTranslateCoordinates(d, w, DefaultRootWindow(d), 0, 0, &x, &y, &child);
    return {x, y, a.width, a.height};
}

std::vector<long> LongProperty(::Window w, const char *name) {
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

void Focus(::Window w) {
    XSetInputFocus(TestDisplay(), w, RevertToParent, CurrentTime);
    XSync(TestDisplay(), False);
}

void Key(const char *keysymName, KeySym held) { Key(XStringToKeysym(keysymName), held); }

void Key(KeySym keysym, KeySym held) {
    fixtures::FakeKey(TestDisplay(), keysym, held);
    // Motif takes two key events with the same time stamp for one, as a person never types them.
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
}

void Type(const std::string &text) {
    for (unsigned long keysym : fixtures::KeysymsOf(TestDisplay(), text)) Key(keysym);
}

void Click(::Window w, int x, int y) {
    Display *d = TestDisplay();
    const Geometry g = WindowGeometry(w);
    XTestFakeMotionEvent(d, DefaultScreen(d), g.x + x, g.y + y, CurrentTime);
    XTestFakeButtonEvent(d, 1, True, CurrentTime);
    XTestFakeButtonEvent(d, 1, False, CurrentTime);
    XSync(d, False);
}

std::vector<::Window> Children(::Window w) { return fixtures::ChildWindows(TestDisplay(), w); }

std::string ShownPages(::Window shell) {
    std::string pages;
    const std::vector<::Window> top = Children(shell);
    if (top.empty()) return pages;
    for (::Window page : Children(top.front())) {  // the placeholder holds the pages
        if (!fixtures::WindowViewable(TestDisplay(), page)) continue;
        switch (Children(page).size()) {
        case 6: pages += '1'; break;
        case 5: pages += '2'; break;
        case 3: pages += '3'; break;
        default: pages += '?'; break;
        }
    }
    std::sort(pages.begin(), pages.end());
    return pages;
}

bool TypeDestination(::Window shell, const std::string &destination) {
    Focus(shell);
    Key("a");
    if (!Eventually([&] { return ShownPages(shell) == "2"; })) return false;
    Click(shell, kFieldX, kFieldY);
    Key("End");
    for (int i = 0; i < 64; ++i) Key("BackSpace");
    Type(destination);
    return true;
}

void ClickFinish(::Window shell) { Click(shell, kFinishX, kFinishY); }

long ViewableTopLevels() {
    const std::vector<::Window> top = Children(DefaultRootWindow(TestDisplay()));
    return std::count_if(top.begin(), top.end(), [](::Window w) { return fixtures::WindowViewable(TestDisplay(), w); });
}

bool ChooseProposal(::Window shell, int position) {
    const long shown = ViewableTopLevels();
    Click(shell, kArrowX, kArrowY);
    if (!Eventually([&] { return ViewableTopLevels() == shown + 1; })) return false;
    for (int i = 1; i < position; ++i) Key("Down");
    Key("Return");
    return Eventually([&] { return ViewableTopLevels() == shown; });
}

unsigned long Pixel(::Window w, int x, int y) {
    Display *d = TestDisplay();
    XImage *image = XGetImage(d, w, x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image) throw std::runtime_error("XGetImage failed");
    const unsigned long pixel = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    return pixel & 0xffffff;
}

::Window WindowAt(::Window shell, int x, int y) {
    Display *d = TestDisplay();
    ::Window at = shell, child = 0;
    int cx = x, cy = y;
    for (::Window from = shell; XTranslateCoordinates(d, from, at, cx, cy, &cx, &cy, &child) && child;) {
        from = at;
        at = child;
    }
    return at;
}

::Window FindBySize(::Window w, int width, int height) {
    const Geometry g = WindowGeometry(w);
    if (g.width == width && g.height == height && fixtures::WindowViewable(TestDisplay(), w)) return w;
    for (::Window child : Children(w))
        if (const ::Window found = FindBySize(child, width, height)) return found;
    return 0;
}

int DarkPixels(::Window w) {
    const Geometry g = WindowGeometry(w);
    XImage *image = XGetImage(TestDisplay(), w, 0, 0, g.width, g.height, AllPlanes, ZPixmap);
    if (!image) return -1;
    int dark = 0;
    for (int y = 0; y < g.height; ++y)
        for (int x = 0; x < g.width; ++x) dark += (XGetPixel(image, x, y) & 0xff) < 0x60;
    XDestroyImage(image);
    return dark;
}

bool Handled(::Window w) {
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

Installer::Installer(fixtures::Command command) {
    command.env.emplace("DISPLAY", fixtures::XServer::Shared().display());
    TestDisplay();
    pid_ = fixtures::Spawn(command);
}

Installer::~Installer() {
    if (!ended_) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    // Let the server forget its windows before the next test looks for them.
    if (window_) WaitForWindowGone("Sonaris 8 Installer", std::chrono::seconds(5));
}

::Window Installer::MainWindow() {
    if (!window_ && (window_ = WaitForWindow("Sonaris 8 Installer"))) Focus(window_);
    return window_;
}

testing::AssertionResult Installer::TypeDestination(const std::string &destination, bool finish) {
    const ::Window w = MainWindow();
    if (!w) return testing::AssertionFailure() << "no installer window appeared";
    if (!wizard::TypeDestination(w, destination))
        return testing::AssertionFailure() << "the destination field did not take " << destination;
    if (finish) ClickFinish(w);
    return testing::AssertionSuccess();
}

testing::AssertionResult Installer::Press(const char *keysymName) {
    if (!MainWindow()) return testing::AssertionFailure() << "no installer window appeared";
    Key(keysymName);
    return testing::AssertionSuccess();
}

int Installer::Wait(int timeoutSeconds) {
    if (!ended_) {
        status_ = fixtures::WaitFor(pid_, timeoutSeconds);
        ended_ = true;
    }
    return status_;
}

bool Installer::Running() {
    if (ended_) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        ended_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return false;
    }
    return true;
}

void InstallerRuns::SetUp() {
    chmod(tmp.path().c_str(), 01777);
    fixtures::MakeDir(home);
    chown(home.c_str(), fixtures::kNobody, fixtures::kNobody);
}

fixtures::Command InstallerRuns::Interactive(const std::string &installer, const std::vector<std::string> &args) const {
    fixtures::Command c;
    c.argv = {installer};
    c.argv.insert(c.argv.end(), args.begin(), args.end());
    c.env = {{"HOME", home}, {"LAUNCHER_MARKER", marker}};
    return c;
}

void InstallerRuns::SlowPipeline(fixtures::Command &c, int pause, const std::string &taken) {
    mkdir((tmp / "bin").c_str(), 0755);  // made by the first call
    fixtures::GunzipBehind(c, tmp / "bin",
                           fixtures::CopyProgram(fixtures::BuildDir() + "/tests/slowcat", tmp / "bin") + " " +
                               std::to_string(pause) + " " + tmp / "gunzip-starts" + " " + taken + " | ");
    c.unprivileged = true;
}

}  // namespace wizard
