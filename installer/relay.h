// tar's standard error on its way to ours: passed on as it comes, its last lines kept for the report.
#ifndef SONARIS_RELAY_H
#define SONARIS_RELAY_H

#include "posix/fd.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// What a command writes on its standard error, passed on to ours unchanged as it comes. It reads
// only once ours has taken what came before, so that a slow reader of our standard error holds up
// the command, never the copy or the window. The last two lines that said anything are kept (their
// ends, where a line runs longer than a message takes) for the report: GNU tar and bsdtar close
// with a line of their own that says only that something went wrong before.
//
// Each time the command has said something new, before it is passed on, `judge` is asked whether
// the installation can go on (until it says it cannot). From then on the command's words are
// repeats of one fault: no more than its first kRelayedLines lines are passed on, and one line
// "(N more lines from NAME)" stands for the rest.
class Relay {
public:
    static const std::size_t kRelayedLines = 10;

    Relay() = default;
    // Takes the read end of the command's standard error; `name` is the command's, for that last line.
    explicit Relay(Fd from, std::string name = std::string(), std::function<bool()> judge = {});
    // Whether the judge has said that the installation cannot go on.
    bool fatal() const { return fatal_; }
    // Whether anything may still come or wait to be passed on.
    bool busy() const { return static_cast<bool>(from_) || at_ < end_; }
    // The descriptor it waits for and how, for poll(); -1 when it waits for nothing.
    int descriptor() const;
    short events() const;
    // Moves what it can without waiting. `ended`: the command has ended, so that what it said is
    // all in the pipe already (a descendant of its may hold the pipe open).
    void Serve(bool ended = false);
    // Those lines, one below the other; "" where it said nothing.
    std::string lastLines() const;

private:
    void Note(const char *data, std::size_t n);
    void EndLine();
    void Hold();
    void Ended();

    Fd from_;
    std::string name_;
    std::function<bool()> judge_;
    char pending_[4096];
    std::size_t at_ = 0, end_ = 0;
    std::string line_, last_[2];  // the one before the last, the last
    bool cut_ = false;
    bool fatal_ = false;
    // Lines let through; lines held back, whether any are, and whether the last has not ended yet.
    std::size_t passed_ = 0;
    std::uint64_t held_ = 0;
    bool holding_ = false, open_ = false;
};

#endif
