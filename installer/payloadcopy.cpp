#include "payloadcopy.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// The guard inflates a chunk in one go: ISA-L is several times faster on a megabyte than on
// 8 kB pieces.
const std::size_t kChunkSize = 1 << 20;

// The guard looks ahead of what is sent, so each chunk is read twice: once to be looked at and
// once to be sent. The installer file may change in between where the system does not lock it
// against writing (a program started through its loader, a network file system), so what is sent
// is held to a seal of what was looked at: a keyed hash, its key drawn afresh for each
// installation, so that no change can be made to match it without knowing the key. Per 1 kB
// block an NH sum (the chance that two different blocks agree is at most 2^-32), the block sums
// joined by a polynomial over the integers modulo 2^61 - 1 at a secret point.
class Seal {
public:
    Seal() {
        if (!Fill(reinterpret_cast<unsigned char *>(&key_), sizeof key_)) Unkeyed();  // still tells an accidental change
        key_.point = key_.point % (kPrime - 2) + 2;
    }

    std::uint64_t Of(const unsigned char *data, std::size_t n) const {
        std::uint64_t h = n % kPrime;
        std::size_t at = 0;
        for (; at + kBlockSize <= n; at += kBlockSize) h = Join(h, Sum(data + at));
        if (at < n) {
            unsigned char last[kBlockSize] = {};
            std::memcpy(last, data + at, n - at);
            h = Join(h, Sum(last));
        }
        return h;
    }

private:
    static const std::size_t kBlockWords = 256;
    static const std::size_t kBlockSize = kBlockWords * 4;
    static constexpr std::uint64_t kPrime = (std::uint64_t(1) << 61) - 1;

    // The NH sum of a block: the words taken in pairs, each word plus its key word modulo 2^32, the
    // two multiplied, the products added modulo 2^64.
    std::uint64_t Sum(const unsigned char *block) const {
#if defined(__SSE2__)
        __m128i sum = _mm_setzero_si128();
        for (std::size_t i = 0; i < kBlockWords; i += 4) {
            const __m128i a = _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 4 * i)),
                                            _mm_loadu_si128(reinterpret_cast<const __m128i *>(key_.words + i)));
            sum = _mm_add_epi64(sum, _mm_mul_epu32(a, _mm_srli_epi64(a, 32)));
        }
        std::uint64_t lanes[2];
        _mm_storeu_si128(reinterpret_cast<__m128i *>(lanes), sum);
        return lanes[0] + lanes[1];
#else
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < kBlockWords; i += 2) {
            std::uint32_t m[2];
            std::memcpy(m, block + 4 * i, sizeof m);
            sum += static_cast<std::uint64_t>(m[0] + key_.words[i]) * static_cast<std::uint32_t>(m[1] + key_.words[i + 1]);
        }
        return sum;
#endif
    }

    std::uint64_t Join(std::uint64_t h, std::uint64_t sum) const { return Step(Step(h, sum >> 32), sum & 0xffffffffu); }

    // h * point + c modulo the prime; h < prime, c < 2^32.
    std::uint64_t Step(std::uint64_t h, std::uint64_t c) const {
        const unsigned __int128 x = static_cast<unsigned __int128>(h) * key_.point + c;
        std::uint64_t s = (static_cast<std::uint64_t>(x) & kPrime) + static_cast<std::uint64_t>(x >> 61);
        s = (s & kPrime) + (s >> 61);
        return s >= kPrime ? s - kPrime : s;
    }

    static bool Fill(unsigned char *to, std::size_t n) {
        while (n > 0) {
            const ssize_t got = getrandom(to, n, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            to += got;
            n -= static_cast<std::size_t>(got);
        }
        return true;
    }

    void Unkeyed() {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        std::uint64_t x = static_cast<std::uint64_t>(now.tv_nsec) ^ static_cast<std::uint64_t>(getpid()) << 32;
        for (std::uint32_t &k : key_.words) k = static_cast<std::uint32_t>((x = x * 6364136223846793005u + 1442695040888963407u) >> 32);
        key_.point = x;
    }

    struct {
        std::uint32_t words[kBlockWords];
        std::uint64_t point;
    } key_;
};

// A chunk the guard has admitted: its length and its seal.
struct Admitted {
    std::uint32_t length;
    std::uint64_t seal;
};

// Sends admitted chunks into the pipeline, reading each again from the file (whose position it
// moves) and checking it against its seal first; block by block with a window.
class Sender {
public:
    Sender(int file, PipelineStart start, const CopyWindow &window, const Seal &seal)
        : file_(file), start_(start), window_(window), seal_(seal), buffer_(new unsigned char[kChunkSize]) {}
    ~Sender() {
        if (flags_ >= 0) fcntl(pipeline_, F_SETFL, flags_);
    }
    Sender(const Sender &) = delete;
    Sender &operator=(const Sender &) = delete;

    bool started() const { return pipeline_ >= 0; }

    void Admit(std::uint32_t length, std::uint64_t seal) { admitted_.push_back({length, seal}); }

    // Sends what has been admitted. With `wait` false it stops where the pipe is full; with
    // `wait` true it waits there, the window answered meanwhile.
    CopyResult Send(bool wait) {
        if (pipeline_ < 0 && next_ < admitted_.size() && !Start()) return CopyResult::PipelineStopped;
        for (;;) {
            if (at_ == fill_) {
                if (next_ == admitted_.size()) return CopyResult::Complete;
                const CopyResult loaded = Load(admitted_[next_++]);
                if (loaded != CopyResult::Complete) return loaded;
            }
            const std::size_t piece = std::min(Block(), fill_ - at_);
            const ssize_t w = write(pipeline_, buffer_.get() + at_, piece);
            if (w > 0) {
                at_ += static_cast<std::size_t>(w);
                sent_ += static_cast<std::uint64_t>(w);
                if (window_.descriptor >= 0) Turn();
            } else if (w < 0 && errno == EAGAIN) {
                if (!wait) return CopyResult::Complete;
                Wait();
            } else if (!(w < 0 && errno == EINTR)) {
                return CopyResult::PipelineStopped;
            }
        }
    }

    // The window's turn (silent mode: the progress value), with what the pipeline has taken.
    void Turn() {
        if (window_.turn == nullptr) return;
        window_.turn(window_.context, window_.descriptor >= 0 ? Taken(pipeline_, sent_) : sent_);
    }

    std::uint64_t sent() const { return sent_; }

private:
    // The descriptor never blocks: a full pipe is waited for in poll(), with the window's display.
    bool Start() {
        pipeline_ = start_.start(start_.context);
        if (pipeline_ < 0) return false;
        flags_ = fcntl(pipeline_, F_GETFL);
        if (flags_ >= 0) fcntl(pipeline_, F_SETFL, flags_ | O_NONBLOCK);
        return true;
    }

    std::size_t Block() const { return window_.descriptor >= 0 ? std::max<std::size_t>(window_.block, 1) : kChunkSize; }

    CopyResult Load(const Admitted &chunk) {
        std::size_t got = 0;
        while (got < chunk.length) {
            const ssize_t n = read(file_, buffer_.get() + got, chunk.length - got);
            if (n > 0) {
                got += static_cast<std::size_t>(n);
            } else if (n == 0) {
                return CopyResult::CutShort;  // the file shrank behind the guard
            } else if (errno != EINTR) {
                return CopyResult::Unreadable;
            }
        }
        if (seal_.Of(buffer_.get(), got) != chunk.seal) return CopyResult::Changed;
        at_ = 0;
        fill_ = got;
        return CopyResult::Complete;
    }

    // Until the pipeline can take more, the window is answered.
    void Wait() {
        pollfd fds[2] = {{pipeline_, POLLOUT, 0}, {window_.descriptor, POLLIN, 0}};
        const int r = poll(fds, 2, kTurnMilliseconds);
        if (r == 0 || (r > 0 && fds[1].revents != 0)) Turn();
    }

    int file_;
    PipelineStart start_;
    int pipeline_ = -1;
    int flags_ = -1;  // the pipeline's own, restored at the end
    const CopyWindow &window_;
    const Seal &seal_;
    std::vector<Admitted> admitted_;
    std::size_t next_ = 0;  // the next admitted chunk to load
    std::unique_ptr<unsigned char[]> buffer_;
    std::size_t at_ = 0, fill_ = 0;  // the loaded chunk: sent up to `at_` of `fill_`
    std::uint64_t sent_ = 0;
};

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
    const off_t base = lseek(file, 0, SEEK_CUR);
    std::unique_ptr<unsigned char[]> chunk(new unsigned char[kChunkSize]);
    const Seal seal;
    Sender sender(file, pipeline, window, seal);
    // The guard looks ahead as fast as it can, and between its chunks the pipeline gets what it
    // takes at once. The guard's processor time is then spent at the start, before gunzip, the
    // slowest of the three, has much to do; spread over the installation, it took turns from gunzip
    // and tar, on two processors a tenth of the time. Only admitted bytes are ever sent.
    CopyResult result = CopyResult::Complete;
    for (std::uint32_t looked = 0; looked < length && result == CopyResult::Complete;) {
        const std::size_t want = std::min<std::size_t>(kChunkSize, length - looked);
        const ssize_t n = base < 0 ? -1 : pread(file, chunk.get(), want, base + static_cast<off_t>(looked));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            result = CopyResult::Unreadable;
        } else if (n == 0) {
            result = CopyResult::CutShort;
        } else {
            const std::size_t got = static_cast<std::size_t>(n);
            switch (guard.Inspect(chunk.get(), got)) {
            case PayloadGuard::Verdict::Admit:
                sender.Admit(static_cast<std::uint32_t>(got), seal.Of(chunk.get(), got));
                result = sender.Send(false);
                sender.Turn();
                break;
            case PayloadGuard::Verdict::Refused: result = CopyResult::Refused; break;
            case PayloadGuard::Verdict::Damaged: result = CopyResult::Damaged; break;
            }
            looked += static_cast<std::uint32_t>(got);
        }
    }
    // What was admitted before a fault still goes, as it went before the guard looked ahead.
    if (result != CopyResult::PipelineStopped) {
        const CopyResult rest = sender.Send(true);
        if (result == CopyResult::Complete || rest == CopyResult::PipelineStopped) result = rest;
    }
    sender.Turn();
    sent = sender.sent();
    started = sender.started();
    return result;
}
