// The members of a gzip'd tar, read by libarchive over a checked gzip layer.
#ifndef SONARIS_PACK_TARREADER_H
#define SONARIS_PACK_TARREADER_H

#include "format/rules.h"
#include "tools/gzipsource.h"
#include "tools/owners.h"
#include "posix/io.h"

#include <cstdint>
#include <functional>
#include <string>

// What a member read by libarchive is.
MemberType TypeOfEntry(struct archive_entry *entry);

class TarReader {
public:
    // Reads `length` bytes at `offset` of `fd`. Messages begin with `where` (the file) and call the
    // data `what` ("the payload", "the archive").
    TarReader(int fd, std::uint64_t offset, std::uint64_t length, bool singleMember, std::string where,
              std::string what);

    // The next member's header (valid until the next call), or null after the last member.
    struct archive_entry *Next();
    // Hands the current member's content to `sink` piece by piece.
    void ReadData(const std::function<void(const char *data, std::size_t n)> &sink);
    // Has `report` told the count of compressed bytes each read takes from the file.
    void OnRead(std::function<void(std::uint64_t n)> report) { gzip_.OnRead(std::move(report)); }
    // After the last member: checks everything behind it, to the end of the gzip stream.
    void Finish();

private:
    static la_ssize_t Supply(struct archive *a, void *self, const void **buffer) noexcept;
    [[noreturn]] void Fail();

    GzipSource gzip_;
    ArchiveReader archive_;
    std::string where_, what_;
    unsigned char buffer_[kCopyChunk];
};

#endif
