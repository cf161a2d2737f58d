#include "tools/payloadwriter.h"
#include "format/rules.h"
#include "tools/error.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

const int kRecordSize = 10240;

void Check(struct archive *a, int status, const char *what) {
    if (status != ARCHIVE_OK) {
        const char *message = archive_error_string(a);
        throw PackError(std::string("libarchive cannot ") + what + ": " + (message ? message : "unknown error"));
    }
}

}  // namespace

PayloadWriter::PayloadWriter(int fd, std::uint64_t limit, std::string output, std::string source, unsigned jobs)
    : fd_(fd), limit_(limit), output_(std::move(output)), source_(std::move(source)),
      gzip_([this](const unsigned char *data, std::size_t n) { WriteGzip(data, n); }, jobs),
      tar_(archive_write_new()) {
    if (!tar_) throw PackError("out of memory");
    struct archive *t = tar_.get();
    Check(t, archive_write_set_format_gnutar(t), "write GNU tar");
    Check(t, archive_write_set_bytes_per_block(t, kRecordSize), "set the record size");
    Check(t, archive_write_set_bytes_in_last_block(t, kRecordSize), "pad the last record");
    Check(t, archive_write_open2(t, this, nullptr, &PayloadWriter::WriteTar, nullptr, nullptr), "open the tar");
}

PayloadWriter::~PayloadWriter() {
    // Freeing an unfinished tar closes it, and that writes its end; nothing more goes out.
    abandoned_ = true;
}

la_ssize_t PayloadWriter::WriteTar(struct archive *a, void *data, const void *bytes, size_t n) noexcept {
    auto *self = static_cast<PayloadWriter *>(data);
    if (self->abandoned_ || self->failure_) {
        archive_set_error(a, EIO, "the payload has failed");
        return -1;
    }
    try {
        self->gzip_.Write(bytes, n);
        return static_cast<la_ssize_t>(n);
    } catch (...) {
        self->failure_ = std::current_exception();
        archive_set_error(a, EIO, "the payload has failed");
        return -1;
    }
}

void PayloadWriter::WriteGzip(const unsigned char *data, std::size_t n) {
    if (written_ + n > limit_)
        throw PackError(source_ + ": the payload would exceed " + std::to_string(limit_) +
                        " bytes, more than an installer's trailer can announce");
    WriteAll(fd_, data, n, output_);
    written_ += n;
}

void PayloadWriter::Fail() {
    if (failure_) std::rethrow_exception(failure_);
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
    ++members_;
}

void PayloadWriter::AddDirectory(const Member &member) { Header(member); }

void PayloadWriter::AddLink(const Member &member) { Header(member); }

void PayloadWriter::AddFile(const Member &member, int from, std::uint64_t offset, const std::string &where) {
    Header(member);
    char chunk[kCopyChunk];
    std::uint64_t left = member.size;
    while (left > 0) {
        const ssize_t n = ReadAt(from, chunk, std::min<std::uint64_t>(sizeof chunk, left), offset);
        if (n < 0) throw SystemError(where, "cannot read");
        if (n == 0) throw PackError(where + ": shrank while being packed");
        if (archive_write_data(tar_.get(), chunk, static_cast<std::size_t>(n)) != n) Fail();
        if (onContent_) onContent_(static_cast<std::uint64_t>(n));
        offset += static_cast<std::uint64_t>(n);
        left -= static_cast<std::uint64_t>(n);
    }
}

std::uint64_t PayloadWriter::Finish() {
    if (archive_write_close(tar_.get()) != ARCHIVE_OK) Fail();
    gzip_.Finish();
    return written_;
}
