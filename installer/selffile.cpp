// The installer's own file, opened once at start-up: the payload is read from what was started,
// never from whatever the name given in argv[0] leads to later.
#include "installer/installer.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

int selfFd = -1;
SelfFileState selfState = SelfFileState::Missing;

// Whether the main program asks for a program interpreter (a PT_INTERP header).
int NoteInterpreter(dl_phdr_info *info, size_t, void *wanted) {
    for (int i = 0; i < info->dlpi_phnum; ++i)
        if (info->dlpi_phdr[i].p_type == PT_INTERP) *static_cast<bool *>(wanted) = true;
    return 1;  // the first entry is the main program
}

// Whether the program interpreter was started with this program as its argument: the kernel then
// loaded the interpreter as the program, and gave it no interpreter's base (the interpreter
// rewrites the other entries of the auxiliary vector for the program, not that one).
bool StartedThroughInterpreter() {
    bool wanted = false;
    dl_iterate_phdr(NoteInterpreter, &wanted);
    return wanted && getauxval(AT_BASE) == 0;
}

}  // namespace

void OpenInstallerFile(const char *name, bool running) {
    if (name == nullptr) return;
    if (selfFd >= 0) close(selfFd);
    selfFd = open(name, O_RDONLY | O_CLOEXEC);
    if (selfFd < 0) {
        selfState = errno == ENOENT || errno == ENOTDIR ? SelfFileState::Missing : SelfFileState::Unreadable;
        return;
    }
    selfState = SelfFileState::Open;
    // Where the system can say which file is running, the name must lead to that one.
    // (Opened rather than looked at: valgrind hands its client's file only to an open.)
    struct stat opened, exeStatus;
    const int exe = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    const bool known = exe >= 0 && fstat(exe, &exeStatus) == 0;
    if (exe >= 0) close(exe);
    if (!running || fstat(selfFd, &opened) != 0 || !known || StartedThroughInterpreter()) return;
    if (opened.st_dev != exeStatus.st_dev || opened.st_ino != exeStatus.st_ino) {
        close(selfFd);
        selfFd = -1;
        selfState = SelfFileState::Missing;
    }
}

SelfFileState InstallerFileState() {
    return selfState;
}

int InstallerFileDescriptor() {
    return selfFd;
}
