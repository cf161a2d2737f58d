// The copy at the heart of the extraction, one thread and one poll loop: the payload, read once
// from the installer file, goes into gunzip; gunzip's output, the tar stream, comes back and is
// judged by the payload guard; only what the guard admitted goes on into tar. Headers and records
// are read into memory to be judged; the file data between them is moved from pipe to pipe with
// splice(2) where the system allows it and copied otherwise. A window gets its turns meanwhile.
#ifndef SONARIS_PAYLOADCOPY_H
#define SONARIS_PAYLOADCOPY_H

#include "format/payloadguard.h"
#include "posix/fd.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// While waiting for the pipes, the window still gets a turn this often (its timers, and the bar
// following what gunzip takes).
const int kTurnMilliseconds = 50;

struct CopyWindow {
    // Watched while the pipes are busy: the display connection. -1 for none.
    int descriptor = -1;
    // The window's turn, with the payload bytes gunzip has taken so far.
    void (*turn)(void *context, std::uint64_t taken) = nullptr;
    void *context = nullptr;
};

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

// The two commands the copy feeds, each started only when it is needed: gunzip once the payload
// has shown gzip's magic, tar once the first megabyte of the stream (or all of a shorter one) has
// been admitted, so that a payload refused early leaves the destination as it was.
class CopyCommands {
public:
    virtual ~CopyCommands() = default;
    // Starts gunzip: the ends of its standard input and output in `input` and `output`.
    virtual bool StartUnpacker(Fd &input, Fd &output) = 0;
    // Starts tar: the end of its standard input in `input`.
    virtual bool StartArchiver(Fd &input) = 0;
    // What passes tar's standard error on, once tar has started; null where it goes straight to ours.
    virtual Relay *ArchiverRelay() { return nullptr; }
};

enum class CopyResult {
    Sound,            // the payload went into gunzip, and gunzip's output, judged, into tar
    Refused,          // the guard refused a member (guard.reason()); tar has nothing of it
    NotGzip,          // the payload does not begin as gzip data; nothing was started
    Unreadable,       // reading the installer file failed
    CutShort,         // the file ended before the payload did
    UnpackerStopped,  // gunzip stopped taking the payload, or could not be started
    ArchiverStopped,  // tar stopped taking the stream before its end, or could not be started
    Halted,           // what tar said means it cannot go on (its relay's judge): nothing more was fed
};

struct CopyCounts {
    std::uint64_t fed = 0;       // payload bytes written into gunzip's input
    std::uint64_t passed = 0;    // bytes of the tar stream handed on to tar
    std::uint64_t spliced = 0;   // of those, moved by splice(2)
    bool cutOff = false;         // gunzip's output was closed before its end: its status is ours
    bool archiverStarted = false;
};

// Copies the `length` payload bytes at `file`'s current position, never reading beyond them. The
// window's last turn comes once everything has been handed on.
CopyResult CopyPayload(int file, std::uint32_t length, CopyCommands &commands, PayloadGuard &guard,
                       const CopyWindow &window, CopyCounts &counts);

// Of `sent` bytes written into a pipe, those its reader has taken.
std::uint64_t Taken(int pipe, std::uint64_t sent);

#endif
