// How an extraction ended, and the copy at its heart: sound, or the one thing that stopped it. The
// copy ends in Sound, Refused or one of the installer file's, gunzip's or tar's own; the extraction
// turns Refused into what the payload guard refused it as.
#ifndef SONARIS_OUTCOME_H
#define SONARIS_OUTCOME_H

enum class Outcome {
    Sound,
    // The installer file.
    InstallerFileNotOpen,     // it cannot be opened
    InstallerFileUnreadable,  // reading the payload from it failed
    InstallerFileCutShort,    // it ended before its payload did
    InstallerFileDamaged,     // it is damaged or incomplete: the extraction's reason() says how
    // The payload's archive, as the payload guard judged it.
    Refused,             // the guard refused a member (guard.reason()); tar has nothing of it
    ArchiveUnsupported,  // intact, but it holds what the installer does not take: reason() says what
    InTheWay,            // what stands in the destination conflicts with it: reason() names it by its
                         // path inside the destination
    // gunzip.
    NotGzip,        // the payload does not begin as gzip data; gunzip was not started
    GunzipFailed,   // gunzip failed on the payload: its gzip layer is damaged or cut short
    GunzipStopped,  // gunzip stopped taking the payload, could not be started, or was killed
    // tar.
    TarStopped,    // tar stopped taking the stream before its end, or could not be started
    TarHalted,     // what tar said means it cannot go on (its relay's judge): nothing more was fed
    TarFailed,     // tar took the whole stream and failed
    TarOutOfRoom,  // tar ran out of room in the destination and was stopped there
    // The destination.
    CannotEnter,  // it cannot be entered
};

#endif
