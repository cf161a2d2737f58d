// Start-up: silent installation from the command line, or the window.
#include "installer/installer.h"
#include "installer/settingsfile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

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

    // Root writes nothing into a HOME that is not its own, fontconfig's cache included.
    KeepCachesOutOfForeignHome();
    RunWindow(&argc, argv);
}
