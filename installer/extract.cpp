// Extraction as the installer reports it: the engine (engine.h) run with the progress kept
// current and, with a window, the window answered however slowly the pipeline takes the payload.
#include "installer/engine.h"
#include "installer/installer.h"
#include "installer/settingsfile.h"
#include "installer/strformat.h"

#include <cstdint>
#include <string>

namespace {

const char kExtractionFailed[] =
    "Installation failed.  Perhaps the destination directory is unwriteable or you\n"
    "are out of disk space?\n";

// `partial`: the destination where tar was given some of the payload before its damage was found.
void ReportDamaged(const char *installerFile, const std::string &reason, const char *partial = nullptr) {
    std::string report = StrPrintf("The installer file %s is damaged or incomplete: %s. Download it again", installerFile,
                                   reason.c_str());
    report += partial ? StrPrintf("; %s holds a partial installation.", partial) : std::string(".");
    ShowError(report.c_str());
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
const char *DamageOf(Outcome outcome) {
    switch (outcome) {
    case Outcome::InstallerFileUnreadable: return "it could not be read to its end";
    case Outcome::InstallerFileCutShort: return "it ends before its contents do";
    case Outcome::NotGzip: return "its contents are not compressed data";
    case Outcome::GunzipFailed: return "its compressed contents are corrupt or cut short";
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
    const char *damage = DamageOf(extraction.outcome());
    const char *partial = extraction.partial() ? destination : nullptr;
    switch (extraction.outcome()) {
    case Outcome::InstallerFileNotOpen: ReportUnreadable(self); break;
    case Outcome::InstallerFileDamaged: ReportDamaged(self, extraction.reason(), partial); break;
    case Outcome::ArchiveUnsupported: ReportUnsupported(self, extraction.reason()); break;
    case Outcome::InTheWay: ReportInTheWay(destination, extraction.reason()); break;
    case Outcome::CannotEnter: ReportCannotEnter(destination); break;
    case Outcome::TarOutOfRoom: ReportNoRoom(extraction, destination); break;
    default:
        if (damage)
            ReportDamaged(self, damage, partial);
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

}  // namespace

bool Extract(int destinationFd, const char *destination) {
    const char *self = InstallerWidgets.argv[0];
    Extraction extraction;
    std::uint32_t length = 0;
    CopyTurns turns;
    turns.context = &length;
    if (bIsSilent) {
        turns.turn = SilentTurn;
    } else {
        turns.descriptor = ConnectionNumber(XtDisplay(InstallerWidgets.toplevel));
        turns.turn = WindowTurn;
    }
    if (!extraction.Open(InstallerFileDescriptor())) {
        Report(extraction, self, destination);
        return false;
    }
    length = extraction.length();
    if (!extraction.Run(destinationFd, turns)) {
        Report(extraction, self, destination);
        return false;
    }
    if (bIsSilent) return true;
    WriteSettingsFile();
    return true;
}
