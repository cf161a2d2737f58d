// The packer's one kind of failure: a complete message for the user, naming what is wrong.
#ifndef SONARIS_POSIX_ERROR_H
#define SONARIS_POSIX_ERROR_H

#include <cerrno>
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

#endif
