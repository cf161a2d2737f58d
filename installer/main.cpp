// Start-up: silent installation from the command line, or the window.
#include "installer/installer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

// XDG_CACHE_HOME as the installer was started with it, once start-up has changed it.
bool cacheHomeChanged = false;
std::optional<std::string> startCacheHome;

}  // namespace

void RestoreLauncherEnvironment() {
    if (!cacheHomeChanged) return;
    if (startCacheHome)
        setenv("XDG_CACHE_HOME", startCacheHome->c_str(), 1);
    else
        unsetenv("XDG_CACHE_HOME");
}

int main(int argc, char **argv) {
    // Element 0 names the installer file; keep the vector before the toolkit edits it.
    InstallerWidgets.argv = argv;
    // The payload comes from the file that was started, opened before anyone can swap the name.
    OpenInstallerFile(argv[0], true);
    // Root makes nothing that others may write, whatever umask it was started with.
    if (geteuid() == 0) umask(022);

    // Silent mode is exactly "-s DIR": no other form, nothing before or after.
    if (argc == 3 && std::strcmp(argv[1], "-s") == 0) {
        bIsSilent = 1;
        pLocation = argv[2];
        Install(nullptr, nullptr, nullptr);
        // A script that ran us must be able to tell a failed installation from a complete one.
        std::exit(ErrorWasReported() ? 1 : 0);
    }

    // fontconfig would put its cache under HOME: as root in another user's HOME, nowhere there
    // (/dev/null holds no directory), in the system's cache directory as before that.
    if (RootInForeignHome()) {
        if (const char *given = std::getenv("XDG_CACHE_HOME")) startCacheHome = given;
        cacheHomeChanged = true;
        setenv("XDG_CACHE_HOME", "/dev/null", 1);
    }
    RunWindow(&argc, argv);
}
