// The copy at the heart of the extraction, one thread and one poll loop: the payload, read once
// from the installer file, goes into gunzip; gunzip's output, the tar stream, comes back and is
// judged by the payload guard; only what the guard admitted goes on into tar. The caller gets its
// turns meanwhile. How and why it moves the bytes as it does: docs/installer.md, "How the payload
// reaches tar".
#ifndef SONARIS_PAYLOADCOPY_H
#define SONARIS_PAYLOADCOPY_H

#include "format/payloadguard.h"
#include "installer/outcome.h"
#include "installer/relay.h"
#include "posix/fd.h"

#include <cstddef>
#include <cstdint>

// While waiting for the pipes, the caller still gets a turn this often (a window's timers, and the
// bar following what gunzip takes).
const int kTurnMilliseconds = 50;

// What the copy serves besides the pipes: a descriptor it watches while they are busy, and a turn
// with the payload bytes gunzip has taken so far. A window gives its display connection and draws
// its bar there; the silent installer only counts.
struct CopyTurns {
    int descriptor = -1;  // -1 for none
    void (*turn)(void *context, std::uint64_t taken) = nullptr;
    void *context = nullptr;
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

struct CopyCounts {
    std::uint64_t fed = 0;       // payload bytes written into gunzip's input
    std::uint64_t passed = 0;    // bytes of the tar stream handed on to tar
    std::uint64_t spliced = 0;   // of those, moved by splice(2)
    bool cutOff = false;         // gunzip's output was closed before its end: its status is ours
    bool archiverStarted = false;
};

// Copies the `length` payload bytes at `file`'s current position, never reading beyond them. The
// last turn comes once everything has been handed on.
Outcome CopyPayload(int file, std::uint32_t length, CopyCommands &commands, PayloadGuard &guard,
                    const CopyTurns &turns, CopyCounts &counts);

// Of `sent` bytes written into a pipe, those its reader has taken.
std::uint64_t Taken(int pipe, std::uint64_t sent);

#endif
