#include "format/payloadguard.h"
#include "format/tarheader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

using tarheader::kBlock;
// GNU tar takes a long name or link target of any length; ours stop here.
const std::uint64_t kLongestName = 65536;

std::uint64_t Padded(std::uint64_t n) { return (n + kBlock - 1) / kBlock * kBlock; }

// A numeric header field as every tar writes it and reads it alike: blanks, octal digits, then
// blanks or NULs to the field's end. No digits at all reads as 0 (a field of NULs); base 256,
// which nothing in a payload needs, and anything else, are refused.
bool Octal(const unsigned char *p, std::size_t width, std::uint64_t &value) {
    std::size_t i = 0;
    while (i < width && p[i] == ' ') ++i;
    if (i == width) return false;
    value = 0;
    for (; i < width && p[i] >= '0' && p[i] <= '7'; ++i) {
        if (value >> 60) return false;
        value = value * 8 + (p[i] - '0');
    }
    for (; i < width; ++i)
        if (p[i] != ' ' && p[i] != '\0') return false;
    return true;
}

// tar accepts the checksum as the sum of the header's bytes taken unsigned or signed, its own
// field counted as blanks.
bool ChecksumFits(const unsigned char *h, std::uint64_t recorded) {
    long long unsignedSum = 0, signedSum = 0;
    for (std::size_t i = 0; i < kBlock; ++i) {
        const unsigned char c = (i >= tarheader::kChecksum && i < tarheader::kChecksum + tarheader::kChecksumSize) ? ' ' : h[i];
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

PayloadGuard::Verdict PayloadGuard::Inspect(const unsigned char *data, std::size_t n) {
    if (verdict_ == Verdict::Admit) Unpacked(data, n);
    return verdict_;
}

PayloadGuard::Verdict PayloadGuard::End() {
    if (verdict_ != Verdict::Admit) return verdict_;
    if (!archiveEnded_ && (headerFill_ > 0 || skip_ > 0 || recordLeft_ > 0)) {
        Refuse("the payload's tar archive is cut short");  // tar fails on it
    } else {
        ArchiveEnd();
    }
    return verdict_;
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
            record_.append(reinterpret_cast<const char *>(data), take);
            recordLeft_ -= take;
            if (recordLeft_ == 0) RecordRead();
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

namespace {

// The pax keywords that tar applies; any other is refused rather than read one way by one tar and
// another way, or not at all, by the next.
bool Decimal(const std::string &v, bool time) {
    std::size_t i = time && !v.empty() && v[0] == '-' ? 1 : 0;
    const std::size_t digits = i;
    while (i < v.size() && v[i] >= '0' && v[i] <= '9') ++i;
    if (i == digits || i - digits > 18) return false;
    if (time && i < v.size() && v[i] == '.') {
        const std::size_t fraction = ++i;
        while (i < v.size() && v[i] >= '0' && v[i] <= '9') ++i;
        if (i == fraction) return false;
    }
    return i == v.size();
}

}  // namespace

// A pax header's records, "LENGTH KEYWORD=VALUE\n" each; their values go to the next member
// ('x'). A global header ('g') may carry only what changes no member's name, target or size: tars
// differ on whether they apply it at all.
bool PayloadGuard::Pax(const std::string &data, bool global) {
    const std::string header = "the pax " + std::string(global ? "global" : "extended") + " header " + Printable(recordName_);
    for (std::size_t at = 0; at < data.size();) {
        std::size_t i = at, length = 0;
        while (i < data.size() && data[i] >= '0' && data[i] <= '9' && length < (1u << 30)) length = length * 10 + (data[i++] - '0');
        const std::size_t equals = data.find('=', i);
        if (i == at || i >= data.size() || data[i] != ' ' || length > data.size() - at || data[at + length - 1] != '\n' ||
            equals == std::string::npos || equals >= at + length) {
            Refuse(header + " holds a malformed record");
            return false;
        }
        const std::string keyword = data.substr(i + 1, equals - i - 1);
        const std::string value = data.substr(equals + 1, at + length - 1 - equals - 1);
        at += length;
        // hdrcharset (bsdtar writes it for names it cannot take as UTF-8) only says how tar may
        // convert the names' bytes to the user's character set, which keeps "/" and ".".
        const bool known = keyword == "path" || keyword == "linkpath" || keyword == "size" || keyword == "mtime" ||
                           keyword == "atime" || keyword == "ctime" || keyword == "uid" || keyword == "gid" ||
                           keyword == "uname" || keyword == "gname" || keyword == "hdrcharset";
        if (!known) {
            Refuse(header + " holds the keyword " + Printable(keyword, 64) + ", which the installer does not take");
            return false;
        }
        if (global && (keyword == "path" || keyword == "linkpath" || keyword == "size")) {
            Refuse(header + " sets " + keyword + " for every member behind it");
            return false;
        }
        bool sound = !value.empty() && value.find('\0') == std::string::npos;
        if (keyword == "size" || keyword == "uid" || keyword == "gid") {
            sound = sound && Decimal(value, false);
        } else if (keyword == "mtime" || keyword == "atime" || keyword == "ctime") {
            sound = sound && Decimal(value, true);
        } else if (keyword == "uname" || keyword == "gname") {
            sound = sound && Printable(value) == value;
        } else if (keyword == "hdrcharset") {
            sound = value == "BINARY" || value == "ISO-IR 10646 2000 UTF-8";
        }
        if (!sound) {
            Refuse(header + " holds a malformed " + keyword + " value");
            return false;
        }
        if (keyword == "path") {
            local_.hasName = true;
            local_.name = value;
        } else if (keyword == "linkpath") {
            local_.hasLink = true;
            local_.link = value;
        } else if (keyword == "size") {
            local_.hasSize = true;
            local_.size = std::stoull(value);
        } else {
            // Owners apply to the next member ('x') or to every member behind ('g').
            Overrides &o = global ? global_ : local_;
            if (keyword == "uid") o.hasUid = true, o.uid = std::stoull(value);
            if (keyword == "gid") o.hasGid = true, o.gid = std::stoull(value);
            if (keyword == "uname") o.hasUname = true, o.uname = value;
            if (keyword == "gname") o.hasGname = true, o.gname = value;
        }
    }
    return true;
}

void PayloadGuard::RecordRead() {
    using namespace tarheader;
    if (recordType_ == 'x' || recordType_ == 'g') {
        if (Pax(record_, recordType_ == 'g') && recordType_ == 'x') localPending_ = true;
        return;
    }
    // A GNU long name or link target: a C string, its NUL counted in the size.
    const std::size_t end = record_.find_last_not_of('\0');
    record_.resize(end == std::string::npos ? 0 : end + 1);
    if (record_.find('\0') != std::string::npos) {
        Refuse("a GNU long " + std::string(recordType_ == kLongName ? "name" : "link") + " record holds a NUL inside its name");
        return;
    }
    if (recordType_ == kLongName) {
        longNames_.hasName = true;
        longNames_.name = record_;
    } else {
        longNames_.hasLink = true;
        longNames_.link = record_;
    }
}

void PayloadGuard::Header(const unsigned char *h) {
    using namespace tarheader;
    // tar stops at the first zero block, or reads on past it when told to (--ignore-zeros): so do
    // we. Records read before it are forgotten there, by tar as by us.
    archiveEnded_ = IsZeroBlock(h);
    if (archiveEnded_) {
        longNames_ = Overrides();
        local_ = Overrides();
        localPending_ = false;
        ArchiveEnd();
        return;
    }
    const std::string headerName = Printable(HeaderName(h));
    const std::string member = "member " + headerName;
    // Only the formats every tar knows: POSIX ustar, GNU, and the old one without a magic.
    const bool ustar = std::memcmp(h + kMagic, "ustar\0" "00", 8) == 0;
    if (!ustar && std::memcmp(h + kMagic, "ustar  \0", 8) != 0 && !std::all_of(h + kMagic, h + kMagic + 8, [](unsigned char c) { return c == 0; }))
        return Refuse(member + " has a header of no tar format that every tar reads alike");
    std::uint64_t checksum, size, mode, uid, gid, number;
    if (!Octal(h + kChecksum, kChecksumSize, checksum) || !ChecksumFits(h, checksum))
        return Refuse(member + " has a header whose checksum does not fit");
    struct {
        std::size_t at, width;
        const char *what;
        std::uint64_t *value;
    } const fields[] = {{kMode, kModeSize, "mode", &mode}, {kUid, kIdSize, "owner", &uid}, {kGid, kIdSize, "group", &gid},
                        {kSize, kSizeSize, "size", &size}, {136, 12, "time", &number}};
    for (const auto &f : fields)
        if (!Octal(h + f.at, f.width, *f.value))
            return Refuse(member + " has a header whose " + f.what + " field is not in plain octal");

    const unsigned char flag = h[kTypeFlag];
    if (flag == kLongName || flag == kLongLink || flag == 'x' || flag == 'g') {
        const bool pax = flag == 'x' || flag == 'g';
        // One record of a kind in front of a member, and GNU records and pax headers not mixed:
        // tars settle such conflicts differently.
        if ((flag == kLongName && longNames_.hasName) || (flag == kLongLink && longNames_.hasLink) ||
            (flag == 'x' && localPending_) || (pax && (longNames_.hasName || longNames_.hasLink)) ||
            (!pax && localPending_))
            return Refuse(member + " is a record in front of a member that already has one");
        const std::uint64_t limit = pax ? 1 << 20 : kLongestName;
        if (size > limit)
            return Refuse(member + " is a record longer than " + std::to_string(limit) + " bytes");
        recordType_ = flag;
        recordName_ = HeaderName(h);
        record_.clear();
        recordLeft_ = size;
        skip_ = Padded(size) - size;
        if (size == 0) RecordRead();
        return;
    }

    Entry entry;
    entry.name = longNames_.hasName ? longNames_.name : HeaderName(h);
    entry.link = longNames_.hasLink ? longNames_.link : Field(h + kLinkName, kLinkNameSize);
    entry.uid = uid;
    entry.gid = gid;
    if (std::memcmp(h + kMagic, "ustar", 5) == 0) {
        entry.uname = Field(h + kUname, kOwnerNameSize);
        entry.gname = Field(h + kGname, kOwnerNameSize);
    }
    for (const Overrides *o : {&global_, localPending_ ? &local_ : nullptr}) {
        if (!o) continue;
        if (o->hasUid) entry.uid = o->uid;
        if (o->hasGid) entry.gid = o->gid;
        if (o->hasUname) entry.uname = o->uname;
        if (o->hasGname) entry.gname = o->gname;
    }
    if (localPending_) {
        if (local_.hasName) entry.name = local_.name;
        if (local_.hasLink) entry.link = local_.link;
        if (local_.hasSize) size = local_.size;
    }
    longNames_ = Overrides();
    local_ = Overrides();
    localPending_ = false;
    entry.type = TypeOfFlag(flag);
    // Every tar makes a directory of a regular file whose name ends in "/", as old tars wrote them.
    if (entry.type == MemberType::File && !entry.name.empty() && entry.name.back() == '/') entry.type = MemberType::Directory;
    if (entry.type == MemberType::Unknown) entry.kind = DescribeFlag(flag);
    if (entry.type != MemberType::Symlink && entry.type != MemberType::HardLink) entry.link.clear();
    // tar takes the permission bits; older tars write the file type's bits in front of them.
    entry.permissions = static_cast<unsigned>(mode & 07777);

    const std::string breach = contract_.Add(entry);
    if (!breach.empty()) return Refuse(breach);
    // Only a regular file carries data; anything else that claimed some would put tars out of step.
    if (size != 0 && entry.type != MemberType::File)
        return Refuse("member " + Printable(entry.name) + " is " + DescribeType(entry.type) + " that claims data");
    skip_ = Padded(size);
}

void PayloadGuard::Refuse(const std::string &reason) {
    reason_ = reason;
    verdict_ = Verdict::Refused;
}
