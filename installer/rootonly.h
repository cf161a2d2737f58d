// Root's rule for what it writes into, runs, or passes through on the way to either: root's, and
// writable by root only, so that no other user can have put anything there or change it.
#ifndef SONARIS_ROOTONLY_H
#define SONARIS_ROOTONLY_H

#include <sys/stat.h>

enum class RootOnly { Holds, NotRoots, OpenToOthers };

inline RootOnly RootOnlyRule(const struct stat &st) {
    if (st.st_uid != 0) return RootOnly::NotRoots;
    if (st.st_mode & (S_IWGRP | S_IWOTH)) return RootOnly::OpenToOthers;
    return RootOnly::Holds;
}

// What is wrong where the rule does not hold, as the messages say it after the thing's name.
inline const char *RootOnlyBreach(RootOnly rule) {
    return rule == RootOnly::NotRoots ? "is not owned by root" : "can be written by others than root";
}

#endif
