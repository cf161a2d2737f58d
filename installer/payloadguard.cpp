#include "payloadguard.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

const std::size_t kBlock = 512;
// GNU tar takes a long name of any length; ours stop here.
const std::uint64_t kLongestName = 65536;
const char kOnlyFilesAndDirectories[] = "; only directories and regular files may be installed";

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
    if (!Number(h + 148, 8, recorded, true)) return false;
    long long unsignedSum = 0, signedSum = 0;
    for (std::size_t i = 0; i < kBlock; ++i) {
        const unsigned char c = (i >= 148 && i < 156) ? ' ' : h[i];
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
    std::string name = Field(h, 100);
    if (std::memcmp(h + 257, "ustar\0", 6) == 0) {
        const std::string prefix = Field(h + 345, 155);
        if (!prefix.empty()) name = prefix + "/" + name;
    }
    return name;
}

bool HasDotDot(const std::string &name) {
    for (std::size_t start = 0; start <= name.size();) {
        std::size_t slash = name.find('/', start);
        if (slash == std::string::npos) slash = name.size();
        if (slash - start == 2 && name.compare(start, 2, "..") == 0) return true;
        start = slash + 1;
    }
    return false;
}

std::string DescribeType(unsigned char type) {
    switch (type) {
    case '1': return "a hard link";
    case '2': return "a symbolic link";
    case '3': return "a character device";
    case '4': return "a block device";
    case '6': return "a fifo";
    case '7': return "a contiguous file";
    case 'x':
    case 'g': return "a pax extended header";
    case 'K': return "a long link name";
    case 'S': return "a sparse file";
    case 'D': return "a directory listing";
    case 'M': return "a continued member";
    case 'V': return "a volume label";
    default: break;
    }
    char what[32];
    std::snprintf(what, sizeof what, (type > 0x20 && type < 0x7f) ? "of type '%c'" : "of type \\%03o", type);
    return what;
}

// A name as one line of a message: control characters and backslashes escaped, kept short.
std::string Printable(const std::string &name) {
    std::string out;
    for (unsigned char c : name.substr(0, 1024)) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\%03o", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return name.size() > 1024 ? out + "..." : out;
}

}  // namespace

PayloadGuard::PayloadGuard(Inflater::Decoder decoder) : inflater_(decoder) {}

PayloadGuard::~PayloadGuard() = default;

PayloadGuard::Verdict PayloadGuard::Inspect(const unsigned char *data, std::size_t n) {
    if (verdict_ != Verdict::Admit) return verdict_;
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
            // gunzip reads on into a member that follows; anything else is caught as damage there.
            if (n == 0) break;
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

void PayloadGuard::Unpacked(const unsigned char *data, std::size_t n) {
    while (n > 0 && verdict_ == Verdict::Admit) {
        std::size_t take;
        if (nameLeft_ > 0) {
            take = static_cast<std::size_t>(std::min<std::uint64_t>(nameLeft_, n));
            longName_.append(reinterpret_cast<const char *>(data), take);
            nameLeft_ -= take;
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
    // tar stops at the first zero block, or reads on past it when told to (--ignore-zeros): so do
    // we. A long name read before it is forgotten there, by tar as by us.
    if (IsZeroBlock(h)) {
        longNamePending_ = false;
        return;
    }
    std::uint64_t size;
    if (!ChecksumFits(h) || !Number(h + 124, 12, size)) {
        verdict_ = Verdict::Damaged;  // tar would skip ahead looking for a header we cannot follow
        return;
    }
    const unsigned char type = h[156];
    if (type == 'L') {
        if (size > kLongestName) {
            reason_ = "a member's name runs longer than " + std::to_string(kLongestName) + " bytes";
            verdict_ = Verdict::Refused;
            return;
        }
        longName_.clear();
        longNamePending_ = true;
        nameLeft_ = size;
        skip_ = Padded(size) - size;
        return;
    }
    // A long name is a C string: tar reads it up to its first NUL.
    const std::string name = longNamePending_ ? std::string(longName_.c_str()) : HeaderName(h);
    longNamePending_ = false;

    if (!name.empty() && name[0] == '/') return Refuse(name, "has an absolute name");
    if (HasDotDot(name)) return Refuse(name, "has a \"..\" component");
    if (type != '0' && type != '\0' && type != '5')
        return Refuse(name, "is " + DescribeType(type) + kOnlyFilesAndDirectories);
    // A directory carries no data; one that claimed some would put tar and us out of step.
    if (size != 0 && (type == '5' || (!name.empty() && name.back() == '/'))) {
        verdict_ = Verdict::Damaged;
        return;
    }
    skip_ = Padded(size);
}

void PayloadGuard::Refuse(const std::string &name, const std::string &what) {
    reason_ = "member " + Printable(name) + " " + what;
    verdict_ = Verdict::Refused;
}
