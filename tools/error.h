// The packer's one kind of failure: a complete message for the user, naming what is wrong; and
// the descriptor writes that fail with it.
#ifndef SONARIS_TOOLS_ERROR_H
#define SONARIS_TOOLS_ERROR_H

#include "posix/io.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string>

class PackError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "PATH: what: reason" for a failed system call; call it before errno changes.
inline PackError SystemError(const std::string &path, const std::string &what) {
    return PackError(path + ": " + what + ": " + std::strerror(errno));
}

// Throws "WHERE: cannot write: reason" on failure.
inline void WriteAll(int fd, const void *data, std::size_t n, const std::string &where) {
    if (!WriteFully(fd, data, n)) throw SystemError(where, "cannot write");
}

#endif
