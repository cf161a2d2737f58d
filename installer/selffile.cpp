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

int NoteMainProgram(dl_phdr_info *info, size_t, void *phdr) {
    *static_cast<const void **>(phdr) = info->dlpi_phdr;
    return 1;  // the first entry is the main program
}

// Whether the program interpreter was started with this program as its argument: the kernel then
// loaded the interpreter, whose program headers it reports, not ours.
bool StartedThroughInterpreter() {
    const void *ours = nullptr;
    dl_iterate_phdr(NoteMainProgram, &ours);
    return ours != nullptr && reinterpret_cast<const void *>(getauxval(AT_PHDR)) != ours;
}

}  // namespace

void OpenInstallerFile(const char *name) {
    if (name == nullptr) return;
    selfFd = open(name, O_RDONLY | O_CLOEXEC);
    if (selfFd < 0) {
        selfState = errno == ENOENT || errno == ENOTDIR ? SelfFileState::Missing : SelfFileState::Unreadable;
        return;
    }
    selfState = SelfFileState::Open;
    // Where the system can say which file is running, the name must lead to that one.
    // (Opened rather than looked at: valgrind hands its client's file only to an open.)
    struct stat opened, running;
    const int exe = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    const bool known = exe >= 0 && fstat(exe, &running) == 0;
    if (exe >= 0) close(exe);
    if (fstat(selfFd, &opened) != 0 || !known || StartedThroughInterpreter()) return;
    if (opened.st_dev != running.st_dev || opened.st_ino != running.st_ino) {
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
