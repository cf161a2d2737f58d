// The extraction engine: the installer file's payload found by its trailer, checked on its way and
// streamed into "gunzip | tar xf -" run in the destination. It knows nothing of the window, which
// takes part through the turn and the descriptor of a CopyWindow (payloadcopy.h).
#ifndef SONARIS_ENGINE_H
#define SONARIS_ENGINE_H

#include "installer/payloadcopy.h"
#include "posix/file.h"

#include <cstdint>
#include <string>

class Extraction {
public:
    enum class Fault {
        Nothing,
        Unreadable,   // the installer file cannot be opened
        Damaged,      // the installer file is damaged or incomplete: reason() says how
        CannotEnter,  // the destination cannot be entered
        Failed,       // the pipeline failed, or the payload could not be sent whole
    };

    // Finds the payload in the installer file open on `installerFd`, which stays the caller's;
    // returns false with fault() set.
    bool Open(int installerFd);
    // Returns the payload's length; known once Open has succeeded.
    std::uint32_t length() const { return length_; }
    // Enters the destination open on `destinationFd` and extracts the payload there, the window
    // served through `window`; returns false with fault() set. The working directory stays in the
    // destination.
    bool Run(int destinationFd, const CopyWindow &window);

    Fault fault() const { return fault_; }
    const std::string &reason() const { return reason_; }

private:
    bool Fail(Fault fault, std::string reason = std::string());

    File file_;
    std::uint32_t length_ = 0;
    Fault fault_ = Fault::Nothing;
    std::string reason_;
};

#endif
