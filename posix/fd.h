// A move-only owner of a file descriptor, shared by the installer and the packer. The destructor
// never throws; an explicit close reports its error.
#ifndef SONARIS_POSIX_FD_H
#define SONARIS_POSIX_FD_H

#include <unistd.h>

#include <utility>

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(Fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd &operator=(Fd &&other) noexcept {
        if (this != &other) {
            if (fd_ >= 0) ::close(fd_);
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Gives the descriptor up to a new owner (fdopendir, say).
    int Release() { return std::exchange(fd_, -1); }
    // Closes the descriptor and returns whether the close succeeded.
    bool Close() { return fd_ < 0 || ::close(std::exchange(fd_, -1)) == 0; }

private:
    int fd_ = -1;
};

#endif
