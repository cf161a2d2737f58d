// Extraction as the installer reports it: the engine (engine.h) run with the progress kept
// current and, with a window, the window answered however slowly the pipeline takes the payload.
#include "installer/engine.h"
#include "installer/installer.h"
#include "installer/owners.h"
#include "installer/strformat.h"
#include "posix/fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

namespace {

const char kExtractionFailed[] =
    "Installation failed.  Perhaps the destination directory is unwriteable or you\n"
    "are out of disk space?\n";

const char kSettingsName[] = ".Corvalent_MedioraSDK_60";

void ReportDamaged(const char *installerFile, const std::string &reason) {
    ShowError(StrPrintf("The installer file %s is damaged or incomplete: %s. Download it again.", installerFile,
                        reason.c_str())
                  .c_str());
}

void ReportUnsupported(const char *installerFile, const std::string &reason) {
    ShowError(StrPrintf("The installer file %s holds an archive the installer cannot take: %s. Ask its supplier "
                        "to repack it.",
                        installerFile, reason.c_str())
                  .c_str());
}

// `reason` names the path inside the destination; the report names it in full.
void ReportInTheWay(const char *destination, const std::string &reason) {
    std::string at = destination;
    if (at.empty() || at.back() != '/') at += '/';
    ShowError(StrPrintf("Cannot install into %s: %s%s. Remove it or choose another directory.", destination,
                        at.c_str(), reason.c_str())
                  .c_str());
}

// Why the payload is damaged, where the extraction found it rather than the payload guard.
const char *DamageOf(Extraction::Failure failure) {
    switch (failure) {
    case Extraction::Failure::Unreadable: return "it could not be read to its end";
    case Extraction::Failure::CutShort: return "it ends before its contents do";
    case Extraction::Failure::NotGzip: return "its contents are not compressed data";
    case Extraction::Failure::Gunzip: return "its compressed contents are corrupt or cut short";
    default: return nullptr;
    }
}

// The failed installation; in the window with the last lines tar said (or what was said of gunzip
// or tar: not found, killed), which standard error already has.
void ReportFailed(const Extraction &extraction) {
    if (bIsSilent || extraction.said().empty()) {
        ShowError(kExtractionFailed);
        return;
    }
    ShowError((std::string(kExtractionFailed) + extraction.said()).c_str());
}

// A number of bytes as people read it: "870 bytes", "1.0 MB", "207 MB", "2.1 GB".
std::string Amount(std::uint64_t bytes) {
    if (bytes < 1000) return StrPrintf("%llu bytes", static_cast<unsigned long long>(bytes));
    static const char *const kUnits[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    double value = static_cast<double>(bytes) / 1000;
    std::size_t unit = 0;
    while (value >= 999.5 && unit + 1 < sizeof kUnits / sizeof *kUnits) value /= 1000, ++unit;
    return StrPrintf(value < 9.95 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
}

// tar ran out of room: the extraction's message, then what ran out, with the numbers, and what to do.
void ReportNoRoom(const Extraction &extraction, const char *destination) {
    const Room &room = extraction.room();
    const std::string need = Amount(extraction.unpackedSize()), free = Amount(room.freeBytes);
    std::string what;
    switch (room.shortage) {
    case Room::Shortage::Quota:
        what = StrPrintf("The disk quota on the file system that holds %s is reached: the installation needs about "
                         "%s, and the file system had %s free.",
                         destination, need.c_str(), free.c_str());
        break;
    case Room::Shortage::Files:
        what = StrPrintf("The file system that holds %s can make no more files: %llu more could be made when the "
                         "installation began (it needs about %s; %s was free).",
                         destination, static_cast<unsigned long long>(room.freeFiles), need.c_str(), free.c_str());
        break;
    default:
        what = StrPrintf("The file system that holds %s is full: the installation needs about %s, and %s was free.",
                         destination, need.c_str(), free.c_str());
        break;
    }
    ShowError((std::string(kExtractionFailed) + what +
               StrPrintf(" Free some space or choose another directory; %s holds a partial installation.", destination))
                  .c_str());
}

// Reports why the extraction failed.
void Report(const Extraction &extraction, const char *self, const char *destination) {
    switch (extraction.fault()) {
    case Extraction::Fault::Unreadable: ReportUnreadable(self); break;
    case Extraction::Fault::Damaged: ReportDamaged(self, extraction.reason()); break;
    case Extraction::Fault::Unsupported: ReportUnsupported(self, extraction.reason()); break;
    case Extraction::Fault::InTheWay: ReportInTheWay(destination, extraction.reason()); break;
    case Extraction::Fault::CannotEnter: ReportCannotEnter(destination); break;
    case Extraction::Fault::Sound:
    case Extraction::Fault::Failed:
        if (extraction.failed() == Extraction::Failure::NoRoom)
            ReportNoRoom(extraction, destination);
        else if (const char *damage = DamageOf(extraction.failed()))
            ReportDamaged(self, damage);
        else
            ReportFailed(extraction);
        break;
    }
}

// The progress: what gunzip has taken of the payload.
void NoteProgress(std::uint64_t taken, std::uint32_t length) {
    InstallerWidgets.progress = static_cast<float>(static_cast<double>(taken) / length * 100.0);
}

void SilentTurn(void *length, std::uint64_t taken) {
    NoteProgress(taken, *static_cast<const std::uint32_t *>(length));
}

// Keeps the window alive between blocks: the bar, exposures, the accelerators, the toolkit's timers.
void WindowTurn(void *length, std::uint64_t taken) {
    NoteProgress(taken, *static_cast<const std::uint32_t *>(length));
    DrawProgressBar(InstallerWidgets.page3progressbar, nullptr, nullptr);
    XtAppContext app = InstallerWidgets.appContext;
    while (const XtInputMask pending = XtAppPending(app)) XtAppProcessEvent(app, pending);
}

// Whether root may write into the directory `home`: only where it is root's own, so that no one
// else can have put anything there for root to write through.
bool RootsOwn(int home) {
    struct stat st;
    return fstat(home, &st) == 0 && st.st_uid == 0 && !(st.st_mode & (S_IWGRP | S_IWOTH));
}

// HOME as a directory descriptor, or an empty Fd. Opened for its name only: a HOME its user may
// write and enter but not list (mode 0311) serves as well as any.
Fd OpenHome(const char *home) {
    return Fd(home == nullptr ? -1 : open(home, O_PATH | O_DIRECTORY | O_CLOEXEC));
}

// Written only as a regular file of one name: a link would have root write wherever it leads.
// Any failure skips it.
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

}  // namespace

bool RootInForeignHome() {
    if (geteuid() != 0) return false;
    const char *home = std::getenv("HOME");
    if (home == nullptr) return false;
    const Fd directory = OpenHome(home);
    return !directory || !RootsOwn(directory.get());
}

namespace {

// XDG_CACHE_HOME as the installer was started with it, once start-up has changed it.
bool cacheHomeChanged = false;
std::optional<std::string> startCacheHome;

}  // namespace

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

bool Extract(int destinationFd, const char *destination) {
    const char *self = InstallerWidgets.argv[0];
    Extraction extraction;
    std::uint32_t length = 0;
    CopyWindow window;
    window.context = &length;
    if (bIsSilent) {
        window.turn = SilentTurn;
    } else {
        window.descriptor = ConnectionNumber(XtDisplay(InstallerWidgets.toplevel));
        window.turn = WindowTurn;
    }
    if (!extraction.Open(InstallerFileDescriptor())) {
        Report(extraction, self, destination);
        return false;
    }
    length = extraction.length();
    if (!extraction.Run(destinationFd, window)) {
        Report(extraction, self, destination);
        return false;
    }
    if (bIsSilent) return true;
    WriteSettingsFile();
    return true;
}
