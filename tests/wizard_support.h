// Driving the real installer program on the harness's X server: find its windows, type keys at
// them with XTest, look at their pixels.
#ifndef SONARIS_TESTS_WIZARD_SUPPORT_H
#define SONARIS_TESTS_WIZARD_SUPPORT_H

#include <gtest/gtest.h>  // before Xlib, whose None the test library's templates would take

#include "tests/fixtures.h"

#include <X11/Xlib.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace wizard {

// Where the pointer finds things in the 489 x 350 window (the layout is fixed by the fallback
// resources): page 2's destination field, the combo box's arrow, the Finish button.
const int kFieldX = 250, kFieldY = 46, kArrowX = 458, kArrowY = 46, kFinishX = 430, kFinishY = 312;

// Polls `done` until it holds (true) or `timeout` passes (false).
bool Eventually(const std::function<bool()> &done, std::chrono::milliseconds timeout = std::chrono::seconds(20));

// A connection of the test's own to the harness's X server.
Display *TestDisplay();

// The top-level window named `name`, once it is viewable; 0 when none appears in time.
Window WaitForWindow(const std::string &name, std::chrono::milliseconds timeout = std::chrono::seconds(20));
// The child windows of `w`, bottom first.
std::vector<Window> Children(Window w);
// Waits until no viewable top-level window is named `name`.
bool WaitForWindowGone(const std::string &name, std::chrono::milliseconds timeout = std::chrono::seconds(20));

std::string WindowName(Window w);
// The size of a window and its position on the root window.
struct Geometry {
    int x, y, width, height;
};
Geometry WindowGeometry(Window w);
// The longs of a window property (empty when it is missing).
std::vector<long> LongProperty(Window w, const char *name);

// Gives `w` the keyboard focus (there is no window manager) and types at it, through
// fixtures::FakeKey; Type takes UTF-8.
void Focus(Window w);
void Key(const char *keysymName, KeySym held = 0);
void Key(KeySym keysym, KeySym held = 0);
void Type(const std::string &text);
void Click(Window w, int x, int y);

// Which pages of the installer's window are on screen: "1", "2", "3", or "13" when the progress
// page covers page 1. Pages are told apart by their number of child windows.
std::string ShownPages(Window shell);

// From page 1 of the installer's window `shell`: page 2, with `destination` typed into the
// destination field in place of the proposal (of at most 64 characters).
bool TypeDestination(Window shell, const std::string &destination);
// Presses page 2's Finish button with the pointer.
void ClickFinish(Window shell);
// How many top-level windows are viewable (the combo box's list is one while it is posted).
long ViewableTopLevels();
// On page 2: the proposal at `position` (from 1) chosen from the list, posted with the arrow and
// browsed with the keys; false where the list does not come up or go.
bool ChooseProposal(Window shell, int position);

// The RRGGBB colour of a pixel of a window.
unsigned long Pixel(Window w, int x, int y);
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

// An installer started in the background on the harness's display, killed at the end if it still runs.
class Installer {
public:
    explicit Installer(fixtures::Command command);
    ~Installer();
    Installer(const Installer &) = delete;
    Installer &operator=(const Installer &) = delete;

    // Its main window, once viewable, given the keyboard focus when first found.
    ::Window MainWindow();
    // From its main window's page 1: page 2 with `destination` typed in (wizard::TypeDestination), and
    // Finish pressed after it with `finish`; a failure where the window does not appear or the field
    // does not take the text.
    testing::AssertionResult TypeDestination(const std::string &destination, bool finish = false);
    // Its main window, once viewable, and the key `keysymName` typed at it; a failure where no window appears.
    testing::AssertionResult Press(const char *keysymName);
    // Its exit status, once it has ended (-1 after a signal or the timeout).
    int Wait(int timeoutSeconds = 30);
    bool Running();
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_;
    ::Window window_ = 0;
    bool ended_ = false;
    int status_ = -1;
};

// A test of installer runs, in a temporary directory that runs as nobody may make their destinations
// in, with a home of nobody's and the file the tests' launcher records its runs in.
class InstallerRuns : public testing::Test {
protected:
    fixtures::TempDir tmp;
    std::string home = tmp / "home";
    std::string marker = tmp / "launcher-ran";

    void SetUp() override;
    // `installer` in its window with this home and marker.
    fixtures::Command Interactive(const std::string &installer = fixtures::InstallerPath(),
                                  const std::vector<std::string> &args = {}) const;
    // Puts a gunzip in front of the real one that passes the payload on slowly (64 KiB per `pause`
    // milliseconds), counts its starts and, into `taken`, what it has read; `c` then runs as nobody.
    void SlowPipeline(fixtures::Command &c, int pause = 40, const std::string &taken = "");
};

}  // namespace wizard

#endif
