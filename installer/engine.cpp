#include "installer/engine.h"
#include "format/payloadguard.h"
#include "posix/fd.h"
#include "posix/pipe.h"
#include "posix/retry.h"
#include "format/trailer.h"

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
#include <cstring>
#include <string>
#include <vector>

extern char **environ;

namespace {

// A large pipe lets the pipeline's input take a chunk in few system calls, so that the copying
// process competes less with gunzip and tar for the processors. The window's bar still shows what
// the pipeline has taken: what the pipe holds is not counted.
const int kPipeSize = 1 << 20;

// The pipeline's status must reflect both commands: tar alone misses corruption that only
// gunzip's CRC and length check can see. Each command reports its status on descriptor 3, which
// leads back into the command substitution; their standard output goes to standard error.
// TAR_OPTIONS from the user's environment could send tar elsewhere (-C) or keep absolute names (-P).
// Root's tar takes no owner or mode from the payload: what it installs is root's, writable by root only.
const char kPipeline[] =
    "unset TAR_OPTIONS; s=$({ { gunzip; echo $? >&3; } | { tar $0 -xf -; echo $? >&3; }; } 3>&1 >&2); test \"$(echo $s)\" = \"0 0\"";
const char kRootTarOptions[] = "--no-same-owner --no-same-permissions";

// Where gunzip and tar are looked for: never the destination (an empty or relative entry would
// name it), and for root the system's own directories only.
std::string ToolPath() {
    if (geteuid() == 0) return "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
    const char *path = std::getenv("PATH");
    std::string kept;
    for (const char *p = path ? path : ""; *p;) {
        const char *end = std::strchr(p, ':');
        if (end == nullptr) end = p + std::strlen(p);
        if (*p == '/') kept += (kept.empty() ? "" : ":") + std::string(p, end);
        p = *end ? end + 1 : end;
    }
    return kept.empty() ? "/usr/local/bin:/usr/bin:/bin" : kept;
}

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
    int input() const { return input_.get(); }
    // Lets the pipeline take what its input still holds, closes the input and waits for the end of
    // the pipeline, the window answered meanwhile: the shell's wait status.
    int Finish(const CopyWindow &window, std::uint64_t sent);

private:
    // The window's turn, until `timeout` passes or the pipeline has ended: true once it has.
    bool Turn(const CopyWindow &window, std::uint64_t taken, int timeout);
    // Reaps the shell if it has ended, its wait status in `status`: true once it has.
    bool Reaped(int &status);

    pid_t pid_ = -1;
    Fd input_;
    Fd ended_;  // readable once the shell has ended, where the system has a descriptor for that
};

bool Pipeline::Start() {
    Pipe pipe;
    if (!pipe.Open()) return false;
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return false;
    char sh[] = "sh", c[] = "-c", command[sizeof kPipeline], rootOptions[sizeof kRootTarOptions], none[] = "";
    std::copy(kPipeline, kPipeline + sizeof kPipeline, command);
    std::copy(kRootTarOptions, kRootTarOptions + sizeof kRootTarOptions, rootOptions);
    // The tar options go in as $0, split by the shell.
    char *argv[] = {sh, c, command, geteuid() == 0 ? rootOptions : none, nullptr};
    std::vector<std::string> variables;
    for (char **e = environ; *e; ++e)
        if (std::strncmp(*e, "PATH=", 5) != 0) variables.emplace_back(*e);
    variables.push_back("PATH=" + ToolPath());
    std::vector<char *> env;
    for (std::string &v : variables) env.push_back(v.data());
    env.push_back(nullptr);
    int spawned = posix_spawn_file_actions_adddup2(&actions, pipe.read.get(), STDIN_FILENO);
    if (spawned == 0) spawned = posix_spawn(&pid_, "/bin/sh", &actions, nullptr, argv, env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        return false;
    }
    input_ = std::move(pipe.write);
    fcntl(input_.get(), F_SETPIPE_SZ, kPipeSize);
    ended_ = Fd(static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)));
    return true;
}

bool Pipeline::Turn(const CopyWindow &window, std::uint64_t taken, int timeout) {
    pollfd fds[2] = {{window.descriptor, POLLIN, 0}, {ended_.get(), POLLIN, 0}};
    const int r = poll(fds, 2, timeout);
    if (window.turn) window.turn(window.context, taken);
    return r > 0 && fds[1].revents != 0;
}

bool Pipeline::Reaped(int &status) {
    const pid_t r = Uninterrupted([&] { return waitpid(pid_, &status, WNOHANG); });
    if (r < 0) status = -1;
    return r != 0;
}

int Pipeline::Finish(const CopyWindow &window, std::uint64_t sent) {
    const bool served = window.descriptor >= 0;
    int status = -1;
    bool reaped = false;
    // Without a descriptor for the shell's end, its end is looked for between the window's turns.
    auto ended = [&](std::uint64_t taken) {
        if (ended_) return Turn(window, taken, kTurnMilliseconds);
        if ((reaped = Reaped(status))) return true;
        Turn(window, taken, kTurnMilliseconds);
        return reaped = Reaped(status);
    };
    bool done = false;
    if (served) {
        std::uint64_t taken;
        while (!done && (taken = Taken(input_.get(), sent)) < sent) done = ended(taken);
    }
    input_.Close();
    if (served)
        while (!done) done = ended(sent);
    if (!reaped) Uninterrupted([&] { return waitpid(pid_, &status, 0); });
    pid_ = -1;
    ended_.Close();
    return status;
}

}  // namespace

bool Extraction::Fail(Fault fault, std::string reason) {
    fault_ = fault;
    reason_ = std::move(reason);
    return false;
}

bool Extraction::Open(int installerFd) {
    const int own = fcntl(installerFd, F_DUPFD_CLOEXEC, 0);
    file_.reset(own < 0 ? nullptr : fdopen(own, "rb"));
    if (!file_ && own >= 0) close(own);
    if (!file_) return Fail(Fault::Unreadable);
    const Trailer trailer = ReadTrailer(file_.get());
    if (!trailer.ok()) return Fail(Fault::Damaged, DescribeTrailerFault(trailer.fault));
    // From here on the payload is read with read(2), past the stream's buffer.
    if (lseek(fileno(file_.get()), static_cast<off_t>(trailer.payloadOffset), SEEK_SET) < 0) return Fail(Fault::Failed);
    length_ = trailer.payloadLength;
    return true;
}

bool Extraction::Run(int destinationFd, const CopyWindow &window) {
    // Only ever unpack inside the destination.
    if (fchdir(destinationFd) != 0) return Fail(Fault::CannotEnter);

    Pipeline pipeline;
    PipelineStart start;
    start.start = [](void *self) {
        auto *p = static_cast<Pipeline *>(self);
        return p->Start() ? p->input() : -1;
    };
    start.context = &pipeline;
    // The check looks at what already stands in the destination, through its descriptor.
    ContractChecker::Where where;
    where.destination = destinationFd;
    where.root = geteuid() == 0;
    PayloadGuard guard(where);
    CopyResult copied;
    std::uint64_t sent = 0;
    int status = -1;
    {
        IgnoreSigpipe ignore;
        bool started = false;
        copied = CopyPayload(fileno(file_.get()), length_, start, guard, window, sent, started);
        if (started) status = pipeline.Finish(window, sent);
    }
    if (copied == CopyResult::Refused) return Fail(Fault::Damaged, guard.reason());
    if (copied != CopyResult::Complete || status != 0) return Fail(Fault::Failed);
    file_.reset();
    return true;
}
