#include "tools/payloadwriter.h"
#include "format/rules.h"
#include "format/tarheader.h"
#include "tools/error.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

using namespace tarheader;

const std::size_t kRecordSize = 10240;

// One header in GNU tar's format, byte for byte as libarchive's GNU writer makes it (pack_test
// holds the two together), so that every tar reads it as it reads theirs: numbers in octal,
// NUL-ended; a size that octal cannot hold in base 256; times clamped to what octal holds. A name
// or link longer than its field goes in a record of its own.
class HeaderBlock {
public:
    explicit HeaderBlock(unsigned char type) {
        std::memset(bytes_, 0, sizeof bytes_);
        bytes_[kTypeFlag] = type;
        std::memcpy(bytes_ + kMagic, kGnuMagic, kMagicVersionSize);
    }
    void Name(const std::string &name) { std::memcpy(bytes_ + kName, name.data(), std::min(name.size(), kNameSize)); }
    void Link(const std::string &link) {
        std::memcpy(bytes_ + kLinkName, link.data(), std::min(link.size(), kLinkNameSize));
    }
    void Mode(unsigned mode) { Octal(kMode, kModeSize, mode); }
    void Owners() {
        Octal(kUid, kIdSize, 0);
        Octal(kGid, kIdSize, 0);
    }
    void Size(std::uint64_t size) {
        if (size <= kOctal11) return Octal(kSize, kSizeSize, size);
        bytes_[kSize] = 0x80;
        for (std::size_t i = kSizeSize - 1; i >= 1; --i, size >>= 8) bytes_[kSize + i] = static_cast<unsigned char>(size & 0xff);
    }
    void Mtime(std::int64_t t) {
        Octal(kMtime, kMtimeSize, static_cast<std::uint64_t>(std::clamp<std::int64_t>(t, 0, kOctal11)));
    }
    void Users(const char *user, const char *group) {
        std::memcpy(bytes_ + kUname, user, std::strlen(user));
        std::memcpy(bytes_ + kGname, group, std::strlen(group));
    }
    // Writes the checksum: the header's sum with its checksum field as blanks, then a blank after
    // the digits' NUL, as GNU tar leaves it.
    const unsigned char *Sealed() {
        std::memset(bytes_ + kChecksum, ' ', kChecksumSize);
        Octal(kChecksum, kChecksumSize - 1, SumHeader(bytes_).unsignedSum);
        return bytes_;
    }

private:
    static constexpr std::uint64_t kOctal11 = 077777777777;
    // `width` - 1 octal digits and a NUL.
    void Octal(std::size_t at, std::size_t width, std::uint64_t v) {
        bytes_[at + width - 1] = '\0';
        for (std::size_t i = width - 1; i-- > 0; v >>= 3) bytes_[at + i] = static_cast<unsigned char>('0' + (v & 7));
    }
    unsigned char bytes_[kBlock];
};

}  // namespace

PayloadWriter::PayloadWriter(int fd, std::uint64_t limit, std::string output, std::string source, unsigned jobs)
    : fd_(fd), limit_(limit), output_(std::move(output)), source_(std::move(source)),
      gzip_([this](const unsigned char *data, std::size_t n) { WriteGzip(data, n); }, jobs) {}

void PayloadWriter::WriteGzip(const unsigned char *data, std::size_t n) {
    if (written_ + n > limit_)
        throw PackError(source_ + ": the payload would exceed " + std::to_string(limit_) +
                        " bytes, more than an installer's trailer can announce");
    WriteAll(fd_, data, n, output_);
    written_ += n;
}

void PayloadWriter::Tar(const void *data, std::size_t n) {
    gzip_.Write(data, n);
    tar_ += n;
}

void PayloadWriter::Pad(std::size_t to) {
    static const char kZeros[kRecordSize] = {};
    Tar(kZeros, (to - tar_ % to) % to);
}

void PayloadWriter::Add(const Member &member) {
    const bool directory = member.type == MemberType::Directory;
    const std::string name = ArchiveName(member.name, directory);
    const std::string link = member.type == MemberType::HardLink ? ArchiveName(member.link, false)
                             : member.type == MemberType::Symlink ? member.link
                                                                  : std::string();
    // A name or link too long for its field goes first in a record of its own, the link's first.
    for (const auto &[type, text] : {std::make_pair(kLongLink, &link), std::make_pair(kLongName, &name)}) {
        if (text->size() <= kNameSize) continue;
        HeaderBlock record(type);
        record.Name("././@LongLink");
        record.Link(link);
        record.Mode(0);
        record.Owners();
        record.Size(text->size() + 1);
        record.Mtime(0);
        record.Users("root", "wheel");
        Tar(record.Sealed(), kBlock);
        Tar(text->c_str(), text->size() + 1);
        Pad(kBlock);
    }
    const unsigned char type = directory                             ? kDirectory
                               : member.type == MemberType::HardLink ? kHardLink
                               : member.type == MemberType::Symlink  ? kSymlink
                                                                     : kFile;
    HeaderBlock h(type);
    h.Name(name);
    h.Link(link);
    h.Mode(member.permissions & 0777);
    h.Owners();
    h.Size(member.type == MemberType::File ? member.size : 0);
    h.Mtime(member.mtime);
    Tar(h.Sealed(), kBlock);
    ++members_;
}

void PayloadWriter::Content(const void *data, std::size_t n) {
    Tar(data, n);
    if (onContent_) onContent_(n);
}

void PayloadWriter::Copy(int from, std::uint64_t offset, std::uint64_t n, const std::string &where) {
    char chunk[kCopyChunk];
    while (n > 0) {
        const ssize_t got = ReadAt(from, chunk, std::min<std::uint64_t>(sizeof chunk, n), offset);
        if (got < 0) throw SystemError(where, "cannot read");
        if (got == 0) throw PackError(where + ": shrank while being packed");
        Content(chunk, static_cast<std::size_t>(got));
        offset += static_cast<std::uint64_t>(got);
        n -= static_cast<std::uint64_t>(got);
    }
}

void PayloadWriter::EndFile() { Pad(kBlock); }

std::uint64_t PayloadWriter::Finish() {
    // Two zero blocks end the archive, and zeros fill its last record.
    Pad(kBlock);
    static const char kEnd[2 * kBlock] = {};
    Tar(kEnd, sizeof kEnd);
    Pad(kRecordSize);
    gzip_.Finish();
    return written_;
}
