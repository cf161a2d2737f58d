// Writing a whole buffer to a descriptor, through short writes and interrupted calls.
#ifndef SONARIS_PACK_WRITEALL_H
#define SONARIS_PACK_WRITEALL_H

#include "error.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>

// Throws "WHERE: cannot write: reason" on failure.
inline void WriteAll(int fd, const void *data, std::size_t n, const std::string &where) {
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = ENOSPC;
            throw SystemError(where, "cannot write");
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

#endif
