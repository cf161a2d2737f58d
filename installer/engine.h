// The extraction engine: the installer file's payload found by its trailer and fed into gunzip;
// gunzip's output checked on its way into tar, both run in the destination. It knows nothing of the
// window, which takes part through the turn and the descriptor of a CopyTurns (payloadcopy.h).
#ifndef SONARIS_ENGINE_H
#define SONARIS_ENGINE_H

#include "installer/payloadcopy.h"

#include <cstdint>
#include <string>

// The destination's file system as the extraction found it: what was free there for this user
// when it began and, where tar could not go on, what had run out.
struct Room {
    enum class Shortage {
        None,
        Space,  // the file system is full
        Files,  // the file system can make no more files
        Quota,  // the user's disk quota there is spent
    };
    Shortage shortage = Shortage::None;
    std::uint64_t freeBytes = 0;
    std::uint64_t freeFiles = 0;
};

class Extraction {
public:
    // Finds the payload in the installer file open at `installerFd` (not owned, not closed);
    // returns false with outcome() set.
    bool Open(int installerFd);
    // Returns the payload's length; known once Open has succeeded.
    std::uint32_t length() const { return length_; }
    // Enters the destination open at `destinationFd` and extracts the payload there, `turns`
    // served meanwhile; returns false with outcome() set. The working directory stays there.
    bool Run(int destinationFd, const CopyTurns &turns);

    // Sound, or what stopped the extraction; never Refused, which it reports as what was refused.
    Outcome outcome() const { return outcome_; }
    // For InstallerFileDamaged, ArchiveUnsupported and InTheWay: what is wrong.
    const std::string &reason() const { return reason_; }
    // For GunzipStopped and tar's: the last lines the command said, or what was said of it
    // ("tar: not found", the signal that killed it); "" where nothing was.
    const std::string &said() const { return said_; }
    // For a damaged payload: tar was given some of it, which stands in the destination now (the
    // launcher left out, where this extraction wrote it).
    bool partial() const { return partial_; }
    // For TarOutOfRoom, what ran out; what was free when the extraction began, always.
    const Room &room() const { return room_; }
    // About how many bytes the payload unpacks to: its gzip trailer's length field, which counts
    // modulo 4 GiB, widened to at least what the payload's own length implies.
    std::uint64_t unpackedSize() const;

private:
    bool Unpack(int destinationFd, const CopyTurns &turns, std::uint64_t &passed);
    bool Fail(Outcome outcome, std::string reason = std::string());

    int file_ = -1;
    std::uint64_t offset_ = 0;
    std::uint32_t length_ = 0;
    Outcome outcome_ = Outcome::Sound;
    std::string reason_;
    std::string said_;
    Room room_;
    bool partial_ = false;
};

#endif
