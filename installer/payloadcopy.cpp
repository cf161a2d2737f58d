#include "installer/payloadcopy.h"
#include "posix/retry.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <memory>
#include <vector>

namespace {

// The guard inflates a chunk in one go: ISA-L is several times faster on a megabyte than on
// 8 kB pieces.
const std::size_t kChunkSize = 1 << 20;

using Buffer = std::unique_ptr<unsigned char[]>;

// Sends admitted chunks into the pipeline from memory, in the order they were admitted; block by
// block with a window. A chunk that was not admitted is never given to it, so nothing behind a
// refused chunk can be sent either.
class Sender {
public:
    Sender(PipelineStart start, const CopyWindow &window) : start_(start), window_(window) {}
    ~Sender() {
        if (flags_ >= 0) fcntl(pipeline_, F_SETFL, flags_);
    }
    Sender(const Sender &) = delete;
    Sender &operator=(const Sender &) = delete;

    bool started() const { return pipeline_ >= 0; }
    std::uint64_t sent() const { return sent_; }
    // Returns the admitted bytes not yet sent.
    std::size_t held() const { return held_; }

    // Returns an empty chunk buffer: one the pipeline has emptied, or a new one.
    Buffer Take() {
        if (spare_.empty()) return Buffer(new unsigned char[kChunkSize]);
        Buffer b = std::move(spare_.back());
        spare_.pop_back();
        return b;
    }

    // Queues `n` admitted bytes behind those admitted before.
    void Admit(Buffer chunk, std::size_t n) {
        queue_.push_back({std::move(chunk), n});
        held_ += n;
    }

    // Sends until at most `keep` admitted bytes are held. With `wait` false it stops where the
    // pipe is full; with `wait` true it waits there, the window answered meanwhile.
    CopyResult Send(bool wait, std::size_t keep) {
        if (stopped_) return CopyResult::PipelineStopped;
        if (pipeline_ < 0 && held_ > keep && !Start()) return Stop();
        while (held_ > keep) {
            Queued &front = queue_.front();
            const std::size_t piece = std::min(Block(), front.length - at_);
            const ssize_t w = Uninterrupted([&] { return write(pipeline_, front.data.get() + at_, piece); });
            if (w > 0) {
                at_ += static_cast<std::size_t>(w);
                held_ -= static_cast<std::size_t>(w);
                sent_ += static_cast<std::uint64_t>(w);
                if (at_ == front.length) {
                    spare_.push_back(std::move(front.data));
                    queue_.pop_front();
                    at_ = 0;
                }
                if (window_.descriptor >= 0) Turn();
            } else if (w < 0 && errno == EAGAIN) {
                if (!wait) return CopyResult::Complete;
                Wait();
            } else {
                return Stop();
            }
        }
        return CopyResult::Complete;
    }

    // The window's turn (silent mode: the progress value), with what the pipeline has taken.
    void Turn() {
        if (window_.turn == nullptr) return;
        window_.turn(window_.context, window_.descriptor >= 0 && pipeline_ >= 0 ? Taken(pipeline_, sent_) : sent_);
    }

private:
    struct Queued {
        Buffer data;
        std::size_t length;
    };

    // The descriptor never blocks: a full pipe is waited for in poll(), with the window's display.
    bool Start() {
        pipeline_ = start_.start(start_.context);
        if (pipeline_ < 0) return false;
        flags_ = fcntl(pipeline_, F_GETFL);
        if (flags_ >= 0) fcntl(pipeline_, F_SETFL, flags_ | O_NONBLOCK);
        return true;
    }

    CopyResult Stop() {
        stopped_ = true;
        return CopyResult::PipelineStopped;
    }

    std::size_t Block() const { return window_.descriptor >= 0 ? std::max<std::size_t>(window_.block, 1) : kChunkSize; }

    // Until the pipeline can take more, the window is answered.
    void Wait() {
        pollfd fds[2] = {{pipeline_, POLLOUT, 0}, {window_.descriptor, POLLIN, 0}};
        const int r = poll(fds, 2, kTurnMilliseconds);
        if (r == 0 || (r > 0 && fds[1].revents != 0)) Turn();
    }

    PipelineStart start_;
    int pipeline_ = -1;
    int flags_ = -1;  // the pipeline's own, restored at the end
    bool stopped_ = false;
    const CopyWindow &window_;
    std::deque<Queued> queue_;
    std::vector<Buffer> spare_;
    std::size_t at_ = 0;  // sent of the chunk in front
    std::size_t held_ = 0;
    std::uint64_t sent_ = 0;
};

// Reads up to `n` bytes; returns the count, 0 at the end of the file, -1 on a fault.
ssize_t ReadFully(int file, unsigned char *to, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = Uninterrupted([&] { return read(file, to + got, n - got); });
        if (r < 0) return -1;
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

}  // namespace

std::uint64_t Taken(int pipe, std::uint64_t sent) {
    int n = 0;
    const std::uint64_t unread = ioctl(pipe, FIONREAD, &n) == 0 && n > 0 ? static_cast<std::uint64_t>(n) : 0;
    return sent - std::min(unread, sent);
}

CopyResult CopyPayload(int file, std::uint32_t length, int pipeline, PayloadGuard &guard, const CopyWindow &window,
                       std::uint64_t &sent) {
    PipelineStart open;
    open.start = [](void *descriptor) { return *static_cast<int *>(descriptor); };
    open.context = &pipeline;
    bool started;
    return CopyPayload(file, length, open, guard, window, sent, started);
}

CopyResult CopyPayload(int file, std::uint32_t length, PipelineStart pipeline, PayloadGuard &guard,
                       const CopyWindow &window, std::uint64_t &sent, bool &started) {
    Sender sender(pipeline, window);
    // Between pieces of a chunk's inflated output the pipeline gets what it takes at once and the
    // window its turn, however far a chunk inflates.
    struct Pause {
        Sender &sender;
        CopyResult result = CopyResult::Complete;
    } pause{sender};
    guard.SetPause(
        [](void *context) {
            auto *p = static_cast<Pause *>(context);
            if (p->result == CopyResult::Complete) p->result = p->sender.Send(false, 0);
            p->sender.Turn();
        },
        &pause);
    // The guard reads ahead of the pipeline, as far as the look-ahead allows, so that its processor
    // time is spent while gunzip, the slowest of the three, still has the first chunks to do.
    // Each byte is read once: what the guard admitted is what is sent.
    CopyResult result = CopyResult::Complete;
    for (std::uint32_t looked = 0; looked < length && result == CopyResult::Complete;) {
        Buffer chunk = sender.Take();
        const ssize_t n = ReadFully(file, chunk.get(), std::min<std::size_t>(kChunkSize, length - looked));
        if (n < 0) {
            result = CopyResult::Unreadable;
        } else if (n == 0) {
            result = CopyResult::CutShort;
        } else {
            const std::size_t got = static_cast<std::size_t>(n);
            switch (guard.Inspect(chunk.get(), got)) {
            case PayloadGuard::Verdict::Admit:
                sender.Admit(std::move(chunk), got);
                result = pause.result != CopyResult::Complete ? pause.result : sender.Send(false, 0);
                if (result == CopyResult::Complete && sender.held() + kChunkSize > kLookAhead)
                    result = sender.Send(true, kLookAhead - kChunkSize);
                sender.Turn();
                break;
            case PayloadGuard::Verdict::Refused: result = CopyResult::Refused; break;
            case PayloadGuard::Verdict::Damaged: result = CopyResult::Damaged; break;
            }
            looked += static_cast<std::uint32_t>(got);
        }
    }
    guard.SetPause(nullptr, nullptr);
    // What was admitted before a fault still goes, as it went before the guard looked ahead.
    if (result != CopyResult::PipelineStopped) {
        const CopyResult rest = sender.Send(true, 0);
        if (result == CopyResult::Complete || rest == CopyResult::PipelineStopped) result = rest;
    }
    sender.Turn();
    sent = sender.sent();
    started = sender.started();
    return result;
}
