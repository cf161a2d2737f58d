// Reading and writing descriptors through interrupted calls and short writes.
#ifndef SONARIS_PACK_FDIO_H
#define SONARIS_PACK_FDIO_H

#include "posix/error.h"
#include "posix/retry.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

inline ssize_t ReadSome(int fd, void *data, std::size_t n) {
    return Uninterrupted([&] { return ::read(fd, data, n); });
}

inline ssize_t ReadAt(int fd, void *data, std::size_t n, std::uint64_t offset) {
    return Uninterrupted([&] { return ::pread(fd, data, n, static_cast<off_t>(offset)); });
}

// Throws "WHERE: cannot write: reason" on failure.
inline void WriteAll(int fd, const void *data, std::size_t n, const std::string &where) {
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        const ssize_t w = Uninterrupted([&] { return ::write(fd, p, n); });
        if (w <= 0) {
            if (w == 0) errno = ENOSPC;
            throw SystemError(where, "cannot write");
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

#endif
