// Move-only owners for what the installer file is read through, shared by the installer and the
// packer: descriptors and stdio streams. Destructors never throw; an explicit close reports its error.
#ifndef SONARIS_FORMAT_FILEOWNERS_H
#define SONARIS_FORMAT_FILEOWNERS_H

#include <unistd.h>

#include <cstdio>
#include <memory>
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
    // Closes the descriptor and reports whether the close succeeded.
    bool Close() { return fd_ < 0 || ::close(std::exchange(fd_, -1)) == 0; }

private:
    int fd_ = -1;
};

struct FileCloser {
    void operator()(std::FILE *f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Closes the stream and reports whether everything written to it reached the file.
inline bool Close(File &file) {
    return file ? std::fclose(file.release()) == 0 : true;
}

#endif
