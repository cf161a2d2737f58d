#include "payloadguard.h"
#include "tarheader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

using tarheader::kBlock;
// GNU tar takes a long name or link target of any length; ours stop here.
const std::uint64_t kLongestName = 65536;

bool IsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::uint64_t Padded(std::uint64_t n) { return (n + kBlock - 1) / kBlock * kBlock; }

// A numeric header field read as GNU tar reads it: octal digits after blanks (one leading NUL
// allowed) and ending in a blank or NUL, or, where tar allows it, base 256 after a leading 0x80.
// An empty field is 0. Negative and base-64 values, which no payload of ours holds, count as
// unreadable.
bool Number(const unsigned char *p, std::size_t width, std::uint64_t &value, bool octalOnly = false) {
    const unsigned char *end = p + width;
    if (*p == '\0') ++p;
    while (p < end && IsSpace(*p)) ++p;
    if (p == end) return false;
    value = 0;
    if (*p == 0x80 && !octalOnly) {
        for (++p; p < end; ++p) {
            if (value >> 55) return false;
            value = value << 8 | *p;
        }
        return true;
    }
    for (; p < end && *p >= '0' && *p <= '7'; ++p) {
        if (value >> 60) return false;
        value = value * 8 + (*p - '0');
    }
    return p == end || *p == '\0' || IsSpace(*p);
}

// tar accepts the checksum, in octal only, as the sum of the header's bytes taken unsigned or
// signed, its own field counted as blanks. A header tar rejects must never pass here: tar would
// then search on block by block for one it likes, perhaps in what we take for data.
bool ChecksumFits(const unsigned char *h) {
    std::uint64_t recorded;
    using namespace tarheader;
    if (!Number(h + kChecksum, kChecksumSize, recorded, true)) return false;
    long long unsignedSum = 0, signedSum = 0;
    for (std::size_t i = 0; i < kBlock; ++i) {
        const unsigned char c = (i >= kChecksum && i < kChecksum + kChecksumSize) ? ' ' : h[i];
        unsignedSum += c;
        signedSum += static_cast<signed char>(c);
    }
    const auto r = static_cast<long long>(recorded);
    return r == unsignedSum || r == signedSum;
}

// tar's end-of-archive block: nothing but zeros.
bool IsZeroBlock(const unsigned char *h) {
    for (std::size_t i = 0; i < kBlock; ++i)
        if (h[i] != 0) return false;
    return true;
}

std::string Field(const unsigned char *p, std::size_t width) {
    const char *s = reinterpret_cast<const char *>(p);
    return std::string(s, strnlen(s, width));
}

// The name tar extracts under: a POSIX header (magic "ustar" and a NUL) joins its prefix field in
// front; GNU and older headers have no prefix.
std::string HeaderName(const unsigned char *h) {
    using namespace tarheader;
    std::string name = Field(h + kName, kNameSize);
    if (std::memcmp(h + kMagic, "ustar\0", kMagicSize) == 0) {
        const std::string prefix = Field(h + kPrefix, kPrefixSize);
        if (!prefix.empty()) name = prefix + "/" + name;
    }
    return name;
}

// What a header of this type flag is to the contract.
MemberType TypeOfFlag(unsigned char flag) {
    switch (flag) {
    case tarheader::kOldFile:
    case tarheader::kFile: return MemberType::File;
    case tarheader::kHardLink: return MemberType::HardLink;
    case tarheader::kSymlink: return MemberType::Symlink;
    case tarheader::kCharDevice: return MemberType::CharDevice;
    case tarheader::kBlockDevice: return MemberType::BlockDevice;
    case tarheader::kDirectory: return MemberType::Directory;
    case tarheader::kFifo: return MemberType::Fifo;
    default: return MemberType::Unknown;
    }
}

// What a header of a type the contract does not know is.
std::string DescribeFlag(unsigned char flag) {
    switch (flag) {
    case '7': return "a contiguous file";
    case 'x':
    case 'g': return "a pax extended header";
    case 'S': return "a sparse file";
    case 'D': return "a directory listing";
    case 'M': return "a continued member";
    case 'V': return "a volume label";
    default: break;
    }
    char what[32];
    std::snprintf(what, sizeof what, (flag > 0x20 && flag < 0x7f) ? "of type '%c'" : "of type \\%03o", flag);
    return what;
}

}  // namespace

PayloadGuard::PayloadGuard(Inflater::Decoder decoder) : inflater_(decoder) {}

PayloadGuard::~PayloadGuard() = default;

PayloadGuard::Verdict PayloadGuard::Inspect(const unsigned char *data, std::size_t n) {
    if (verdict_ != Verdict::Admit) return verdict_;
    if (ended_) {
        if (n > 0) Behind(data, n);
        return verdict_;
    }
    if (sealed_) return verdict_ = n > 0 ? Verdict::Damaged : verdict_;
    auto unpacked = [](void *self, const unsigned char *out, std::size_t k) {
        auto *guard = static_cast<PayloadGuard *>(self);
        guard->Unpacked(out, k);
        return guard->verdict_ == Verdict::Admit;
    };
    while (verdict_ == Verdict::Admit) {
        std::size_t used = 0;
        const Inflater::Result r = inflater_.Run(data, n, used, unpacked, this);
        data += used;
        n -= used;
        if (r == Inflater::Result::NeedInput || r == Inflater::Result::Stopped) break;
        if (r == Inflater::Result::MemberEnd) {
            // The payload is one gzip member. tar has seen the end of the archive, or sees it now.
            ended_ = true;
            if (n > 0) {
                Behind(data, n);
            } else {
                ArchiveEnd();
            }
            break;
        } else if (r == Inflater::Result::CheckFailed) {
            // Only the member's closing check failed: everything it held has been looked at.
            // gunzip gets the member and names the damage itself; nothing may follow.
            sealed_ = true;
            if (n > 0) verdict_ = Verdict::Damaged;
            break;
        } else {
            // Whatever gunzip would make of the rest, tar is not to see it unread.
            verdict_ = Verdict::Damaged;
        }
    }
    return verdict_;
}

void PayloadGuard::Behind(const unsigned char *data, std::size_t n) {
    // gunzip would read on into another member, or warn about the rest and fail: neither is ours.
    verdict_ = Verdict::Refused;
    if (data[0] == 0x1f && (n == 1 || data[1] == 0x8b)) {
        reason_ = "the payload holds more than one gzip member";
    } else if (std::all_of(data, data + n, [](unsigned char c) { return c == 0; })) {
        reason_ = "the payload's gzip member is followed by zeros";
    } else {
        reason_ = "the payload's gzip member is followed by bytes that are not gzip data";
    }
}

void PayloadGuard::ArchiveEnd() {
    const std::string breach = contract_.Finish();
    if (!breach.empty()) Refuse(breach);
}

void PayloadGuard::Unpacked(const unsigned char *data, std::size_t n) {
    while (n > 0 && verdict_ == Verdict::Admit) {
        std::size_t take;
        if (recordLeft_ > 0) {
            take = static_cast<std::size_t>(std::min<std::uint64_t>(recordLeft_, n));
            record_->append(reinterpret_cast<const char *>(data), take);
            recordLeft_ -= take;
        } else if (skip_ > 0) {
            take = static_cast<std::size_t>(std::min<std::uint64_t>(skip_, n));
            skip_ -= take;
        } else {
            take = std::min(kBlock - headerFill_, n);
            std::memcpy(header_ + headerFill_, data, take);
            headerFill_ += take;
            if (headerFill_ == kBlock) {
                headerFill_ = 0;
                Header(header_);
            }
        }
        data += take;
        n -= take;
    }
}

void PayloadGuard::Header(const unsigned char *h) {
    using namespace tarheader;
    // tar stops at the first zero block, or reads on past it when told to (--ignore-zeros): so do
    // we. Long names read before it are forgotten there, by tar as by us.
    if (IsZeroBlock(h)) {
        longNamePending_ = longLinkPending_ = false;
        ArchiveEnd();
        return;
    }
    std::uint64_t size, mode;
    if (!ChecksumFits(h) || !Number(h + kSize, kSizeSize, size) || !Number(h + kMode, kModeSize, mode)) {
        verdict_ = Verdict::Damaged;  // tar would skip ahead looking for a header we cannot follow
        return;
    }
    const unsigned char flag = h[kTypeFlag];
    if (flag == kLongName || flag == kLongLink) {
        if (size > kLongestName) {
            reason_ = std::string("a member's ") + (flag == kLongName ? "name" : "link target") + " runs longer than " +
                      std::to_string(kLongestName) + " bytes";
            verdict_ = Verdict::Refused;
            return;
        }
        record_ = flag == kLongName ? &longName_ : &longLink_;
        (flag == kLongName ? longNamePending_ : longLinkPending_) = true;
        record_->clear();
        recordLeft_ = size;
        skip_ = Padded(size) - size;
        return;
    }
    // A long name is a C string: tar reads it up to its first NUL.
    Entry entry;
    entry.name = longNamePending_ ? std::string(longName_.c_str()) : HeaderName(h);
    entry.link = longLinkPending_ ? std::string(longLink_.c_str()) : Field(h + kLinkName, kLinkNameSize);
    longNamePending_ = longLinkPending_ = false;
    entry.type = TypeOfFlag(flag);
    if (entry.type == MemberType::Unknown) entry.kind = DescribeFlag(flag);
    entry.permissions = static_cast<unsigned>(mode & 07777);

    const std::string breach = contract_.Add(entry);
    if (!breach.empty()) return Refuse(breach);
    // Only a regular file carries data; anything else that claimed some would put tar and us out of step.
    const bool directory = entry.type == MemberType::Directory || (!entry.name.empty() && entry.name.back() == '/');
    if (size != 0 && (entry.type != MemberType::File || directory)) {
        verdict_ = Verdict::Damaged;
        return;
    }
    skip_ = Padded(size);
}

void PayloadGuard::Refuse(const std::string &reason) {
    reason_ = reason;
    verdict_ = Verdict::Refused;
}
