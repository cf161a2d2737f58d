// The launcher in the installed tree: what `sonaris` leads to, found from the destination's
// descriptor one component at a time, and why it is not started where it is not.
#ifndef SONARIS_LAUNCHER_H
#define SONARIS_LAUNCHER_H

#include "installer/rootonly.h"
#include "posix/fd.h"

#include <sys/stat.h>

#include <string>

struct LauncherFile {
    // Why it is not started: nothing stands at its name, or what does cannot be reached (Unknown:
    // the installer cannot say more), or it is a link that leads out of the destination, to
    // nothing, to something that is no regular file, or (root) it or a directory on its way does
    // not keep root's rule (`rootRule` says how).
    enum class Refusal { Runs, Unknown, Out, Nothing, NotAFile, NotRootOnly };
    Refusal refusal = Refusal::Unknown;
    RootOnly rootRule = RootOnly::Holds;
    Fd file;           // the file to run: for reading where it may be read, else for its name only
    struct stat status {};  // the file's, or what root's rule refused
    std::string link;  // the launcher's own target, when it is a symbolic link
    std::string at;    // what the refusal is about, as a path below the destination ("bin/real")
};

// Follows the launcher from the directory `destination` without leaving it (no "..", no absolute
// target above it); with `root`, every directory on its way and the file must keep root's rule
// (rootonly.h).
LauncherFile OpenLauncher(int destination, bool root);

// Why the launcher of the destination `dest` (named as typed) was not started, and what to do;
// "" for Runs and Unknown, which the caller words.
std::string LauncherRefusalMessage(const LauncherFile &launcher, const std::string &dest);

#endif
