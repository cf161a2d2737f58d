// Move-only owners for the C resources the packer holds: descriptors, directory streams and
// libarchive handles (stdio streams: fileowners.h). Destructors never throw; an explicit close reports its error.
#ifndef SONARIS_PACK_OWNERS_H
#define SONARIS_PACK_OWNERS_H

#include "fileowners.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <unistd.h>

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

struct DirCloser {
    void operator()(DIR *d) const noexcept { closedir(d); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

struct ArchiveReadFreer {
    void operator()(struct archive *a) const noexcept { archive_read_free(a); }
};
using ArchiveReader = std::unique_ptr<struct archive, ArchiveReadFreer>;

struct ArchiveWriteFreer {
    void operator()(struct archive *a) const noexcept { archive_write_free(a); }
};
using ArchiveWriter = std::unique_ptr<struct archive, ArchiveWriteFreer>;

struct ArchiveEntryFreer {
    void operator()(struct archive_entry *e) const noexcept { archive_entry_free(e); }
};
using ArchiveEntry = std::unique_ptr<struct archive_entry, ArchiveEntryFreer>;

#endif
