// The settings file in HOME, and root's rules for a HOME that is not its own.
#include "installer/settingsfile.h"
#include "installer/rootonly.h"
#include "posix/fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace {

const char kSettingsName[] = ".Corvalent_MedioraSDK_60";

// XDG_CACHE_HOME as the installer was started with it, once start-up has changed it.
bool cacheHomeChanged = false;
std::optional<std::string> startCacheHome;

// Whether root may write into the directory `home`.
bool RootsOwn(int home) {
    struct stat st;
    return fstat(home, &st) == 0 && RootOnlyRule(st) == RootOnly::Holds;
}

// HOME as a directory descriptor, or an empty Fd. Opened for its name only: a HOME its user may
// write and enter but not list (mode 0311) serves as well as any.
Fd OpenHome(const char *home) {
    return Fd(home == nullptr ? -1 : open(home, O_PATH | O_DIRECTORY | O_CLOEXEC));
}

// Whether root runs with a HOME that is not root's own, which it must then write nothing into.
bool RootInForeignHome() {
    if (geteuid() != 0) return false;
    const char *home = std::getenv("HOME");
    if (home == nullptr) return false;
    const Fd directory = OpenHome(home);
    return !directory || !RootsOwn(directory.get());
}

}  // namespace

// Written only as a regular file of one name: a link would have root write wherever it leads.
void WriteSettingsFile() {
    const Fd directory = OpenHome(std::getenv("HOME"));
    if (!directory || (geteuid() == 0 && !RootsOwn(directory.get()))) return;
    const Fd fd(openat(directory.get(), kSettingsName, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink > 1 || ftruncate(fd.get(), 0) != 0)
        return;
    static const char kSettings[] = "Bandwidth=10485800\nMaxBandwidth=10485800\n";
    if (write(fd.get(), kSettings, sizeof kSettings - 1) < 0) return;
}

void KeepCachesOutOfForeignHome() {
    if (!RootInForeignHome()) return;
    if (const char *given = std::getenv("XDG_CACHE_HOME")) startCacheHome = given;
    cacheHomeChanged = true;
    setenv("XDG_CACHE_HOME", "/dev/null", 1);
}

void RestoreLauncherEnvironment() {
    if (!cacheHomeChanged) return;
    if (startCacheHome)
        setenv("XDG_CACHE_HOME", startCacheHome->c_str(), 1);
    else
        unsetenv("XDG_CACHE_HOME");
}
