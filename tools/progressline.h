// How far a long piece of work has come, as one line on a terminal: done of total, the
// percentage, the rate and the time left, redrawn in place a few times a second and cleared when
// the work ends (or fails, before the message), or replaced by a summary of what was done. On
// anything but a terminal it writes nothing.
#ifndef SONARIS_PACK_PROGRESSLINE_H
#define SONARIS_PACK_PROGRESSLINE_H

#include <chrono>
#include <cstdint>
#include <string>

class ProgressLine {
public:
    // Shows on `fd` only when `wanted` and `fd` is a terminal.
    ProgressLine(int fd, bool wanted);
    ~ProgressLine();
    ProgressLine(const ProgressLine &) = delete;
    ProgressLine &operator=(const ProgressLine &) = delete;

    // Begins a piece of work of `total` bytes, called `label` ("packing"), and draws it at once.
    void Start(std::string label, std::uint64_t total);
    // `n` more bytes are done.
    void Advance(std::uint64_t n);
    // Whether the line shows at all.
    bool shows() const { return shows_; }
    // Erases the line, if one is shown.
    void Clear() noexcept;
    // Erases the line and leaves `summary` in its place, on a line of its own, where the line shows.
    void End(const std::string &summary);

private:
    void Draw(std::chrono::steady_clock::time_point now);
    void Put(const char *text, std::size_t n) noexcept;

    int fd_;
    bool shows_;
    std::string label_;
    std::uint64_t total_ = 0, done_ = 0;
    std::chrono::steady_clock::time_point start_, lastDraw_;
    std::size_t drawn_ = 0;  // the width of the line on the terminal, 0 when none is shown
};

// The line's text: "packing: 412.5 of 823.4 MB, 50%, 61.3 MB/s, 0:07 left". The rate and the time
// left read "--" until `seconds` is long enough to tell them.
std::string FormatProgress(const std::string &label, std::uint64_t done, std::uint64_t total, double seconds);

// An amount of bytes as the line writes it: "823 B", "12.3 MB".
std::string FormatSize(std::uint64_t bytes);

#endif
