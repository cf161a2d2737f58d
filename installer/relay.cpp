#include "installer/relay.h"
#include "posix/retry.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

// A line of tar's is a name and a reason; past this it keeps its end, the reason.
const std::size_t kLineKept = 1024;

}  // namespace

Relay::Relay(Fd from, std::string name, std::function<bool()> judge)
    : from_(std::move(from)), name_(std::move(name)), judge_(std::move(judge)) {
    const int flags = fcntl(from_.get(), F_GETFL);
    if (flags >= 0) fcntl(from_.get(), F_SETFL, flags | O_NONBLOCK);
}

int Relay::descriptor() const {
    if (at_ < end_) return STDERR_FILENO;
    return from_ ? from_.get() : -1;
}

short Relay::events() const { return at_ < end_ ? POLLOUT : POLLIN; }

void Relay::Serve(bool ended) {
    for (;;) {
        if (at_ < end_) {
            // A write of at most a pipe's atomic size to a pipe, terminal or file that polls
            // writable does not wait.
            pollfd out = {STDERR_FILENO, POLLOUT, 0};
            if (poll(&out, 1, 0) <= 0) return;
            if (!(out.revents & POLLOUT)) {
                at_ = end_ = 0;  // standard error is gone: nothing to pass on to
                continue;
            }
            const ssize_t w = Uninterrupted([&] { return write(STDERR_FILENO, pending_ + at_, end_ - at_); });
            if (w > 0) {
                at_ += static_cast<std::size_t>(w);
            } else if (!(w < 0 && errno == EAGAIN)) {
                at_ = end_ = 0;
            } else {
                return;
            }
            continue;
        }
        if (!from_) return;
        const ssize_t n = Uninterrupted([&] { return read(from_.get(), pending_, sizeof pending_); });
        if (n > 0) {
            at_ = 0;
            end_ = static_cast<std::size_t>(n);
            Note(pending_, end_);
            // Judged once a line is whole: tar writes its name first and the rest after it.
            if (!fatal_ && judge_ && std::memchr(pending_, '\n', end_) && judge_()) fatal_ = true;
            Hold();
            continue;
        }
        if (n < 0 && errno == EAGAIN && !ended) return;
        from_.Close();  // the command and all it started have closed it
        EndLine();
        Ended();
    }
}

// Of what was just read, lets through all, or once the judge has spoken the whole lines that still
// fall within the first kRelayedLines; counts the lines held back. Once anything is held back, so is
// everything after it.
void Relay::Hold() {
    if (!fatal_) {
        passed_ += static_cast<std::size_t>(std::count(pending_ + at_, pending_ + end_, '\n'));
        return;
    }
    std::size_t keep = at_;
    for (std::size_t i = at_; !holding_ && i < end_ && passed_ < kRelayedLines; ++i)
        if (pending_[i] == '\n') ++passed_, keep = i + 1;
    if (keep == end_) return;
    holding_ = true;
    held_ += static_cast<std::uint64_t>(std::count(pending_ + keep, pending_ + end_, '\n'));
    open_ = pending_[end_ - 1] != '\n';
    end_ = keep;
}

// The command has closed its standard error: the line that stands for what was held back.
void Relay::Ended() {
    if (open_) ++held_;
    open_ = false;
    if (held_ == 0) return;
    const int n = std::snprintf(pending_, sizeof pending_, "(%llu more line%s from %s)\n",
                                static_cast<unsigned long long>(held_), held_ == 1 ? "" : "s", name_.c_str());
    at_ = 0;
    end_ = n > 0 ? std::min(static_cast<std::size_t>(n), sizeof pending_ - 1) : 0;
    held_ = 0;
}

void Relay::Note(const char *data, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (data[i] == '\n') {
            EndLine();
            continue;
        }
        line_ += data[i];
        if (line_.size() > 2 * kLineKept) {
            line_.erase(0, line_.size() - kLineKept);
            cut_ = true;
        }
    }
}

void Relay::EndLine() {
    if (line_.find_first_not_of(" \t\r") != std::string::npos) {
        last_[0] = std::move(last_[1]);
        if (cut_) {
            // Cut where a character starts.
            std::size_t from = line_.size() > kLineKept ? line_.size() - kLineKept : 0;
            while (from < line_.size() && (static_cast<unsigned char>(line_[from]) & 0xc0) == 0x80) ++from;
            last_[1] = "..." + line_.substr(from);
        } else {
            last_[1] = line_;
        }
    }
    line_.clear();
    cut_ = false;
}

std::string Relay::lastLines() const {
    return last_[0].empty() ? last_[1] : last_[0] + "\n" + last_[1];
}
