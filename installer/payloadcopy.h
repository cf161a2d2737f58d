// The copy at the heart of the extraction: the payload read once from the installer file, each
// chunk looked at by the payload guard before the pipeline can have any of it, and sent from
// memory into the pipeline's input. A window gets its turn after every block, between pieces of
// the guard's inflating, and whenever the display has something to say while the pipeline is full,
// so no second thread is needed.
#ifndef SONARIS_PAYLOADCOPY_H
#define SONARIS_PAYLOADCOPY_H

#include "format/payloadguard.h"

#include <cstddef>
#include <cstdint>

// While waiting for the pipeline, the window still gets a turn this often (its timers, and the
// bar following what the pipeline takes).
const int kTurnMilliseconds = 50;

// How far the guard may read ahead of what the pipeline has taken: admitted bytes held in memory.
const std::size_t kLookAhead = std::size_t(32) << 20;

struct CopyWindow {
    // Watched while the pipeline cannot take more: the display connection. -1 for none; then the
    // payload goes a chunk at a time.
    int descriptor = -1;
    // With a descriptor: bytes written between two turns of the window.
    std::size_t block = 8192;
    // The window's turn, with the payload bytes the pipeline has taken so far.
    void (*turn)(void *context, std::uint64_t taken) = nullptr;
    void *context = nullptr;
};

enum class CopyResult {
    Complete,         // all `length` bytes went into the pipeline
    Refused,          // the guard refused a member (guard.reason()); nothing of its chunk was sent
    Damaged,          // the guard could not read the payload as gzip'd tar
    Unreadable,       // reading the installer file failed
    CutShort,         // the file ended before the payload did
    PipelineStopped,  // the pipeline stopped taking data
};

// The pipeline's input, started only when the first chunk has been admitted: a payload refused at
// once reaches neither gunzip nor tar, and the user reads no complaint of theirs about an empty
// stream. `start` returns the input's descriptor, or -1.
struct PipelineStart {
    int (*start)(void *context) = nullptr;
    void *context = nullptr;
};

// Copies `length` bytes from `file`, each read once from its current position and never beyond
// the payload, into `pipeline`; the window's last turn comes after the last block. `sent` counts the
// bytes sent. `pipeline` may be made non-blocking meanwhile; its flags are restored.
CopyResult CopyPayload(int file, std::uint32_t length, int pipeline, PayloadGuard &guard, const CopyWindow &window,
                       std::uint64_t &sent);
// The same into a pipeline started at the first admitted chunk; `started` tells whether it was.
CopyResult CopyPayload(int file, std::uint32_t length, PipelineStart pipeline, PayloadGuard &guard,
                       const CopyWindow &window, std::uint64_t &sent, bool &started);

// Of `sent` bytes written into a pipe, those its reader has taken.
std::uint64_t Taken(int pipe, std::uint64_t sent);

#endif
