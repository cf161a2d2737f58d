// Driving the real installer program on the harness's X server, through its window's layout
// (the windows themselves: xwindows.h).
#ifndef SONARIS_TESTS_WIZARD_SUPPORT_H
#define SONARIS_TESTS_WIZARD_SUPPORT_H

#include <gtest/gtest.h>  // before Xlib, whose None the test library's templates would take

#include "tests/fixtures.h"
#include "tests/xwindows.h"

#include <string>
#include <vector>

namespace wizard {

// Where the pointer finds things in the 489 x 350 window (the layout is fixed by the fallback
// resources): page 2's destination field, the combo box's arrow, the Finish button.
const int kFieldX = 250, kFieldY = 46, kArrowX = 458, kArrowY = 46, kFinishX = 430, kFinishY = 312;

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
