#include "payloadwriter.h"
#include "contract.h"
#include "error.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

const int kRecordSize = 10240;

void Check(struct archive *a, int status, const char *what) {
    if (status != ARCHIVE_OK) {
        const char *message = archive_error_string(a);
        throw PackError(std::string("libarchive cannot ") + what + ": " + (message ? message : "unknown error"));
    }
}

}  // namespace

PayloadWriter::PayloadWriter(int fd, std::uint64_t limit, std::string output, std::string source)
    : fd_(fd), limit_(limit), output_(std::move(output)), source_(std::move(source)), gzip_(archive_write_new()),
      tar_(archive_write_new()) {
    if (!gzip_ || !tar_) throw PackError("out of memory");
    struct archive *g = gzip_.get();
    Check(g, archive_write_set_format_raw(g), "write raw data");
    Check(g, archive_write_add_filter_gzip(g), "write gzip");
    Check(g, archive_write_set_filter_option(g, "gzip", "compression-level", "9"), "set the compression level");
    // No time in the gzip header (a null value turns an option off); libarchive writes no name.
    Check(g, archive_write_set_filter_option(g, "gzip", "timestamp", nullptr), "leave out the gzip time");
    Check(g, archive_write_set_bytes_in_last_block(g, 1), "leave the gzip stream unpadded");
    Check(g, archive_write_open2(g, this, nullptr, &PayloadWriter::WriteGzip, nullptr, nullptr), "open the payload");
    ArchiveEntry stream(archive_entry_new());
    archive_entry_set_filetype(stream.get(), AE_IFREG);
    archive_entry_set_pathname(stream.get(), "payload");
    Check(g, archive_write_header(g, stream.get()), "start the payload");

    struct archive *t = tar_.get();
    Check(t, archive_write_set_format_gnutar(t), "write GNU tar");
    Check(t, archive_write_set_bytes_per_block(t, kRecordSize), "set the record size");
    Check(t, archive_write_set_bytes_in_last_block(t, kRecordSize), "pad the last record");
    Check(t, archive_write_open2(t, this, nullptr, &PayloadWriter::WriteTar, nullptr, nullptr), "open the tar");
}

la_ssize_t PayloadWriter::WriteTar(struct archive *a, void *data, const void *bytes, size_t n) noexcept {
    auto *self = static_cast<PayloadWriter *>(data);
    const la_ssize_t r = archive_write_data(self->gzip_.get(), bytes, n);
    if (r < 0) {
        const char *message = archive_error_string(self->gzip_.get());
        archive_set_error(a, EIO, "%s", message ? message : "cannot compress");
    }
    return r;
}

la_ssize_t PayloadWriter::WriteGzip(struct archive *a, void *data, const void *bytes, size_t n) noexcept {
    auto *self = static_cast<PayloadWriter *>(data);
    if (self->written_ + n > self->limit_) {
        self->overLimit_ = true;
        archive_set_error(a, EFBIG, "payload too large");
        return -1;
    }
    const char *p = static_cast<const char *>(bytes);
    std::size_t left = n;
    while (left > 0) {
        const ssize_t w = write(self->fd_, p, left);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            const int error = w < 0 ? errno : ENOSPC;
            self->writeFault_ = std::strerror(error);
            archive_set_error(a, error, "%s", self->writeFault_.c_str());
            return -1;
        }
        p += w;
        left -= static_cast<std::size_t>(w);
    }
    self->written_ += n;
    return static_cast<la_ssize_t>(n);
}

void PayloadWriter::Fail() {
    if (overLimit_)
        throw PackError(source_ + ": the payload would exceed " + std::to_string(limit_) +
                        " bytes, more than an installer's trailer can announce");
    if (!writeFault_.empty()) throw PackError(output_ + ": cannot write: " + writeFault_);
    const char *message = archive_error_string(tar_.get());
    throw PackError(output_ + ": cannot write the payload: " + (message ? message : "unknown error"));
}

void PayloadWriter::Header(const Member &member) {
    ArchiveEntry entry(archive_entry_new());
    if (!entry) throw PackError("out of memory");
    const bool directory = member.type == MemberType::Directory;
    archive_entry_set_pathname(entry.get(), ArchiveName(member.name, directory).c_str());
    switch (member.type) {
    case MemberType::Directory: archive_entry_set_filetype(entry.get(), AE_IFDIR); break;
    case MemberType::Symlink:
        archive_entry_set_filetype(entry.get(), AE_IFLNK);
        archive_entry_set_symlink(entry.get(), member.link.c_str());
        break;
    case MemberType::HardLink:
        // A hard link header names the file it links to and carries no content.
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        archive_entry_set_hardlink(entry.get(), ArchiveName(member.link, false).c_str());
        break;
    default: archive_entry_set_filetype(entry.get(), AE_IFREG); break;
    }
    archive_entry_set_perm(entry.get(), member.permissions & 0777);
    archive_entry_set_size(entry.get(), member.type == MemberType::File ? static_cast<la_int64_t>(member.size) : 0);
    archive_entry_set_mtime(entry.get(), member.mtime, 0);
    archive_entry_set_uid(entry.get(), 0);
    archive_entry_set_gid(entry.get(), 0);
    if (archive_write_header(tar_.get(), entry.get()) != ARCHIVE_OK) Fail();
}

void PayloadWriter::AddDirectory(const Member &member) { Header(member); }

void PayloadWriter::AddLink(const Member &member) { Header(member); }

void PayloadWriter::AddFile(const Member &member, int from, std::uint64_t offset, const std::string &where) {
    Header(member);
    char chunk[1 << 16];
    std::uint64_t left = member.size;
    while (left > 0) {
        const ssize_t n = pread(from, chunk, std::min<std::uint64_t>(sizeof chunk, left), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw SystemError(where, "cannot read");
        if (n == 0) throw PackError(where + ": shrank while being packed");
        if (archive_write_data(tar_.get(), chunk, static_cast<std::size_t>(n)) != n) Fail();
        offset += static_cast<std::uint64_t>(n);
        left -= static_cast<std::uint64_t>(n);
    }
}

std::uint64_t PayloadWriter::Finish() {
    if (archive_write_close(tar_.get()) != ARCHIVE_OK) Fail();
    if (archive_write_close(gzip_.get()) != ARCHIVE_OK) {
        if (overLimit_ || !writeFault_.empty()) Fail();
        const char *message = archive_error_string(gzip_.get());
        throw PackError(output_ + ": cannot finish the payload: " + (message ? message : "unknown error"));
    }
    return written_;
}
