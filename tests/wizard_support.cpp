#include "tests/wizard_support.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>

namespace wizard {

using namespace xwindows;

std::string ShownPages(::Window shell) {
    std::string pages;
    const std::vector<::Window> top = Children(shell);
    if (top.empty()) return pages;
    for (::Window page : Children(top.front())) {  // the placeholder holds the pages
        if (!Viewable(page)) continue;
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
    return std::count_if(top.begin(), top.end(), [](::Window w) { return Viewable(w); });
}

bool ChooseProposal(::Window shell, int position) {
    const long shown = ViewableTopLevels();
    Click(shell, kArrowX, kArrowY);
    if (!Eventually([&] { return ViewableTopLevels() == shown + 1; })) return false;
    for (int i = 1; i < position; ++i) Key("Down");
    Key("Return");
    return Eventually([&] { return ViewableTopLevels() == shown; });
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
