#include "installer/engine.h"
#include "format/payloadguard.h"
#include "format/rules.h"
#include "format/trailer.h"
#include "posix/fd.h"
#include "posix/io.h"
#include "posix/path.h"
#include "posix/pipe.h"
#include "posix/retry.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char **environ;

namespace {

// Where root looks for gunzip and tar, as sudo's secure path has it: nothing a user can write.
const char kRootPath[] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
const char kFallbackPath[] = "/usr/local/bin:/usr/bin:/bin";

// The PATH gunzip and tar are found on. An empty or relative entry would name the destination,
// where the commands run, and so whatever an earlier installation put there.
std::string CommandPath() {
    if (geteuid() == 0) return kRootPath;
    const char *user = std::getenv("PATH");
    std::string path;
    for (const std::string &entry : SplitAt(user ? user : "", ':'))
        if (!entry.empty() && entry[0] == '/') path += (path.empty() ? "" : ":") + entry;
    return path.empty() ? kFallbackPath : path;
}

// The program `name` on `path`, or "" with a complaint in the shell's words, kept in `said`.
std::string Find(const std::string &path, const char *name, std::string &said) {
    for (const std::string &directory : SplitAt(path, ':')) {
        const std::string candidate = directory + "/" + name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    said = std::string(name) + ": not found";
    std::fprintf(stderr, "%s\n", said.c_str());
    return std::string();
}

// Keeps SIGPIPE ignored while it lives, so that a command that stops reading early shows as a
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

// The file system of the directory `dir`, which is the working directory too: Linux before 3.12
// takes no O_PATH descriptor here.
bool FileSystemOf(int dir, struct statvfs &fs) { return fstatvfs(dir, &fs) == 0 || statvfs(".", &fs) == 0; }

// What this user may still use of a file system: root has the blocks and files kept for it too.
std::uint64_t FreeBytes(const struct statvfs &fs) {
    return static_cast<std::uint64_t>(geteuid() == 0 ? fs.f_bfree : fs.f_bavail) * fs.f_frsize;
}
std::uint64_t FreeFiles(const struct statvfs &fs) { return geteuid() == 0 ? fs.f_ffree : fs.f_favail; }

// What a write in the directory `dir` runs out of, if anything: its file system's space or files,
// or the user's quota (which statvfs does not show). Told by a write's own answer, whatever tar
// and its language: a file of one block, unnamed where the system makes such files, else named and
// removed at once.
Room::Shortage ShortageAt(int dir) {
    Fd file(openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    std::string name;
    if (!file && errno != ENOSPC && errno != EDQUOT) {
        // Linux before 3.11 (EISDIR), file systems without unnamed files (EOPNOTSUPP).
        name = ".sonaris-room-" + std::to_string(getpid());
        file = Fd(openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file && errno == EEXIST) name.clear();
    }
    int error = file ? 0 : errno;
    if (file) {
        static const char kBlock[4096] = {};
        if (!WriteFully(file.get(), kBlock, sizeof kBlock)) error = errno;
        if (!file.Close() && error == 0) error = errno;
        if (!name.empty()) unlinkat(dir, name.c_str(), 0);
    }
    if (error == EDQUOT) return Room::Shortage::Quota;
    if (error != ENOSPC) return Room::Shortage::None;
    // Files that tar made empty, once the space had run out, may have used up the rest of them.
    struct statvfs fs;
    return FileSystemOf(dir, fs) && fs.f_files > 0 && FreeFiles(fs) == 0 && FreeBytes(fs) > 0
               ? Room::Shortage::Files
               : Room::Shortage::Space;
}

// A started command, until it has been waited for.
struct Child {
    pid_t pid = -1;
    Fd ended;  // readable once it has ended, where the system has a descriptor for that
    int status = -1;

    bool Reaped() {
        if (pid < 0) return true;
        const pid_t r = Uninterrupted([&] { return waitpid(pid, &status, WNOHANG); });
        if (r == 0) return false;
        if (r < 0) status = -1;
        pid = -1;
        ended.Close();
        return true;
    }
    void Wait() {
        if (pid < 0) return;
        if (Uninterrupted([&] { return waitpid(pid, &status, 0); }) < 0) status = -1;
        pid = -1;
        ended.Close();
    }
};

// gunzip and tar, each started in the destination with the environment made for them.
class Commands : public CopyCommands {
public:
    explicit Commands(int destination) : destination_(destination), path_(CommandPath()) {
        // TAR_OPTIONS could send tar elsewhere (-C) or keep absolute names (-P); GZIP, options of gzip's.
        for (char **e = environ; *e; ++e)
            if (std::strncmp(*e, "PATH=", 5) != 0 && std::strncmp(*e, "TAR_OPTIONS=", 12) != 0 &&
                std::strncmp(*e, "GZIP=", 5) != 0)
                environment_.push_back(*e);
        pathEntry_ = "PATH=" + path_;
        environment_.push_back(&pathEntry_[0]);
        environment_.push_back(nullptr);
    }
    ~Commands() override {
        unpacker.Wait();
        archiver.Wait();
    }

    bool StartUnpacker(Fd &input, Fd &output) override {
        Pipe in, out;
        if (!in.Open() || !out.Open()) return false;
        // gunzip's complaints go straight to standard error: they speak of the payload, which the
        // report names as damaged in words of its own.
        if (!Start(unpacker, "gunzip", {}, in.read.get(), out.write.get(), STDERR_FILENO, unpackerSaid)) return false;
        input = std::move(in.write);
        output = std::move(out.read);
        return true;
    }

    bool StartArchiver(Fd &input) override {
        Pipe in, said;
        if (!in.Open() || !said.Open()) return false;
        // As root, every member is root's and keeps no group or other write: GNU tar, bsdtar and
        // busybox tar all take these two.
        std::vector<const char *> options = {"xf", "-"};
        if (geteuid() == 0) options.insert(options.end(), {"--no-same-owner", "--no-same-permissions"});
        // tar's own output and complaints come back through the relay, which passes them on to
        // standard error and keeps the last lines for the report.
        if (!Start(archiver, "tar", options, in.read.get(), said.write.get(), said.write.get(), archiverSaid))
            return false;
        input = std::move(in.write);
        // Whenever tar complains, the destination is looked at: where it has run out of room,
        // everything after is lost work and repeats of one line.
        relay_ = Relay(std::move(said.read), "tar", [this] { return OutOfRoom(); });
        return true;
    }

    Relay *ArchiverRelay() override { return &relay_; }

    // Whether the destination has run out of room; then gunzip and tar are ended.
    bool OutOfRoom() {
        shortage = ShortageAt(destination_);
        if (shortage == Room::Shortage::None) return false;
        for (Child *child : {&unpacker, &archiver})
            if (child->pid >= 0) kill(child->pid, SIGTERM);
        return true;
    }

    Child unpacker, archiver;
    std::string unpackerSaid, archiverSaid;  // "gunzip: not found", ...
    Room::Shortage shortage = Room::Shortage::None;

private:
    bool Start(Child &child, const char *name, const std::vector<const char *> &options, int input, int output,
               int error, std::string &said) {
        const std::string program = Find(path_, name, said);
        if (program.empty()) return false;
        std::vector<char *> argv;
        std::vector<std::string> words = {name};
        words.insert(words.end(), options.begin(), options.end());
        for (std::string &w : words) argv.push_back(&w[0]);
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attributes;
        if (posix_spawn_file_actions_init(&actions) != 0) return false;
        if (posix_spawnattr_init(&attributes) != 0) {
            posix_spawn_file_actions_destroy(&actions);
            return false;
        }
        // Stopped early, gunzip dies of SIGPIPE quietly instead of complaining of a broken pipe.
        sigset_t defaults, none;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigemptyset(&none);
        int r = posix_spawnattr_setsigdefault(&attributes, &defaults);
        if (r == 0) r = posix_spawnattr_setsigmask(&attributes, &none);
        if (r == 0) r = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        if (r == 0) r = posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
        if (r == 0) r = posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
        if (r == 0 && error != STDERR_FILENO) r = posix_spawn_file_actions_adddup2(&actions, error, STDERR_FILENO);
        // The command inherits the working directory: the destination's opened directory itself,
        // entered again here by its descriptor (no path looked up), whatever a window's turn did
        // meanwhile. The copy is one thread, so nothing else can move it before the spawn.
        if (r == 0 && fchdir(destination_) != 0) r = errno;
        if (r == 0) r = posix_spawn(&child.pid, program.c_str(), &actions, &attributes, argv.data(), environment_.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (r != 0) {
            child.pid = -1;
            return false;
        }
        // Older kernels answer ENOSYS, sandboxes EPERM: either way no descriptor, and Finish looks
        // for the command's end between turns instead.
        child.ended = Fd(static_cast<int>(syscall(SYS_pidfd_open, child.pid, 0)));
        return true;
    }

    const int destination_;
    const std::string path_;
    std::string pathEntry_;
    std::vector<char *> environment_;
    Relay relay_;
};

// Waits for both commands and for the last of what tar said, the turns served meanwhile;
// without a descriptor for a command's end, its end is looked for between turns.
void Finish(Commands &commands, const CopyTurns &turns, std::uint64_t taken) {
    Relay &relay = *commands.ArchiverRelay();
    for (;;) {
        const bool gone = commands.unpacker.Reaped() & commands.archiver.Reaped();
        relay.Serve(gone);
        if (gone && !relay.busy()) return;
        Child &unpacker = commands.unpacker, &archiver = commands.archiver;
        pollfd fds[4] = {{turns.descriptor, POLLIN, 0}, {unpacker.ended.get(), POLLIN, 0},
                         {archiver.ended.get(), POLLIN, 0}, {relay.descriptor(), relay.events(), 0}};
        const bool blind = (unpacker.pid >= 0 && !unpacker.ended) || (archiver.pid >= 0 && !archiver.ended);
        poll(fds, 4, turns.descriptor >= 0 || blind ? kTurnMilliseconds : -1);
        if (turns.turn) turns.turn(turns.context, taken);
    }
}

// Whether a wait status is a clean exit.
bool Succeeded(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

// A command killed by a signal says nothing itself: the signal is named, as a shell would, and
// kept in `said`.
void SayKilled(int status, std::string &said) {
    if (status == -1 || !WIFSIGNALED(status)) return;
    said = strsignal(WTERMSIG(status));
    std::fprintf(stderr, "%s\n", said.c_str());
}

// Whether the launcher standing in the destination now is not the one that stood there before
// the extraction (`before` from fstatat, `was` whether it stood at all): tar wrote it.
bool LauncherWritten(int destination, bool was, const struct stat &before) {
    struct stat now;
    if (fstatat(destination, kLauncherName, &now, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(now.st_mode)) return false;
    return !was || now.st_dev != before.st_dev || now.st_ino != before.st_ino ||
           now.st_ctim.tv_sec != before.st_ctim.tv_sec || now.st_ctim.tv_nsec != before.st_ctim.tv_nsec;
}

// Outcomes that say the payload is damaged, whoever found it.
bool Damage(Outcome outcome) {
    return outcome == Outcome::InstallerFileDamaged || outcome == Outcome::InstallerFileUnreadable ||
           outcome == Outcome::InstallerFileCutShort || outcome == Outcome::GunzipFailed;
}

}  // namespace

bool Extraction::Run(int destinationFd, const CopyTurns &turns) {
    struct stat before;
    const bool launcherWas = fstatat(destinationFd, kLauncherName, &before, AT_SYMLINK_NOFOLLOW) == 0;
    std::uint64_t passed = 0;
    const bool sound = Unpack(destinationFd, turns, passed);
    // gunzip checks the whole payload only at its end, after tar may have written every member,
    // the launcher last. A launcher this run wrote from a damaged payload goes again, so that
    // nothing (a fleet's "creates:", a user) takes the installation for whole.
    if (!sound && Damage(outcome_) && passed > 0) {
        partial_ = true;
        if (LauncherWritten(destinationFd, launcherWas, before)) unlinkat(destinationFd, kLauncherName, 0);
    }
    return sound;
}

bool Extraction::Fail(Outcome outcome, std::string reason) {
    outcome_ = outcome;
    reason_ = std::move(reason);
    return false;
}

bool Extraction::Open(int installerFd) {
    file_ = installerFd;
    struct stat st;
    if (installerFd < 0 || fstat(installerFd, &st) != 0) return Fail(Outcome::InstallerFileNotOpen);
    const Trailer trailer = ReadTrailer(installerFd);
    if (!trailer.ok()) return Fail(Outcome::InstallerFileDamaged, DescribeTrailerFault(trailer.fault));
    if (lseek(installerFd, static_cast<off_t>(trailer.payloadOffset), SEEK_SET) < 0)
        return Fail(Outcome::InstallerFileUnreadable);
    offset_ = trailer.payloadOffset;
    length_ = trailer.payloadLength;
    return true;
}

std::uint64_t Extraction::unpackedSize() const {
    unsigned char field[4] = {};
    if (length_ < sizeof field || ReadFullyAt(file_, field, sizeof field, offset_ + length_ - sizeof field) != 4)
        return length_;
    std::uint64_t size = field[0] | field[1] << 8 | field[2] << 16 | static_cast<std::uint64_t>(field[3]) << 24;
    // Data that deflate stores as it is, the least a payload can unpack to, takes 5 bytes more for
    // each 65,535; the gzip header (with a file name, say) and trailer some more.
    const std::uint64_t least = length_ - std::min<std::uint64_t>(length_, length_ / 4096 + 1024);
    while (size < least) size += std::uint64_t(1) << 32;
    return size;
}

bool Extraction::Unpack(int destinationFd, const CopyTurns &turns, std::uint64_t &passed) {
    // Only ever unpack inside the destination.
    if (fchdir(destinationFd) != 0) return Fail(Outcome::CannotEnter);
    struct statvfs fs;
    if (FileSystemOf(destinationFd, fs)) {
        room_.freeBytes = FreeBytes(fs);
        room_.freeFiles = FreeFiles(fs);
    }

    PayloadRules::Where where;
    where.destination = destinationFd;
    where.privileged = geteuid() == 0;
    PayloadGuard guard(where);
    CopyCounts counts;
    Outcome copied;
    int unpacked = -1, archived = -1;
    bool unpackerStarted = false;
    Room::Shortage shortage = Room::Shortage::None;
    std::string unpackerSaid, archiverSaid;
    {
        IgnoreSigpipe ignore;
        Commands commands(destinationFd);
        copied = CopyPayload(file_, length_, commands, guard, turns, counts);
        passed = counts.passed;
        unpackerStarted = commands.unpacker.pid >= 0;
        Finish(commands, turns, counts.fed);
        unpacked = commands.unpacker.status;
        archived = commands.archiver.status;
        unpackerSaid = commands.unpackerSaid;
        archiverSaid = commands.ArchiverRelay()->lastLines();
        if (archiverSaid.empty()) archiverSaid = commands.archiverSaid;
        shortage = commands.shortage;
    }
    // Both were ended for it: their signals say nothing.
    if (shortage != Room::Shortage::None) {
        room_.shortage = shortage;
        return Fail(Outcome::TarOutOfRoom);
    }
    if (!counts.cutOff) SayKilled(unpacked, unpackerSaid);
    if (!(counts.cutOff && WIFSIGNALED(archived) && WTERMSIG(archived) == SIGPIPE)) SayKilled(archived, archiverSaid);
    // gunzip's status speaks for the payload unless it was stopped because of a refusal or of tar.
    const bool gunzipFailed = !counts.cutOff && copied != Outcome::NotGzip && !Succeeded(unpacked);
    if (copied == Outcome::Refused && (counts.cutOff || !gunzipFailed)) {
        switch (guard.refusal()) {
        case PayloadGuard::Refusal::Damaged: return Fail(Outcome::InstallerFileDamaged, guard.reason());
        case PayloadGuard::Refusal::Unsupported: return Fail(Outcome::ArchiveUnsupported, guard.reason());
        case PayloadGuard::Refusal::InTheWay: return Fail(Outcome::InTheWay, guard.reason());
        }
    }
    if (copied == Outcome::NotGzip || copied == Outcome::InstallerFileUnreadable ||
        copied == Outcome::InstallerFileCutShort)
        return Fail(copied);
    // gunzip that exited with a complaint found the payload damaged; one that never ran, or was
    // killed, says nothing of it.
    if (gunzipFailed || copied == Outcome::GunzipStopped) {
        if (unpackerStarted && WIFEXITED(unpacked)) return Fail(Outcome::GunzipFailed);
        said_ = unpackerSaid;
        return Fail(Outcome::GunzipStopped);
    }
    if (copied != Outcome::Sound || !Succeeded(archived)) {
        said_ = archiverSaid;
        return Fail(copied == Outcome::Sound ? Outcome::TarFailed : copied);  // TarStopped, TarHalted
    }
    return true;
}
