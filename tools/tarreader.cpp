#include "tools/tarreader.h"
#include "tools/error.h"

#include <cerrno>

MemberType TypeOfEntry(struct archive_entry *entry) {
    // A hard link member carries the type of its target; what it is, is a link.
    if (archive_entry_hardlink(entry) != nullptr) return MemberType::HardLink;
    return TypeOfMode(archive_entry_filetype(entry));
}

TarReader::TarReader(int fd, std::uint64_t offset, std::uint64_t length, bool singleMember, std::string where,
                     std::string what)
    : gzip_(fd, offset, length, singleMember), archive_(archive_read_new()), where_(std::move(where)),
      what_(std::move(what)) {
    if (!archive_) throw PackError(where_ + ": out of memory");
    // Every tar dialect; the gzip layer is ours, so no filter.
    archive_read_support_format_tar(archive_.get());
    if (archive_read_open(archive_.get(), this, nullptr, &TarReader::Supply, nullptr) != ARCHIVE_OK) Fail();
}

la_ssize_t TarReader::Supply(struct archive *a, void *data, const void **buffer) noexcept {
    auto *self = static_cast<TarReader *>(data);
    const ssize_t n = self->gzip_.Read(self->buffer_, sizeof self->buffer_);
    if (n < 0) {
        archive_set_error(a, EIO, "%s", self->gzip_.fault().c_str());
        return -1;
    }
    *buffer = self->buffer_;
    return n;
}

void TarReader::Fail() {
    if (!gzip_.fault().empty()) throw PackError(where_ + ": " + what_ + " " + gzip_.fault());
    const char *message = archive_error_string(archive_.get());
    if (archive_format(archive_.get()) == 0) throw PackError(where_ + ": " + what_ + " is not a tar archive");
    throw PackError(where_ + ": " + what_ + "'s tar archive is damaged: " +
                    (message ? message : "unreadable member"));
}

struct archive_entry *TarReader::Next() {
    struct archive_entry *entry = nullptr;
    const int r = archive_read_next_header(archive_.get(), &entry);
    if (r == ARCHIVE_EOF) return nullptr;
    // A warning concerns a detail we do not keep (a name's character set, an extended attribute).
    // A retry would skip a damaged header, and with it a member that tar would fail on.
    if (r != ARCHIVE_OK && r != ARCHIVE_WARN) Fail();
    return entry;
}

void TarReader::ReadData(const std::function<void(const char *, std::size_t)> &sink) {
    char chunk[kCopyChunk];
    la_ssize_t n;
    while ((n = archive_read_data(archive_.get(), chunk, sizeof chunk)) > 0) sink(chunk, static_cast<std::size_t>(n));
    if (n < 0) Fail();
}

void TarReader::Finish() {
    if (!gzip_.Drain()) Fail();
}
