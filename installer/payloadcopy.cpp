#include "payloadcopy.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace {

// The guard inflates a chunk in one go: ISA-L is several times faster on a megabyte than on
// 8 kB pieces, and a chunk is never sent before it has been looked at as a whole.
const std::size_t kChunkSize = 1 << 20;
// While waiting for the pipeline, the window still gets a turn this often (its timers, and the
// bar following what the pipeline takes).
const int kTurnMilliseconds = 50;

class Copier {
public:
    Copier(int pipeline, const CopyWindow &window) : pipeline_(pipeline), window_(window) {}

    // Writes `n` bytes, block by block with a window; false when the pipeline stopped taking them.
    bool Write(const unsigned char *data, std::size_t n) {
        const std::size_t block = window_.descriptor >= 0 ? std::max<std::size_t>(window_.block, 1) : n;
        while (n > 0) {
            const std::size_t piece = std::min(block, n);
            if (!WriteAll(data, piece)) return false;
            data += piece;
            n -= piece;
            sent_ += piece;
            Turn();
        }
        return true;
    }

    std::uint64_t sent() const { return sent_; }

private:
    bool WriteAll(const unsigned char *data, std::size_t n) {
        while (n > 0) {
            const ssize_t w = write(pipeline_, data, n);
            if (w > 0) {
                data += w;
                n -= static_cast<std::size_t>(w);
            } else if (w < 0 && errno == EAGAIN) {
                Wait();
            } else if (!(w < 0 && errno == EINTR)) {
                return false;
            }
        }
        return true;
    }

    // Until the pipeline can take more, the window is answered.
    void Wait() {
        pollfd fds[2] = {{pipeline_, POLLOUT, 0}, {window_.descriptor, POLLIN, 0}};
        const int r = poll(fds, 2, kTurnMilliseconds);
        if (r == 0 || (r > 0 && fds[1].revents != 0)) Turn();
    }

    void Turn() {
        if (window_.turn == nullptr) return;
        const std::uint64_t unread = window_.descriptor >= 0 ? Unread(pipeline_) : 0;
        window_.turn(window_.context, sent_ - std::min(unread, sent_));
    }

    int pipeline_;
    const CopyWindow &window_;
    std::uint64_t sent_ = 0;
};

}  // namespace

std::uint64_t Unread(int pipe) {
    int n = 0;
    return ioctl(pipe, FIONREAD, &n) == 0 && n > 0 ? static_cast<std::uint64_t>(n) : 0;
}

CopyResult CopyPayload(int file, std::uint32_t length, int pipeline, PayloadGuard &guard, const CopyWindow &window,
                       std::uint64_t &sent) {
    // Only a window needs the pipeline's descriptor not to block: it waits in poll() instead.
    const int flags = fcntl(pipeline, F_GETFL);
    if (window.descriptor >= 0 && flags >= 0) fcntl(pipeline, F_SETFL, flags | O_NONBLOCK);
    std::unique_ptr<unsigned char[]> chunk(new unsigned char[kChunkSize]);
    Copier copier(pipeline, window);
    CopyResult result = CopyResult::Complete;
    for (std::uint32_t left = length; left > 0 && result == CopyResult::Complete;) {
        const ssize_t n = read(file, chunk.get(), std::min<std::size_t>(kChunkSize, left));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            result = CopyResult::Unreadable;
        } else if (n == 0) {
            result = CopyResult::CutShort;
        } else {
            // Looked at whole before the pipeline has any of it; a refused chunk ends the stream.
            switch (guard.Inspect(chunk.get(), static_cast<std::size_t>(n))) {
            case PayloadGuard::Verdict::Admit:
                if (!copier.Write(chunk.get(), static_cast<std::size_t>(n))) result = CopyResult::PipelineStopped;
                break;
            case PayloadGuard::Verdict::Refused: result = CopyResult::Refused; break;
            case PayloadGuard::Verdict::Damaged: result = CopyResult::Damaged; break;
            }
            left -= static_cast<std::uint32_t>(n);
        }
    }
    if (flags >= 0) fcntl(pipeline, F_SETFL, flags);
    sent = copier.sent();
    return result;
}
