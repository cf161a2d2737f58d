// The install sequence: from a chosen destination to an installed application and its launcher.
#include "combobox/DtComboBox.h"
#include "format/contract.h"
#include "installer/installer.h"
#include "installer/owners.h"
#include "installer/strformat.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

namespace {

const char kProbeName[] = "test";
const char kLauncherArgument[] = "inst";

// The destination in the form extraction and the launcher need: after Extract the working
// directory is the destination itself, so a relative path would no longer name it.
bool MakeAbsolute(const std::string &destination, std::string &absolute) {
    if (destination[0] == '/') {
        absolute = destination;
        return true;
    }
    std::string cwd(256, '\0');
    while (getcwd(cwd.data(), cwd.size()) == nullptr) {
        if (errno != ERANGE) return false;
        cwd.resize(cwd.size() * 2);
    }
    cwd.resize(std::strlen(cwd.c_str()));
    absolute = cwd + "/" + destination;
    return true;
}

std::string ReadDestination() {
    if (bIsSilent) return pLocation;
    Widget textField = nullptr;
    XtVaGetValues(InstallerWidgets.page2dircombobox, DtNtextField, &textField, nullptr);
    char *value = nullptr;
    if (textField) XtVaGetValues(textField, XmNvalue, &value, nullptr);
    XtText owned(value);
    return owned ? std::string(owned.get()) : std::string();
}

void InstallSequence() {
    const std::string destination = ReadDestination();
    const char *dest = destination.c_str();
    const char *self = InstallerWidgets.argv[0];

    if (destination.empty()) {
        ShowError("You must specify a destination directory.");
        return;
    }

    // The installer reads its payload from its own file.
    struct stat selfStatus;
    if (stat(self, &selfStatus) != 0) {
        ShowError(StrPrintf("unable to find location of executable %s to self-extract.  Please run \n"
                            "%s with an absolute path (e.g. ./%s)\n",
                            self, self, self)
                      .c_str());
        return;
    }
    const int selfFd = open(self, O_RDONLY);
    if (selfFd < 0) {
        ReportUnreadable(self);
        return;
    }
    close(selfFd);

    // A missing destination is made, and proved writable with a probe file.
    struct stat destStatus;
    if (stat(dest, &destStatus) != 0) {
        if (mkdir(dest, 0777) != 0) {
            ShowError(StrPrintf("Can not make directory %s", dest).c_str());
            return;
        }
        const std::string probe = StrPrintf("%s/%s", dest, kProbeName);
        const int probeFd = open(probe.c_str(), O_WRONLY | O_CREAT, 0600);
        if (probeFd < 0) {
            ShowError(StrPrintf("Can not write to directory %s", dest).c_str());
            return;
        }
        close(probeFd);
        remove(probe.c_str());
    } else if (!S_ISDIR(destStatus.st_mode)) {
        // Unpacking "into" a file would scatter the tree over the working directory.
        ShowError(StrPrintf("The destination %s is not a directory.", dest).c_str());
        return;
    }
    if (access(dest, W_OK) != 0) {
        ShowError("You do not have write permission for the destination directory.");
        return;
    }

    std::string absolute;
    if (!MakeAbsolute(destination, absolute)) {
        ReportCannotEnter(dest);
        return;
    }

    if (!bIsSilent) {
        XtUnmanageChild(InstallerWidgets.page2form);
        XtManageChild(InstallerWidgets.page3form);
    }

    const bool extracted = Extract(absolute.c_str());
    const std::string launcher = StrPrintf("%s//%s", absolute.c_str(), kLauncherName);
    if (bIsSilent || !extracted) return;

    // The launcher takes over this process; it starts with the signal dispositions a program
    // expects, and the display connection closes itself on exec.
    std::signal(SIGPIPE, SIG_DFL);
    execl(launcher.c_str(), launcher.c_str(), kLauncherArgument, static_cast<char *>(nullptr));
    ShowError("Installation failed for unknown reason");
}

}  // namespace

void ReportUnreadable(const char *installerFile) {
    ShowError(StrPrintf("unable to read %s.  Please do chmod 0500 %s and try again\n", installerFile, installerFile)
                  .c_str());
}

void ReportCannotEnter(const char *directory) {
    ShowError(StrPrintf("Can not enter directory %s", directory).c_str());
}

void Install(Widget, XtPointer, XtPointer) noexcept {
    // The extraction dispatches window events, and the accelerators can call us again from there:
    // one installation at a time, and none once the progress page is up.
    static bool running = false;
    if (running) return;
    if (!bIsSilent && XtIsManaged(InstallerWidgets.page3form)) return;
    running = true;
    try {
        InstallSequence();
    } catch (...) {
        ShowError("Installation failed for unknown reason");
    }
    running = false;
}
