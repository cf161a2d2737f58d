#include "tools/progressline.h"
#include "tools/error.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// Often enough to look alive, seldom enough to cost nothing.
const auto kRedrawEvery = std::chrono::milliseconds(200);
// Before this much time has passed the rate is mostly noise.
const double kRateAfterSeconds = 0.5;

struct Unit {
    double divisor;
    const char *name;
};

Unit UnitFor(double bytes) {
    if (bytes < 1e3) return {1, "B"};
    if (bytes < 1e6) return {1e3, "kB"};
    if (bytes < 1e9) return {1e6, "MB"};
    return {1e9, "GB"};
}

std::string Amount(double bytes, const Unit &unit) {
    char s[32];
    if (unit.divisor == 1)
        std::snprintf(s, sizeof s, "%.0f", bytes);
    else
        std::snprintf(s, sizeof s, "%.1f", bytes / unit.divisor);
    return s;
}

std::string Duration(double seconds) {
    const long long s = static_cast<long long>(std::ceil(seconds));
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
    return text;
}

}  // namespace

std::string FormatProgress(const std::string &label, std::uint64_t done, std::uint64_t total, double seconds) {
    const Unit unit = UnitFor(static_cast<double>(total));
    const unsigned percent =
        total == 0 ? 100u : static_cast<unsigned>(std::min<std::uint64_t>(done, total) * 100 / total);
    std::string line = label + ": " + Amount(static_cast<double>(done), unit) + " of " +
                       Amount(static_cast<double>(total), unit) + " " + unit.name + ", " + std::to_string(percent) +
                       "%, ";
    if (seconds >= kRateAfterSeconds && done > 0) {
        const double rate = static_cast<double>(done) / seconds;
        const Unit rateUnit = UnitFor(rate);
        const double left = static_cast<double>(total > done ? total - done : 0) / rate;
        line += Amount(rate, rateUnit) + " " + rateUnit.name + "/s, " + Duration(left) + " left";
    } else {
        line += "-- B/s, --:-- left";
    }
    return line;
}

std::string FormatSize(std::uint64_t bytes) {
    const Unit unit = UnitFor(static_cast<double>(bytes));
    return Amount(static_cast<double>(bytes), unit) + " " + unit.name;
}

ProgressLine::ProgressLine(int fd, bool wanted) : fd_(fd), shows_(wanted && isatty(fd) == 1) {}

ProgressLine::~ProgressLine() { Clear(); }

void ProgressLine::Start(std::string label, std::uint64_t total) {
    if (!shows_) return;
    label_ = std::move(label);
    total_ = total;
    done_ = 0;
    start_ = std::chrono::steady_clock::now();
    Draw(start_);
}

void ProgressLine::Advance(std::uint64_t n) {
    if (!shows_) return;
    done_ += n;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastDraw_ >= kRedrawEvery) Draw(now);
}

void ProgressLine::Draw(std::chrono::steady_clock::time_point now) {
    lastDraw_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    std::string line = FormatProgress(label_, done_, total_, seconds);
    // A line that wrapped could not be redrawn in place.
    struct winsize size;
    if (ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 && line.size() >= size.ws_col)
        line.resize(size.ws_col - 1u);
    const std::size_t width = line.size();
    if (width < drawn_) line.append(drawn_ - width, ' ');  // covers the rest of a longer line
    line.insert(0, 1, '\r');
    Put(line.data(), line.size());
    drawn_ = std::max(width, drawn_);
}

void ProgressLine::Clear() noexcept {
    if (drawn_ == 0) return;
    char blank[256];
    const std::size_t n = std::min(drawn_, sizeof blank - 2);
    blank[0] = '\r';
    std::fill(blank + 1, blank + 1 + n, ' ');
    blank[n + 1] = '\r';
    Put(blank, n + 2);
    drawn_ = 0;
}

void ProgressLine::End(const std::string &summary) {
    Clear();
    if (!shows_) return;
    const std::string line = summary + "\n";
    Put(line.data(), line.size());
}

// The line is a courtesy: a terminal that fails to take it does not fail the work.
void ProgressLine::Put(const char *text, std::size_t n) noexcept {
    try {
        WriteAll(fd_, text, n, "the terminal");
    } catch (const PackError &) {
        shows_ = false;
    }
}
