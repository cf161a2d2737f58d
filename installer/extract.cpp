// Extraction: the payload streams from the installer's own file into "gunzip | tar xf -" run in the
// destination, in 8192-byte blocks looked at on their way (payloadguard.h), with the progress kept
// current after every block.
#include "installer.h"
#include "owners.h"
#include "payloadguard.h"
#include "strformat.h"
#include "trailer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

const std::size_t kBlockSize = 8192;
// Large stream buffers turn the 8192-byte loop into few system calls, so the copying process
// competes less with gunzip and tar for the processors.
const std::size_t kStreamBufferSize = 1 << 20;

// The pipeline's status must reflect both commands: tar alone misses corruption that only
// gunzip's CRC and length check can see. Each command reports its status on descriptor 3, which
// leads back into the command substitution; their standard output goes to standard error.
// TAR_OPTIONS from the user's environment could send tar elsewhere (-C) or keep absolute names (-P).
const char kPipeline[] =
    "unset TAR_OPTIONS; s=$({ { gunzip; echo $? >&3; } | { tar xf -; echo $? >&3; }; } 3>&1 >&2); test \"$(echo $s)\" = \"0 0\"";

const char kExtractionFailed[] =
    "Installation failed.  Perhaps the destination directory is unwriteable or you\n"
    "are out of disk space?\n";

const char kSettingsName[] = ".Corvalent_MedioraSDK_60";
const std::size_t kSettingsPathSize = 4096;

struct PipeCloser {
    void operator()(std::FILE *f) const noexcept { pclose(f); }
};
using Pipe = std::unique_ptr<std::FILE, PipeCloser>;

// Keeps SIGPIPE ignored while it lives, so that a pipeline that stops reading early shows as a
// failed write rather than killing the installer.
class IgnoreSigpipe {
public:
    IgnoreSigpipe() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGPIPE, &ignore, &saved_);
    }
    ~IgnoreSigpipe() { sigaction(SIGPIPE, &saved_, nullptr); }
    IgnoreSigpipe(const IgnoreSigpipe &) = delete;
    IgnoreSigpipe &operator=(const IgnoreSigpipe &) = delete;

private:
    struct sigaction saved_;
};

// Keeps the window alive between blocks: the bar, exposures, the accelerators.
void ServiceWindow() {
    DrawProgressBar(InstallerWidgets.page3progressbar, nullptr, nullptr);
    XEvent event;
    while (XtAppPending(InstallerWidgets.appContext)) {
        XtAppNextEvent(InstallerWidgets.appContext, &event);
        XtDispatchEvent(&event);
    }
}

void ReportDamaged(const char *installerFile, const char *reason) {
    ShowError(StrPrintf("The installer file %s is damaged or incomplete: %s.", installerFile, reason).c_str());
}

void WriteSettingsFile() {
    const char *home = std::getenv("HOME");
    if (home == nullptr) return;
    const std::string path = std::string(home) + "/" + kSettingsName;
    if (path.size() >= kSettingsPathSize) return;  // a path the system would refuse anyway
    File settings(std::fopen(path.c_str(), "w"));
    if (!settings) return;
    std::fputs("Bandwidth=10485800\n", settings.get());
    std::fputs("MaxBandwidth=10485800\n", settings.get());
}

}  // namespace

bool Extract(const char *destination) {
    // The stream buffers outlive the streams that use them.
    std::unique_ptr<char[]> readBuffer(new char[kStreamBufferSize]);
    std::unique_ptr<char[]> writeBuffer(new char[kStreamBufferSize]);

    const char *self = InstallerWidgets.argv[0];
    File file(std::fopen(self, "rb"));
    if (!file) {
        ReportUnreadable(self);
        return false;
    }
    std::setvbuf(file.get(), readBuffer.get(), _IOFBF, kStreamBufferSize);

    const Trailer trailer = ReadTrailer(file.get());
    if (!trailer.ok()) {
        ReportDamaged(self, DescribeTrailerFault(trailer.fault));
        return false;
    }
    const std::uint32_t length = trailer.payloadLength;
    if (fseeko(file.get(), static_cast<off_t>(trailer.payloadOffset), SEEK_SET) != 0) {
        ShowError(kExtractionFailed);
        return false;
    }

    // Only ever unpack inside the destination.
    mkdir(destination, 0700);
    if (chdir(destination) != 0) {
        ReportCannotEnter(destination);
        return false;
    }

    Pipe pipeline(popen(kPipeline, "w"));
    if (!pipeline) {
        ShowError(kExtractionFailed);
        return false;
    }
    std::setvbuf(pipeline.get(), writeBuffer.get(), _IOFBF, kStreamBufferSize);
    // A pipe as large as the stream buffer takes each flush in one go.
    fcntl(fileno(pipeline.get()), F_SETPIPE_SZ, static_cast<int>(kStreamBufferSize));

    bool copied = true;
    std::uint32_t sent = 0;
    PayloadGuard guard;
    PayloadGuard::Verdict verdict = PayloadGuard::Verdict::Admit;
    {
        IgnoreSigpipe ignore;
        char block[kBlockSize];
        std::size_t count;
        while ((count = std::fread(block, 1, sizeof block, file.get())) > 0) {
            if (sent + count > length) count = length - sent;  // the trailer is never sent
            // Each block is looked at before tar can see it; a refused one ends the stream there.
            if (count > 0) verdict = guard.Inspect(reinterpret_cast<const unsigned char *>(block), count);
            if (verdict != PayloadGuard::Verdict::Admit) {
                copied = false;
                break;
            }
            if (count > 0 && std::fwrite(block, 1, count, pipeline.get()) != count) {
                copied = false;  // the pipeline stopped reading
                break;
            }
            sent += static_cast<std::uint32_t>(count);
            InstallerWidgets.progress = static_cast<float>(static_cast<double>(sent) / length * 100.0);
            if (bIsSilent) continue;
            ServiceWindow();
        }
        // A read error, or a file cut short behind our back, leaves the payload incomplete.
        if (std::ferror(file.get()) || sent != length) copied = false;
        if (std::fflush(pipeline.get()) != 0) copied = false;
        const int status = pclose(pipeline.release());
        if (status != 0) copied = false;
    }
    if (verdict == PayloadGuard::Verdict::Refused) {
        ReportDamaged(self, guard.reason().c_str());
        return false;
    }
    if (!copied) {
        ShowError(kExtractionFailed);
        return false;
    }
    file.reset();

    if (bIsSilent) return true;
    WriteSettingsFile();
    return true;
}
