#include "tests/window_support.h"

#include "combobox/DtComboBox.h"
#include "tests/fixtures.h"
#include "installer/installer.h"
#include "installer/navigation.h"
#include "installer/window.h"
#include "tests/xtoolkit.h"

#include <Xm/TextF.h>
#include <Xm/Xm.h>
#include <sys/wait.h>
#include <unistd.h>

namespace windowtest {

void Build(std::vector<std::string> args) {
    static std::vector<std::string> kept;
    static std::vector<char *> argv;
    kept = std::move(args);
    argv.clear();
    for (auto &a : kept) argv.push_back(a.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(kept.size());
    InstallerWidgets.argv = argv.data();
    OpenInstallerFile(argv[0], false);
    BuildWindow(&argc, argv.data());
    xtoolkit::Toolkit::Attach(InstallerWidgets.appContext, XtDisplay(InstallerWidgets.toplevel));
}

std::string InChild(const std::function<std::string()> &report, bool unprivileged,
                    const std::vector<fixtures::Mount> &mounts) {
    fixtures::XServer::Shared();
    int out[2];
    if (pipe(out) != 0) return "pipe failed";
    const pid_t pid = fork();
    if (pid == 0) {
        close(out[0]);
        if (!mounts.empty() && !fixtures::PrivateMounts(mounts)) _exit(3);
        if (unprivileged && !fixtures::BecomeNobody()) _exit(2);
        const std::string text = report();
        (void)!write(out[1], text.data(), text.size());
        _exit(0);
    }
    close(out[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) text += "\n(child ended with status " + std::to_string(status) + ")";
    return text;
}

std::string Label(Widget w) { return xtoolkit::StringResource(w, XmNlabelString); }

std::string ShownError() {
    Widget dialog = InstallerWidgets.errorDialog;
    return XtIsManaged(dialog) ? xtoolkit::StringResource(dialog, XmNmessageString) : "";
}

Widget DestinationField() { return xtoolkit::Resource<Widget>(InstallerWidgets.page2dircombobox, DtNtextField); }

void InstallInto(const std::string &destination) {
    Accept(nullptr, nullptr, nullptr);
    XmTextFieldSetString(DestinationField(), const_cast<char *>(destination.c_str()));
    Install(nullptr, nullptr, nullptr);
    xtoolkit::Drain();
}

}  // namespace windowtest
