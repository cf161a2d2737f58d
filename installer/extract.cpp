// Extraction as the installer reports it: the engine (engine.h) run with the progress kept
// current and, with a window, the window answered however slowly the pipeline takes the payload.
#include "installer/engine.h"
#include "installer/installer.h"
#include "installer/owners.h"
#include "installer/strformat.h"

#include "posix/fd.h"
#include "posix/file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

const char kExtractionFailed[] =
    "Installation failed.  Perhaps the destination directory is unwriteable or you\n"
    "are out of disk space?\n";

const char kSettingsName[] = ".Corvalent_MedioraSDK_60";

void ReportDamaged(const char *installerFile, const char *reason) {
    ShowError(StrPrintf("The installer file %s is damaged or incomplete: %s.", installerFile, reason).c_str());
}

void ReportUnsupported(const char *installerFile, const char *reason) {
    ShowError(StrPrintf("The installer file %s holds an archive the installer cannot take: %s. Its supplier must repack it.",
                        installerFile, reason)
                  .c_str());
}

// Reports why the extraction failed.
void Report(const Extraction &extraction, const char *self, const char *destination) {
    switch (extraction.fault()) {
    case Extraction::Fault::Unreadable: ReportUnreadable(self); break;
    case Extraction::Fault::Damaged: ReportDamaged(self, extraction.reason().c_str()); break;
    case Extraction::Fault::Unsupported: ReportUnsupported(self, extraction.reason().c_str()); break;
    case Extraction::Fault::CannotEnter: ReportCannotEnter(destination); break;
    case Extraction::Fault::Nothing:
    case Extraction::Fault::Failed: ShowError(kExtractionFailed); break;
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

void WriteSettingsFile() {
    const char *home = std::getenv("HOME");
    if (home == nullptr) return;
    const std::string path = std::string(home) + "/" + kSettingsName;
    File settings(std::fopen(path.c_str(), "w"));
    if (!settings) return;
    std::fputs("Bandwidth=10485800\n", settings.get());
    std::fputs("MaxBandwidth=10485800\n", settings.get());
}

}  // namespace

bool Extract(const char *destination) {
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
    const Fd file(open(self, O_RDONLY | O_CLOEXEC));
    if (!extraction.Open(file.get())) {
        Report(extraction, self, destination);
        return false;
    }
    length = extraction.length();
    mkdir(destination, 0700);
    const Fd here(open(destination, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!here) {
        ReportCannotEnter(destination);
        return false;
    }
    if (!extraction.Run(here.get(), window)) {
        Report(extraction, self, destination);
        return false;
    }
    if (bIsSilent) return true;
    WriteSettingsFile();
    return true;
}
