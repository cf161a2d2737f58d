// A pipe's two ends, each owned.
#ifndef SONARIS_POSIX_PIPE_H
#define SONARIS_POSIX_PIPE_H

#include "posix/fd.h"

#include <fcntl.h>
#include <unistd.h>

struct Pipe {
    Fd read;
    Fd write;

    // Opens a pipe with `flags` (O_CLOEXEC, O_NONBLOCK) on both ends; returns false on failure.
    bool Open(int flags = O_CLOEXEC) {
        int fds[2];
        if (pipe2(fds, flags) != 0) return false;
        read = Fd(fds[0]);
        write = Fd(fds[1]);
        return true;
    }
};

#endif
