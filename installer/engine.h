// The extraction engine: the installer file's payload found by its trailer and fed into gunzip;
// gunzip's output checked on its way into tar, both run in the destination. It knows nothing of the
// window, which takes part through the turn and the descriptor of a CopyWindow (payloadcopy.h).
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
    enum class Fault {
        Sound,
        Unreadable,   // the installer file cannot be opened
        Damaged,      // the installer file is damaged or incomplete: reason() says how
        Unsupported,  // its archive is intact but holds what the installer does not take: reason() says what
        InTheWay,     // what stands in the destination conflicts with the payload: reason() names it by its
                      // path inside the destination
        CannotEnter,  // the destination cannot be entered
        Failed,       // the extraction failed: failed() says where
    };
    // Where a Failed extraction went wrong.
    enum class Failure {
        Sound,
        Unreadable,  // reading the payload from the installer file failed
        CutShort,    // the installer file ended before its payload did
        NotGzip,     // the payload does not begin as gzip data
        Gunzip,      // gunzip failed on the payload: its gzip layer is damaged or cut short
        Unpacker,    // gunzip could not be started, or was killed
        Tar,         // tar could not start, stopped taking the stream, or failed
        NoRoom,      // tar ran out of room in the destination and was stopped there: room() says what ran out
    };

    // Finds the payload in the installer file open at `installerFd` (not owned, not closed);
    // returns false with fault() set.
    bool Open(int installerFd);
    // Returns the payload's length; known once Open has succeeded.
    std::uint32_t length() const { return length_; }
    // Enters the destination open at `destinationFd` and extracts the payload there, the window
    // served through `window`; returns false with fault() set. The working directory stays there.
    bool Run(int destinationFd, const CopyWindow &window);

    Fault fault() const { return fault_; }
    Failure failed() const { return failure_; }
    const std::string &reason() const { return reason_; }
    // For Unpacker and Tar: the last lines the command said, or what was said of it ("tar: not
    // found", the signal that killed it); "" where nothing was.
    const std::string &said() const { return said_; }
    const Room &room() const { return room_; }
    // About how many bytes the payload unpacks to: its gzip trailer's length field, which counts
    // modulo 4 GiB, widened to at least what the payload's own length implies.
    std::uint64_t unpackedSize() const;

private:
    bool Fail(Fault fault, std::string reason = std::string());
    bool Fail(Failure failure);

    int file_ = -1;
    std::uint64_t offset_ = 0;
    std::uint32_t length_ = 0;
    Fault fault_ = Fault::Sound;
    Failure failure_ = Failure::Sound;
    std::string reason_;
    std::string said_;
    Room room_;
};

#endif
