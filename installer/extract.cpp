// Extraction: the payload streams from the installer's own file into "gunzip | tar xf -" run in the
// destination, looked at on its way (payloadguard.h), with the progress kept current and, with a
// window, the window answered however slowly the pipeline takes the payload (payloadcopy.h).
#include "installer.h"
#include "owners.h"
#include "payloadcopy.h"
#include "payloadguard.h"
#include "strformat.h"
#include "trailer.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <string>

extern char **environ;

namespace {

// A large pipe lets the pipeline's input take a chunk in few system calls, so that the copying
// process competes less with gunzip and tar for the processors. The window's bar still shows what
// the pipeline has taken: what the pipe holds is not counted.
const int kPipeSize = 1 << 20;
const std::size_t kWindowBlockSize = 8192;

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

// The payload's stretch of the installer file, with the file positioned at its first byte.
struct Payload {
    File file;
    std::uint32_t length = 0;
};

// The shell running the pipeline, with its standard input.
class Pipeline {
public:
    Pipeline() = default;
    ~Pipeline() {
        if (pid_ > 0) Finish(CopyWindow(), 0);
    }
    Pipeline(const Pipeline &) = delete;
    Pipeline &operator=(const Pipeline &) = delete;

    bool Start();
    int input() const { return input_; }
    // Lets the pipeline take what its input still holds, closes the input and waits for the end of
    // the pipeline, the window answered meanwhile: the shell's wait status.
    int Finish(const CopyWindow &window, std::uint64_t sent);

private:
    // The window's turn, until `timeout` passes or the pipeline has ended: true once it has.
    bool Turn(const CopyWindow &window, std::uint64_t taken, int timeout);

    pid_t pid_ = -1;
    int input_ = -1;
    int ended_ = -1;  // a descriptor readable once the shell has ended, where the system has one
};

bool Pipeline::Start() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], STDIN_FILENO);
    char sh[] = "sh", c[] = "-c", command[sizeof kPipeline];
    std::copy(kPipeline, kPipeline + sizeof kPipeline, command);
    char *argv[] = {sh, c, command, nullptr};
    const int spawned = posix_spawn(&pid_, "/bin/sh", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[0]);
    if (spawned != 0) {
        pid_ = -1;
        close(fds[1]);
        return false;
    }
    input_ = fds[1];
    fcntl(input_, F_SETPIPE_SZ, kPipeSize);
    ended_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    return true;
}

bool Pipeline::Turn(const CopyWindow &window, std::uint64_t taken, int timeout) {
    pollfd fds[2] = {{window.descriptor, POLLIN, 0}, {ended_, POLLIN, 0}};
    const int r = poll(fds, 2, timeout);
    if (window.turn) window.turn(window.context, taken);
    return r > 0 && fds[1].revents != 0;
}

int Pipeline::Finish(const CopyWindow &window, std::uint64_t sent) {
    bool ended = false;
    if (window.descriptor >= 0 && ended_ >= 0) {
        std::uint64_t taken;
        while (!ended && (taken = Taken(input_, sent)) < sent) ended = Turn(window, taken, kTurnMilliseconds);
    }
    close(input_);
    input_ = -1;
    if (window.descriptor >= 0 && ended_ >= 0)
        while (!ended) ended = Turn(window, sent, kTurnMilliseconds);
    int status = -1;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (ended_ >= 0) close(ended_);
    ended_ = -1;
    return status;
}

void ReportDamaged(const char *installerFile, const char *reason) {
    ShowError(StrPrintf("The installer file %s is damaged or incomplete: %s.", installerFile, reason).c_str());
}

// Opens the installer file and finds its payload by the trailer; reports what goes wrong.
bool OpenPayload(const char *self, Payload &payload) {
    payload.file.reset(std::fopen(self, "rbe"));
    if (!payload.file) {
        ReportUnreadable(self);
        return false;
    }
    const Trailer trailer = ReadTrailer(payload.file.get());
    if (!trailer.ok()) {
        ReportDamaged(self, DescribeTrailerFault(trailer.fault));
        return false;
    }
    // From here on the payload is read with read(2), past the stream's buffer.
    if (lseek(fileno(payload.file.get()), static_cast<off_t>(trailer.payloadOffset), SEEK_SET) < 0) {
        ShowError(kExtractionFailed);
        return false;
    }
    payload.length = trailer.payloadLength;
    return true;
}

// The progress: what the pipeline has taken of the payload.
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
    Payload payload;
    if (!OpenPayload(self, payload)) return false;

    // Only ever unpack inside the destination.
    mkdir(destination, 0700);
    if (chdir(destination) != 0) {
        ReportCannotEnter(destination);
        return false;
    }

    Pipeline pipeline;
    PipelineStart start;
    start.start = [](void *self) {
        auto *p = static_cast<Pipeline *>(self);
        return p->Start() ? p->input() : -1;
    };
    start.context = &pipeline;
    // The check looks at what already stands in the destination, through this descriptor.
    const int here = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (here < 0) {
        ReportCannotEnter(destination);
        return false;
    }
    const Fd destinationFd(here);

    CopyWindow window;
    window.context = &payload.length;
    if (bIsSilent) {
        window.turn = SilentTurn;
    } else {
        window.descriptor = ConnectionNumber(XtDisplay(InstallerWidgets.toplevel));
        window.block = kWindowBlockSize;
        window.turn = WindowTurn;
    }
    ContractChecker::Where where;
    where.destination = here;
    where.root = geteuid() == 0;
    PayloadGuard guard(where);
    CopyResult copied;
    std::uint64_t sent = 0;
    int status = -1;
    {
        IgnoreSigpipe ignore;
        bool started = false;
        copied = CopyPayload(fileno(payload.file.get()), payload.length, start, guard, window, sent, started);
        if (started) status = pipeline.Finish(window, sent);
    }
    if (copied == CopyResult::Refused) {
        ReportDamaged(self, guard.reason().c_str());
        return false;
    }
    if (copied != CopyResult::Complete || status != 0) {
        ShowError(kExtractionFailed);
        return false;
    }
    payload.file.reset();

    if (bIsSilent) return true;
    WriteSettingsFile();
    return true;
}
