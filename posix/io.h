// Reading and writing descriptors through interrupted calls, short reads and short writes.
#ifndef SONARIS_POSIX_IO_H
#define SONARIS_POSIX_IO_H

#include "posix/retry.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

// The units the buffers, pipes and limits of both programs are sized in.
constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMiB = 1024 * kKiB;
// What one read or write of a buffered copy between descriptors moves.
constexpr std::size_t kCopyChunk = 64 * kKiB;

inline ssize_t ReadSome(int fd, void *data, std::size_t n) {
    return Uninterrupted([&] { return ::read(fd, data, n); });
}

inline ssize_t ReadAt(int fd, void *data, std::size_t n, std::uint64_t offset) {
    return Uninterrupted([&] { return ::pread(fd, data, n, static_cast<off_t>(offset)); });
}

// Reads up to `n` bytes from the descriptor's offset; returns the count, short only at the end of
// the file, or -1 on a fault.
inline ssize_t ReadFully(int fd, void *data, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ReadSome(fd, static_cast<char *>(data) + got, n - got);
        if (r < 0) return -1;
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

// As ReadFully, from `offset` on, the descriptor's own offset left as it is.
inline ssize_t ReadFullyAt(int fd, void *data, std::size_t n, std::uint64_t offset) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ReadAt(fd, static_cast<char *>(data) + got, n - got, offset + got);
        if (r < 0) return -1;
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

// Writes all `n` bytes; false with errno set where that fails (ENOSPC where a write took nothing).
inline bool WriteFully(int fd, const void *data, std::size_t n) {
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        const ssize_t w = Uninterrupted([&] { return ::write(fd, p, n); });
        if (w <= 0) {
            if (w == 0) errno = ENOSPC;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

#endif
