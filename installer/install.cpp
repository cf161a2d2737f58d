// The install sequence: from a chosen destination to an installed application and its launcher.
#include "combobox/DtComboBox.h"
#include "format/rules.h"
#include "installer/installer.h"
#include "installer/launcher.h"
#include "installer/owners.h"
#include "installer/rootonly.h"
#include "installer/settingsfile.h"
#include "installer/strformat.h"
#include "posix/exec.h"
#include "posix/fd.h"
#include "posix/path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char **environ;

namespace {

const char kProbeName[] = "test";
const char kLauncherArgument[] = "inst";
const char kLaunchFailed[] = "Installation failed for unknown reason";

std::string ReadDestination() {
    if (bIsSilent) return pLocation;
    Widget textField = nullptr;
    XtVaGetValues(InstallerWidgets.page2dircombobox, DtNtextField, &textField, nullptr);
    char *value = nullptr;
    if (textField) XtVaGetValues(textField, XmNvalue, &value, nullptr);
    XtText owned(value);
    return owned ? std::string(owned.get()) : std::string();
}

// The way out of a directory that cannot be used: "choose another directory", and one the user
// may install into where there is one outside `failing` (an absolute path): the home proposal, or
// for root one that only root can change.
std::string ChooseAnother(const std::string &failing) {
    std::vector<std::string> candidates;
    const char *home = std::getenv("HOME");
    if (geteuid() != 0 && home && home[0] == '/') candidates.push_back(std::string(home) + "/Sonaris8");
    candidates.insert(candidates.end(), {"/usr/local/Sonaris8", "/opt/Sonaris8"});
    for (const std::string &candidate : candidates) {
        if (candidate == failing || candidate.compare(0, failing.size() + 1, failing + "/") == 0) continue;
        struct stat st;
        const std::string writable = stat(candidate.c_str(), &st) == 0 ? candidate : DirectoryOf(candidate);
        if (access(writable.c_str(), W_OK) == 0) return "choose another directory, such as " + candidate;
    }
    return "choose another directory";
}

std::string Capitalised(std::string text) {
    if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    return text;
}

// `path` without the slashes that end it ("/" stays).
std::string Trimmed(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The parent of the destination `dest`, as typed where it names one.
std::string ParentAsTyped(const char *dest, const std::string &absolute) {
    const std::string typed = Trimmed(dest);
    return typed.find('/') == std::string::npos ? DirectoryOf(Trimmed(absolute)) : DirectoryOf(typed);
}

// The first directory on the way to `path` that is something else, as `path` names it; "" if none.
std::string FirstNonDirectory(const std::string &path) {
    std::string found;
    ForEachComponent(path, [&](std::size_t, std::size_t end) {
        const std::string prefix = path.substr(0, end);
        struct stat st;
        if (!prefix.empty() && stat(prefix.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) found = prefix;
        return found.empty();
    });
    return found;
}

// Why a write at `where` failed with `error` where that lies with its file system, or "".
std::string FileSystemFault(int error, const std::string &where, const std::string &elsewhere) {
    switch (error) {
    case EROFS: return where + " is on a read-only file system: " + elsewhere + ".";
    case ENOSPC:
        return "The file system that holds " + where + " is full: free some space there, or " + elsewhere + ".";
    case EDQUOT:
        return "The disk quota on the file system that holds " + where + " is reached: free some space there, or " +
               elsewhere + ".";
    default: return "";
    }
}

// The line after "Can not make directory DEST": why, with `error` from the attempt, and what to do.
std::string WhyNotMade(const char *dest, const std::string &absolute, int error) {
    const std::string parent = ParentAsTyped(dest, absolute), elsewhere = ChooseAnother(DirectoryOf(Trimmed(absolute)));
    const std::string fault = FileSystemFault(error, parent, elsewhere);
    if (!fault.empty()) return fault;
    struct stat st;
    switch (error) {
    case ENOENT:
        if (stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode))  // /proc, say
            return "Its parent directory " + parent + " takes no new directories: " + elsewhere + ".";
        return "Its parent directory " + parent + " does not exist: make it first, or " + elsewhere + ".";
    case ENOTDIR: {
        const std::string file = FirstNonDirectory(dest);
        return (file.empty() ? parent : file) + " is not a directory: " + elsewhere + ".";
    }
    case EACCES:
    case EPERM:
        if (access(parent.c_str(), X_OK) != 0)
            return "You may not enter its parent directory " + parent + ": " + elsewhere +
                   ", or run the installer as a user who may.";
        return "You may not write in its parent directory " + parent + ": " + elsewhere +
               ", or run the installer as a user who may write there.";
    case EEXIST:
        if (lstat(dest, &st) == 0 && S_ISLNK(st.st_mode))
            return std::string(dest) + " is a symbolic link that leads nowhere: remove it, or " + elsewhere + ".";
        return std::string(dest) + " was made by something else meanwhile: try again.";
    default: return Capitalised(std::strerror(error)) + ": " + elsewhere + ".";
    }
}

void ReportCannotMake(const char *dest, const std::string &absolute, int error) {
    ShowError(StrPrintf("Can not make directory %s\n%s", dest, WhyNotMade(dest, absolute, error).c_str()).c_str());
}

// The probe file could not be made in the directory just made, open on `directory`.
void ReportCannotWrite(const char *dest, const std::string &absolute, int directory, int error) {
    const std::string elsewhere = ChooseAnother(Trimmed(absolute));
    std::string why = FileSystemFault(error, dest, elsewhere);
    struct stat st;
    if (!why.empty()) {
    } else if (error == EACCES && fstat(directory, &st) == 0 && !(st.st_mode & S_IWUSR)) {
        why = StrPrintf("It was made with mode %04o, without write permission for you: your umask (%04o) takes it "
                        "away. Run the installer with a umask such as 022, or %s.",
                        st.st_mode & 07777, ~st.st_mode & 0777, elsewhere.c_str());
    } else if (error == EACCES) {
        why = "You may not write in it: " + elsewhere + ", or run the installer as a user who may write there.";
    } else {
        why = Capitalised(std::strerror(error)) + ": " + elsewhere + ".";
    }
    ShowError(StrPrintf("Can not write to directory %s\n%s", dest, why.c_str()).c_str());
}

// The existing destination may not be written to, as access() answered with `error`.
void ReportNoWritePermission(const char *dest, const std::string &absolute, int error) {
    const std::string elsewhere = ChooseAnother(Trimmed(absolute));
    std::string why = FileSystemFault(error, dest, elsewhere);
    if (why.empty())
        why = error == EACCES ? "You may not write in " + std::string(dest) + ": " + elsewhere +
                                    ", or run the installer as a user who may write there."
                              : std::string(dest) + ": " + std::strerror(error) + ". " + Capitalised(elsewhere) + ".";
    ShowError(("You do not have write permission for the destination directory.\n" + why).c_str());
}

std::string Join(const std::vector<std::string> &parts, std::size_t count) {
    std::string path;
    for (std::size_t i = 0; i < count; ++i) path += "/" + parts[i];
    return path.empty() ? "/" : path;
}

// Why another user could redirect what root makes below the directory `real` (a real path) or
// under its component `next` ("" for none): every directory from "/" down must keep root's rule
// (rootonly.h), except a sticky one whose next component is root's (or not there yet: root makes
// it). "" when nobody else can. The destination `dest` is made where `missing`.
std::string UntrustedChain(const std::string &real, const std::string &next, const char *dest,
                           const std::string &absolute, bool missing) {
    const std::vector<std::string> parts = Components(real);
    for (std::size_t j = 0; j <= parts.size(); ++j) {
        const std::string directory = Join(parts, j);
        struct stat st;
        if (lstat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            if (!missing) return StrPrintf("Can not enter directory %s", directory.c_str());
            return StrPrintf("Can not make directory %s\n%s", dest,
                             WhyNotMade(dest, absolute, lstat(directory.c_str(), &st) != 0 ? errno : ENOTDIR).c_str());
        }
        const RootOnly rule = RootOnlyRule(st);
        const char *wayOut = nullptr;
        if (rule == RootOnly::NotRoots) {
            wayOut = "Install as its owner instead, into a directory of theirs";
        } else if (rule == RootOnly::OpenToOthers) {
            const std::string following = j < parts.size() ? parts[j] : next;
            struct stat child;
            const bool rootsNext = !following.empty() && (lstat((directory + "/" + following).c_str(), &child) != 0
                                                              ? errno == ENOENT
                                                              : child.st_uid == 0);
            if (!(st.st_mode & S_ISVTX) || !rootsNext) wayOut = "Install as one of the users who may write there";
        }
        if (wayOut)
            return StrPrintf("Refusing to install as root into %s: the directory %s %s.\n%s, or choose a directory "
                             "that only root can change, such as /opt/Sonaris8 or /usr/local/Sonaris8.",
                             dest, directory.c_str(), RootOnlyBreach(rule), wayOut);
    }
    return "";
}

// Root's check of the destination, before anything is made: each directory a look-up of the
// absolute path `absolute` passes through, links followed, must be beyond other users' reach.
// `real` receives the real path of the destination, or of its parent when `missing`.
std::string UntrustedDestination(const std::string &absolute, const char *dest, bool missing, std::string &real) {
    const std::vector<std::string> parts = Components(absolute);
    const std::size_t existing = missing && !parts.empty() ? parts.size() - 1 : parts.size();
    for (std::size_t i = 0; i <= existing; ++i) {
        char *resolved = realpath(Join(parts, i).c_str(), nullptr);
        if (resolved == nullptr) {
            if (!missing) return StrPrintf("Can not enter directory %s", dest);
            return StrPrintf("Can not make directory %s\n%s", dest, WhyNotMade(dest, absolute, errno).c_str());
        }
        real = resolved;
        std::free(resolved);
        const std::string fault = UntrustedChain(real, i < parts.size() ? parts[i] : "", dest, absolute, missing);
        if (!fault.empty()) return fault;
    }
    return "";
}

// Opens the destination once, making it where it is missing; the probe file proves a fresh one
// writable. Reports and returns an empty Fd on failure.
Fd OpenDestination(const std::string &absolute, const char *dest) {
    const bool root = geteuid() == 0;
    struct stat destStatus;
    const bool missing = stat(dest, &destStatus) != 0;
    if (!missing && !S_ISDIR(destStatus.st_mode)) {
        // Unpacking "into" a file would scatter the tree over the working directory.
        ShowError(StrPrintf("The destination %s is not a directory.", dest).c_str());
        return Fd();
    }
    std::string real;
    if (root) {
        const std::string fault = UntrustedDestination(absolute, dest, missing, real);
        if (!fault.empty()) {
            ShowError(fault.c_str());
            return Fd();
        }
    }
    if (!missing) {
        // For root every directory on the real path is root's alone: it stays what was checked.
        Fd directory(open(root ? real.c_str() : dest, O_PATH | O_DIRECTORY | O_CLOEXEC | (root ? O_NOFOLLOW : 0)));
        if (!directory) ReportCannotEnter(dest);
        return directory;
    }
    const std::string trimmed = Trimmed(absolute);
    const std::string name = BaseOf(trimmed);
    const Fd parent(open(root ? real.c_str() : DirectoryOf(trimmed).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!parent || mkdirat(parent.get(), name.c_str(), root ? 0755 : 0777) != 0) {
        ReportCannotMake(dest, absolute, errno);
        return Fd();
    }
    // Only the directory just made: a link put in its place is not followed.
    Fd directory(openat(parent.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory) {
        ReportCannotEnter(dest);
        return directory;
    }
    const int probe = openat(directory.get(), kProbeName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (probe < 0) {
        ReportCannotWrite(dest, absolute, directory.get(), errno);
        return Fd();
    }
    close(probe);
    unlinkat(directory.get(), kProbeName, 0);
    return directory;
}

// Starts the launcher from the destination, checked on a descriptor of it: a regular file there, or
// a symbolic link that leads to one without leaving the destination; when root installs, it and
// every directory on its way keep root's rule (rootonly.h). Returns only on failure, with the
// message that says why; `dest` names the destination as typed.
std::string StartLauncher(int destination, const std::string &launcher, const std::string &dest) {
    const LauncherFile found = OpenLauncher(destination, geteuid() == 0);
    if (found.refusal != LauncherFile::Refusal::Runs) {
        const std::string why = LauncherRefusalMessage(found, dest);
        return why.empty() ? kLaunchFailed : why;
    }
    const Fd &file = found.file;
    const struct stat &st = found.status;
    // The launcher takes over this process; it starts with the signal dispositions a program
    // expects, and the display connection closes itself on exec.
    std::signal(SIGPIPE, SIG_DFL);
    RestoreLauncherEnvironment();
    char *argv[] = {const_cast<char *>(launcher.c_str()), const_cast<char *>(kLauncherArgument), nullptr};
    char magic[2] = {};
    if (pread(file.get(), magic, sizeof magic, 0) != 2 || magic[0] != '#' || magic[1] != '!') {
        ExecuteDescriptor(file.get(), argv, environ);
        return kLaunchFailed;
    }
    // A script's interpreter opens the script by the name it is given, and finds its files from
    // that name: it gets the path, which must still lead to the file checked. For root the
    // destination, every directory above it and every one on the launcher's way are root's alone,
    // so nobody can change where it leads.
    struct stat named;
    if (stat(launcher.c_str(), &named) != 0 || named.st_dev != st.st_dev || named.st_ino != st.st_ino)
        return kLaunchFailed;
    execv(launcher.c_str(), argv);
    return kLaunchFailed;
}

void InstallSequence() {
    const std::string destination = ReadDestination();
    const char *dest = destination.c_str();
    const char *self = InstallerWidgets.argv[0];

    if (destination.empty()) {
        ShowError("You must specify a destination directory.");
        return;
    }

    // The installer reads its payload from its own file, opened at start-up.
    if (InstallerFileState() == SelfFileState::Missing) {
        ShowError(StrPrintf("unable to find location of executable %s to self-extract.  Please run \n"
                            "%s with an absolute path (e.g. ./%s)\n",
                            self, self, self)
                      .c_str());
        return;
    }
    if (InstallerFileState() == SelfFileState::Unreadable) {
        ReportUnreadable(self);
        return;
    }

    // After Extract the working directory is the destination itself, so a relative path would
    // no longer name it for the launcher.
    std::string absolute;
    if (!MakeAbsolute(destination, absolute)) {
        ReportCannotEnter(dest);
        return;
    }
    const Fd destinationFd = OpenDestination(absolute, dest);
    if (!destinationFd) return;
    if (access(dest, W_OK) != 0) {
        ReportNoWritePermission(dest, absolute, errno);
        return;
    }

    if (!bIsSilent) {
        XtUnmanageChild(InstallerWidgets.page2form);
        XtManageChild(InstallerWidgets.page3form);
    }

    const bool extracted = Extract(destinationFd.get(), dest);
    if (bIsSilent || !extracted) return;
    ShowError(StartLauncher(destinationFd.get(), StrPrintf("%s//%s", absolute.c_str(), kLauncherName), destination)
                  .c_str());
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
        ShowError(kLaunchFailed);
    }
    running = false;
}
