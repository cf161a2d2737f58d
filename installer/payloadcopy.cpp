#include "installer/payloadcopy.h"
#include "posix/io.h"
#include "posix/retry.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace {

// The sizes and pauses below are explained in docs/installer.md, "How the payload reaches tar".
// gunzip's input pipe, and the pieces of the payload handed to it by reference: the pieces cover
// the pipe and one more, so that one is free again once gunzip has taken it.
const int kPipeSize = static_cast<int>(kMiB);
const std::size_t kFeedSize = kMiB / 2;
const std::size_t kFeedPieces = kPipeSize / kFeedSize + 1;
// Reads of the tar stream, and of file data where it cannot be spliced; shorter file data than
// kSpliceAtLeast is read with the headers around it, since a system call would cost more.
const std::size_t kBufferSize = 128 * kKiB;
const std::size_t kSpliceSize = kMiB;
const std::uint64_t kSpliceAtLeast = 64 * kKiB;
// While the stream keeps coming the copy pauses rather than wake for each of gunzip's writes.
const long kFirstPauseMicroseconds = 1000;
const long kShortestPauseMicroseconds = 100;
const long kLongestPauseMicroseconds = 8000;
// Held back from tar until admitted, so that a payload refused early leaves the destination as it was.
const std::size_t kHeldBeforeStart = kMiB;

long long Milliseconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Memory of the copy's own for what it hands on by reference. Unmapping it leaves a pipe's
// references to its pages as they are: the pipe's reader still reads what was put there.
class Mapping {
public:
    explicit Mapping(std::size_t size) : size_(size) {
        void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        data_ = p == MAP_FAILED ? nullptr : static_cast<unsigned char *>(p);
    }
    ~Mapping() {
        if (data_) munmap(data_, size_);
    }
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;
    unsigned char *data() const { return data_; }

private:
    unsigned char *data_;
    std::size_t size_;
};

// The tar stream read and not yet handed on. Its room is not cleared before each read, as a
// vector's would be.
class Held {
public:
    explicit Held(std::size_t capacity) : data_(new unsigned char[capacity]) {}
    unsigned char *data() { return data_.get(); }
    std::size_t size() const { return size_; }
    void clear() { size_ = 0; }
    void Added(std::size_t n) { size_ += n; }

private:
    std::unique_ptr<unsigned char[]> data_;
    std::size_t size_ = 0;
};

void NonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

class Copy {
public:
    Copy(int file, std::uint32_t length, CopyCommands &commands, PayloadGuard &guard, const CopyTurns &turns,
         CopyCounts &counts)
        : file_(file), length_(length), commands_(commands), guard_(guard), turns_(turns), counts_(counts),
          pieces_(kFeedPieces * kFeedSize), held_(kHeldBeforeStart + kBufferSize) {}

    Outcome Run();

private:
    bool Feed();  // payload into gunzip; true if something moved
    bool Pass();  // gunzip's output on to tar; true if something moved
    bool Read(std::size_t want);
    void StreamEnded();
    void ArchiverGone();
    void CutOff();
    void Halt();
    bool StartArchiver();
    void Wait();
    bool Pause();
    nfds_t WatchAlways(pollfd *fds, Relay *&relay);
    void Turn(bool always);
    void Stop(Outcome r) {
        if (result_ == Outcome::Sound) result_ = r;
    }

    const int file_;
    const std::uint32_t length_;
    CopyCommands &commands_;
    PayloadGuard &guard_;
    const CopyTurns &turns_;
    CopyCounts &counts_;
    Outcome result_ = Outcome::Sound;

    Fd unpackerInput_, unpackerOutput_, archiverInput_;
    // The payload: read from the file so far, and a piece read into memory not yet fed.
    std::uint64_t read_ = 0;
    Mapping pieces_;
    unsigned char *in_ = nullptr;  // the piece being fed
    std::size_t piece_ = 0;
    std::size_t inAt_ = 0, inEnd_ = 0;
    bool spliceInput_ = true;
    bool fileEnded_ = false;  // a read came short of the payload's length
    // The tar stream: judged and admitted, not yet handed on.
    Held held_;  // before tar starts, less than kHeldBeforeStart and one read more
    std::size_t heldAt_ = 0;
    bool splicePipes_ = true;
    bool streamEnded_ = false;
    bool discarding_ = false;  // tar has ended soundly behind the archive's end; gunzip is still heard out
    // Pipes found not ready, not tried again until poll() says they are.
    bool waitInput_ = false, waitOutput_ = false, waitArchiver_ = false;
    long long lastTurn_ = 0;
    // Bytes taken from gunzip's output since the last wait, whether that wait was a pause, and
    // how long the next pause is.
    std::uint64_t drawn_ = 0;
    bool paused_ = false;
    long pause_ = kFirstPauseMicroseconds;
};

Outcome Copy::Run() {
    if (pieces_.data() == nullptr) return Outcome::GunzipStopped;
    in_ = pieces_.data();
    // gunzip starts only for what begins as gzip data; this first piece is fed from memory.
    const std::size_t first = std::min<std::size_t>(kFeedSize, length_);
    const ssize_t n = ReadFully(file_, in_, first);
    if (n < 0) return Outcome::InstallerFileUnreadable;
    if (static_cast<std::size_t>(n) < first) return Outcome::InstallerFileCutShort;
    if (n < 2 || in_[0] != 0x1f || in_[1] != 0x8b) return Outcome::NotGzip;
    read_ = inEnd_ = static_cast<std::size_t>(n);
    if (!commands_.StartUnpacker(unpackerInput_, unpackerOutput_)) return Outcome::GunzipStopped;
    const int size = fcntl(unpackerInput_.get(), F_SETPIPE_SZ, kPipeSize);
    spliceInput_ = (size > 0 ? size : fcntl(unpackerInput_.get(), F_GETPIPE_SZ)) <= kPipeSize;
    fcntl(unpackerOutput_.get(), F_SETPIPE_SZ, kPipeSize);
    NonBlocking(unpackerInput_.get());
    NonBlocking(unpackerOutput_.get());
    lastTurn_ = Milliseconds();
    while (unpackerInput_ || unpackerOutput_ || archiverInput_ || heldAt_ < held_.size()) {
        if (Relay *relay = commands_.ArchiverRelay(); relay && relay->fatal()) {
            Halt();
            break;
        }
        bool moved = unpackerInput_ && !waitInput_ && Feed();
        moved = Pass() || moved;
        if (moved) {
            Turn(false);
        } else {
            Wait();
        }
    }
    Turn(true);
    return result_;
}

bool Copy::Feed() {
    const int to = unpackerInput_.get();
    if (inAt_ < inEnd_) {
        const ssize_t w = Uninterrupted([&] {
            if (!spliceInput_) return write(to, in_ + inAt_, inEnd_ - inAt_);
            const iovec piece = {in_ + inAt_, inEnd_ - inAt_};
            return vmsplice(to, &piece, 1, SPLICE_F_NONBLOCK);
        });
        if (w < 0 && spliceInput_ && (errno == EBADF || errno == EINVAL || errno == ENOSYS)) {
            spliceInput_ = false;  // not a pipe: copy instead
            return true;
        }
        if (w > 0) {
            inAt_ += static_cast<std::size_t>(w);
            counts_.fed += static_cast<std::uint64_t>(w);
            return true;
        }
        if (w < 0 && errno == EAGAIN) return waitInput_ = true, false;
        Stop(Outcome::GunzipStopped);
        unpackerInput_.Close();
        return true;
    }
    if (read_ == length_) {
        unpackerInput_.Close();  // gunzip sees the payload's end
        return true;
    }
    // Read into memory, not spliced: a pipe holding pages of the file would hand gunzip whatever
    // the file holds once gunzip reads them, not what was read. Every piece but the last is read
    // whole, which keeps the pieces free in turn; a short one is the file's end.
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(length_ - read_, kFeedSize));
    const ssize_t r = fileEnded_ ? 0 : ReadFully(file_, pieces_.data() + (piece_ + 1) % kFeedPieces * kFeedSize, want);
    if (r <= 0) {
        Stop(r == 0 ? Outcome::InstallerFileCutShort : Outcome::InstallerFileUnreadable);
        unpackerInput_.Close();
        return true;
    }
    piece_ = (piece_ + 1) % kFeedPieces;
    in_ = pieces_.data() + piece_ * kFeedSize;
    fileEnded_ = static_cast<std::size_t>(r) < want;
    inAt_ = 0;
    inEnd_ = static_cast<std::size_t>(r);
    read_ += static_cast<std::uint64_t>(r);
    return true;
}

bool Copy::StartArchiver() {
    counts_.archiverStarted = true;
    if (commands_.StartArchiver(archiverInput_)) {
        fcntl(archiverInput_.get(), F_SETPIPE_SZ, kPipeSize);
        NonBlocking(archiverInput_.get());
        return true;
    }
    Stop(Outcome::TarStopped);
    CutOff();
    return false;
}

bool Copy::Pass() {
    const bool refused = result_ == Outcome::Refused;
    // tar starts once the stream's first megabyte has been admitted, or all of a shorter stream.
    if (!counts_.archiverStarted && !refused && heldAt_ < held_.size() &&
        (held_.size() >= kHeldBeforeStart || (streamEnded_ && result_ == Outcome::Sound)) && !StartArchiver())
        return true;
    if (heldAt_ < held_.size() && archiverInput_) {
        if (waitArchiver_) return false;
        const ssize_t w = Uninterrupted(
            [&] { return write(archiverInput_.get(), held_.data() + heldAt_, held_.size() - heldAt_); });
        if (w > 0) {
            heldAt_ += static_cast<std::size_t>(w);
            counts_.passed += static_cast<std::uint64_t>(w);
            if (heldAt_ == held_.size()) held_.clear(), heldAt_ = 0;
            return true;
        }
        if (w < 0 && errno == EAGAIN) return waitArchiver_ = true, false;
        ArchiverGone();
        return true;
    }
    if (heldAt_ < held_.size() && (refused || discarding_ || (streamEnded_ && !archiverInput_))) {
        held_.clear();  // nothing is to take it
        heldAt_ = 0;
        return true;
    }
    if (!unpackerOutput_) {
        if (archiverInput_ && heldAt_ == held_.size()) {
            archiverInput_.Close();  // tar sees the stream's end
            return true;
        }
        return false;
    }
    if (heldAt_ < held_.size() && counts_.archiverStarted) return false;
    if (waitOutput_) return false;
    const std::uint64_t passable = guard_.Passable();
    if (passable >= kSpliceAtLeast && archiverInput_ && splicePipes_ && !discarding_) {
        if (waitArchiver_) return false;
        const ssize_t s = Uninterrupted([&] {
            return splice(unpackerOutput_.get(), nullptr, archiverInput_.get(), nullptr,
                          std::min<std::uint64_t>(passable, kSpliceSize), SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        });
        if (s > 0) {
            drawn_ += static_cast<std::uint64_t>(s);
            guard_.Pass(static_cast<std::uint64_t>(s));
            counts_.passed += static_cast<std::uint64_t>(s);
            counts_.spliced += static_cast<std::uint64_t>(s);
            return true;
        }
        if (s == 0) {
            StreamEnded();
            return true;
        }
        if (errno == EAGAIN) {
            // Either side may be the one that is not ready.
            int unread = 0;
            if (ioctl(unpackerOutput_.get(), FIONREAD, &unread) == 0 && unread > 0) {
                waitArchiver_ = true;
            } else {
                waitOutput_ = true;
            }
            return false;
        }
        if (errno == EINVAL || errno == ENOSYS) {
            splicePipes_ = false;  // one end is not a pipe: copy instead
            return true;
        }
        ArchiverGone();
        return true;
    }
    // The rest of a member's data is read on its own, so that a member refused behind it takes
    // nothing admitted down with it; headers are read with whatever follows them.
    return Read(passable > 0 ? passable : kBufferSize);
}

// Reads up to `want` bytes of the tar stream into memory and judges them; a refusal among them
// keeps all of them from tar.
bool Copy::Read(std::size_t want) {
    const std::size_t at = held_.size();
    want = std::min(want, kBufferSize);
    const ssize_t n = Uninterrupted([&] { return read(unpackerOutput_.get(), held_.data() + at, want); });
    if (n > 0) {
        held_.Added(static_cast<std::size_t>(n));
        drawn_ += static_cast<std::uint64_t>(n);
        if (discarding_) {
            held_.clear();
        } else if (guard_.Inspect(held_.data() + at, static_cast<std::size_t>(n)) != PayloadGuard::Verdict::Sound) {
            Stop(Outcome::Refused);
            CutOff();
        }
        return true;
    }
    if (n == 0) {
        StreamEnded();
        return true;
    }
    if (errno == EAGAIN) return waitOutput_ = true, false;
    Stop(Outcome::GunzipStopped);
    CutOff();
    return true;
}

void Copy::StreamEnded() {
    unpackerOutput_.Close();
    streamEnded_ = true;
    if (!discarding_ && result_ != Outcome::Refused && guard_.End() != PayloadGuard::Verdict::Sound) {
        Stop(Outcome::Refused);
        held_.clear();
        heldAt_ = 0;
        archiverInput_.Close();
    }
}

void Copy::ArchiverGone() {
    archiverInput_.Close();
    held_.clear();
    heldAt_ = 0;
    // tar may end soundly once it has read the archive's end; gunzip still says whether the payload
    // was sound, so its output is read on, unjudged, to the end.
    if (guard_.archiveEnded() && result_ == Outcome::Sound) {
        discarding_ = true;
        return;
    }
    Stop(Outcome::TarStopped);
    CutOff();
}

// Stops gunzip early: it dies of SIGPIPE, quietly, and its status says nothing of the payload.
void Copy::CutOff() {
    if (unpackerOutput_) counts_.cutOff = true;
    unpackerOutput_.Close();
    unpackerInput_.Close();
    held_.clear();
    heldAt_ = 0;
    if (result_ == Outcome::Refused) archiverInput_.Close();  // tar has nothing of the member
}

// tar cannot go on: nothing more goes into gunzip or tar, which are being ended.
void Copy::Halt() {
    Stop(Outcome::TarHalted);
    CutOff();
    archiverInput_.Close();
}

// Sleeps for the pause instead of waiting for the stream's pipes, where the last wake found the
// stream moving; false where the copy is to wait for them.
bool Copy::Pause() {
    const bool stream = (waitOutput_ && unpackerOutput_) || (waitArchiver_ && archiverInput_);
    const std::uint64_t drawn = drawn_;
    const bool paused = paused_;
    drawn_ = 0;
    paused_ = false;
    if (!stream || drawn == 0) return false;
    if (paused && drawn > static_cast<std::uint64_t>(kPipeSize) / 2)
        pause_ = std::max(pause_ / 2, kShortestPauseMicroseconds);
    else if (paused && drawn < static_cast<std::uint64_t>(kPipeSize) / 8)
        pause_ = std::min(pause_ * 2, kLongestPauseMicroseconds);
    paused_ = true;
    pollfd fds[2];
    Relay *relay = nullptr;
    const nfds_t n = WatchAlways(fds, relay);
    const timespec pause = {0, pause_ * 1000};
    const int r = ppoll(fds, n, &pause, nullptr);
    waitInput_ = waitOutput_ = waitArchiver_ = false;
    if (relay && r > 0 && fds[n - 1].revents != 0) relay->Serve();
    Turn(turns_.descriptor >= 0 && r > 0 && fds[0].revents != 0);
    return true;
}

// What is watched whatever else the copy waits for: the caller's descriptor first, where it gives
// one, then tar's complaints, passed on as they come so that they never keep the copy waiting.
// `relay` is left null where it waits for nothing. Returns how many descriptors it put in `fds`.
nfds_t Copy::WatchAlways(pollfd *fds, Relay *&relay) {
    nfds_t n = 0;
    if (turns_.descriptor >= 0) fds[n++] = {turns_.descriptor, POLLIN, 0};
    relay = commands_.ArchiverRelay();
    if (relay && relay->descriptor() >= 0)
        fds[n++] = {relay->descriptor(), relay->events(), 0};
    else
        relay = nullptr;
    return n;
}

void Copy::Wait() {
    if (Pause()) return;
    pollfd fds[5];
    bool *flags[5] = {};
    Relay *relay = nullptr;
    const nfds_t pipes = WatchAlways(fds, relay);
    nfds_t n = pipes;
    const bool watched = turns_.descriptor >= 0;
    auto watch = [&](bool &flag, const Fd &fd, short events) {
        if (!flag) return;
        if (!fd) {
            flag = false;
            return;
        }
        flags[n] = &flag;
        fds[n++] = {fd.get(), events, 0};
    };
    watch(waitInput_, unpackerInput_, POLLOUT);
    watch(waitOutput_, unpackerOutput_, POLLIN);
    watch(waitArchiver_, archiverInput_, POLLOUT);
    const bool waiting = n > pipes;
    const int r = poll(fds, n, watched || !waiting ? kTurnMilliseconds : -1);
    for (nfds_t i = pipes; i < n; ++i)
        if (r > 0 && fds[i].revents != 0) *flags[i] = false;
    if (relay && r > 0 && fds[pipes - 1].revents != 0) relay->Serve();
    if (r == 0 || (watched && fds[0].revents != 0)) Turn(true);
}

void Copy::Turn(bool always) {
    const long long now = Milliseconds();
    if (!always && now - lastTurn_ < kTurnMilliseconds) return;
    lastTurn_ = now;
    if (Relay *relay = commands_.ArchiverRelay()) relay->Serve();
    if (turns_.turn == nullptr) return;
    const std::uint64_t fed = counts_.fed;
    turns_.turn(turns_.context, unpackerInput_ ? Taken(unpackerInput_.get(), fed) : fed);
}

}  // namespace

std::uint64_t Taken(int pipe, std::uint64_t sent) {
    int n = 0;
    const std::uint64_t unread = ioctl(pipe, FIONREAD, &n) == 0 && n > 0 ? static_cast<std::uint64_t>(n) : 0;
    return sent - std::min(unread, sent);
}

Outcome CopyPayload(int file, std::uint32_t length, CopyCommands &commands, PayloadGuard &guard,
                       const CopyTurns &turns, CopyCounts &counts) {
    Copy copy(file, length, commands, guard, turns, counts);
    return copy.Run();
}
