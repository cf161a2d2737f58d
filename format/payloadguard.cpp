#include "format/payloadguard.h"
#include "format/tarheader.h"
#include "posix/io.h"
#include "posix/path.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

using tarheader::kBlock;
// GNU tar takes a long name or link target of any length; ours stop here.
const std::uint64_t kLongestName = 64 * kKiB;

std::uint64_t Padded(std::uint64_t n) { return (n + kBlock - 1) / kBlock * kBlock; }

// A numeric header field as every tar writes it and reads it alike: blanks, octal digits, then
// blanks or NULs to the field's end. No digits at all reads as 0 (a field of NULs); anything else
// is refused here.
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

enum class Number { Read, Malformed, Negative, TooLarge };

// An owner, group or size field as GNU tar, bsdtar and busybox read it: plain octal, or base 256
// (the first byte's top bit set, then the value big-endian) for values the octal digits cannot
// hold, or, for the owner and group, all blanks, read as 0. A negative base-256 value (the first
// byte's next bit set too) and one above `largest` stay refused.
Number WideNumber(const unsigned char *p, std::size_t width, bool blankIsZero, std::uint64_t largest, std::uint64_t &value) {
    if (p[0] & 0x80) {
        if (p[0] & 0x40) return Number::Negative;
        value = p[0] & 0x3f;
        for (std::size_t i = 1; i < width; ++i) {
            if (value >> 56) return Number::TooLarge;
            value = value << 8 | p[i];
        }
        return value > largest ? Number::TooLarge : Number::Read;
    }
    if (blankIsZero && std::all_of(p, p + width, [](unsigned char c) { return c == ' '; })) {
        value = 0;
        return Number::Read;
    }
    if (!Octal(p, width, value)) return Number::Malformed;
    return value > largest ? Number::TooLarge : Number::Read;
}

// tar accepts the checksum as the sum of the header's bytes taken unsigned or signed.
bool ChecksumFits(const unsigned char *h, std::uint64_t recorded) {
    const tarheader::HeaderSums sums = tarheader::SumHeader(h);
    const auto r = static_cast<long long>(recorded);
    return r == static_cast<long long>(sums.unsignedSum) || r == sums.signedSum;
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
    if (std::memcmp(h + kMagic, kPosixMagic, kMagicSize) == 0) {
        const std::string prefix = Field(h + kPrefix, kPrefixSize);
        if (!prefix.empty()) name = prefix + "/" + name;
    }
    return name;
}

// What a header of this type flag is to the rules.
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

// What a header of a type the rules do not know is.
std::string DescribeFlag(unsigned char flag) {
    switch (flag) {
    case tarheader::kContiguous: return "a contiguous file";
    case tarheader::kGnuSparse: return "a sparse file";
    case tarheader::kGnuDumpDir: return "a directory listing";
    case tarheader::kGnuMultiVolume: return "a continued member";
    case tarheader::kGnuVolumeLabel: return "a volume label";
    default: break;
    }
    char what[32];
    std::snprintf(what, sizeof what, (flag > 0x20 && flag < 0x7f) ? "of type '%c'" : "of type \\%03o", flag);
    return what;
}

}  // namespace

PayloadGuard::Verdict PayloadGuard::Inspect(const unsigned char *data, std::size_t n) {
    if (verdict_ == Verdict::Sound) Unpacked(data, n);
    return verdict_;
}

PayloadGuard::Verdict PayloadGuard::End() {
    if (verdict_ != Verdict::Sound) return verdict_;
    if (!archiveEnded_ && (headerFill_ > 0 || skip_ > 0 || recordLeft_ > 0)) {
        // tar fails on it
        const std::string where = headerFill_ == 0 ? MemberLabel(reading_)
                                  : started_      ? "the header after " + MemberLabel(reading_)
                                                  : std::string("its first header");
        Refuse(Say(Rule::CutShort, {where}));
    } else {
        ArchiveEnd();
    }
    return verdict_;
}

void PayloadGuard::ArchiveEnd() {
    BrokenRule broken = rules_.Finish();
    if (broken) Refuse(std::move(broken));
}

void PayloadGuard::Unpacked(const unsigned char *data, std::size_t n) {
    while (n > 0 && verdict_ == Verdict::Sound) {
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

// The largest owner or group number Linux takes ((uid_t) -1 means none), and the largest size.
const std::uint64_t kLargestId = 0xfffffffeu;
const std::uint64_t kLargestSize = 0x7fffffffffffffffu;
// A sparse file's map in front of its data (the pax 1.0 form) is read up to this length.
const std::uint64_t kLongestSparseMap = kMiB;
// A pax header is read up to this length.
const std::uint64_t kLongestPaxHeader = kMiB;

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

// Decimal numbers split by `separator`, as GNU.sparse.map holds them; false for anything else.
bool Decimals(const std::string &v, char separator, std::vector<std::uint64_t> &out) {
    for (std::size_t start = 0; start <= v.size();) {
        std::size_t end = v.find(separator, start);
        if (end == std::string::npos) end = v.size();
        const std::string part = v.substr(start, end - start);
        if (!Decimal(part, false)) return false;
        out.push_back(std::stoull(part));
        start = end + 1;
    }
    return true;
}

// What a pax record does, and the form its value must have.
enum class Use {
    Ignored, Path, LinkPath, Size, Time, Uid, Gid, Uname, Gname, Charset,
    SparseMajor, SparseMinor, SparseName, SparseReal, SparseCount, SparseOffset, SparseLength, SparseMap,
};
enum class Form {
    None,       // not read
    Text,       // anything but a NUL
    Number,     // decimal digits
    Time,       // decimal seconds, a sign and a fraction allowed
    OwnerName,  // printable text
    Charset,    // one of the two names pax gives
    Map,        // decimal numbers split by commas, in pairs
};

struct PaxKeyword {
    const char *keyword;
    Use use;
    Form form;
    bool forEvery;  // a global header may carry it: it changes no member's name, target or size
};

// The pax keywords the installer takes; any other is refused, not read one way by one tar and
// another way by the next (file flags: SCHILY.fflags can make a file immutable; devices, volumes),
// but for the extended attributes and ACLs of rules.h. The ignored ones change no name, type,
// size, link or mode of what any tar writes: comments, star's and libarchive's device, inode,
// link-count, release and creation-time records (GNU tar keeps them as information or ignores them
// with a warning, bsdtar cannot set a creation time on Linux). hdrcharset (bsdtar writes it for
// names it cannot take as UTF-8) only says how tar may convert the names' bytes to the user's
// character set, which keeps "/" and ".".
const PaxKeyword kKeywords[] = {
    {"comment", Use::Ignored, Form::None, true},
    {"SCHILY.dev", Use::Ignored, Form::None, true},
    {"SCHILY.ino", Use::Ignored, Form::None, true},
    {"SCHILY.nlink", Use::Ignored, Form::None, true},
    {"SCHILY.release", Use::Ignored, Form::None, true},
    {"LIBARCHIVE.creationtime", Use::Ignored, Form::None, true},
    {"path", Use::Path, Form::Text, false},
    {"linkpath", Use::LinkPath, Form::Text, false},
    {"size", Use::Size, Form::Number, false},
    {"mtime", Use::Time, Form::Time, true},
    {"atime", Use::Time, Form::Time, true},
    {"ctime", Use::Time, Form::Time, true},
    {"uid", Use::Uid, Form::Number, true},
    {"gid", Use::Gid, Form::Number, true},
    {"uname", Use::Uname, Form::OwnerName, true},
    {"gname", Use::Gname, Form::OwnerName, true},
    {"hdrcharset", Use::Charset, Form::Charset, true},
    {"GNU.sparse.major", Use::SparseMajor, Form::Number, false},
    {"GNU.sparse.minor", Use::SparseMinor, Form::Number, false},
    {"GNU.sparse.name", Use::SparseName, Form::Text, false},
    {"GNU.sparse.realsize", Use::SparseReal, Form::Number, false},
    {"GNU.sparse.size", Use::SparseReal, Form::Number, false},
    {"GNU.sparse.numblocks", Use::SparseCount, Form::Number, false},
    {"GNU.sparse.offset", Use::SparseOffset, Form::Number, false},
    {"GNU.sparse.numbytes", Use::SparseLength, Form::Number, false},
    {"GNU.sparse.map", Use::SparseMap, Form::Map, false},
};

const PaxKeyword *FindKeyword(const std::string &keyword) {
    for (const PaxKeyword &k : kKeywords)
        if (keyword == k.keyword) return &k;
    return nullptr;
}

// Whether `value` has the form `form` asks; `numbers` gets a map's.
bool HasForm(Form form, const std::string &value, std::vector<std::uint64_t> &numbers) {
    if (form == Form::Charset) return value == "BINARY" || value == "ISO-IR 10646 2000 UTF-8";
    if (value.empty() || value.find('\0') != std::string::npos) return false;
    switch (form) {
    case Form::Number: return Decimal(value, false);
    case Form::Time: return Decimal(value, true);
    case Form::OwnerName: return Printable(value) == value;
    case Form::Map: return Decimals(value, ',', numbers) && numbers.size() % 2 == 0;
    default: return true;
    }
}

bool IsSparseKeyword(const std::string &keyword) {
    static const char kSparse[] = "GNU.sparse.";
    return keyword.compare(0, sizeof kSparse - 1, kSparse) == 0;
}

// "the extended header ./PaxHeaders/x", "the global extended header ...".
std::string HeaderLabel(const std::string &name, bool global) {
    const std::string kind = global ? "global extended header" : "extended header";
    return name.empty() ? "an " + kind + " with an empty name" : "the " + kind + " " + Printable(name);
}

}  // namespace

// A pax header's records, "LENGTH KEYWORD=VALUE\n" each; their values go to the next member
// ('x'). A global header ('g') may carry only what changes no member's name, target or size: tars
// differ on whether they apply it at all.
bool PayloadGuard::Pax(const std::string &data, bool global) {
    const std::string header = HeaderLabel(recordName_, global);
    for (std::size_t at = 0; at < data.size();) {
        std::size_t i = at, length = 0;
        while (i < data.size() && data[i] >= '0' && data[i] <= '9' && length < (1u << 30)) length = length * 10 + (data[i++] - '0');
        const std::size_t equals = data.find('=', i);
        if (i == at || i >= data.size() || data[i] != ' ' || length > data.size() - at || data[at + length - 1] != '\n' ||
            equals == std::string::npos || equals >= at + length) {
            Refuse(Say(Rule::PaxUnreadable, {header}));
            return false;
        }
        const std::string keyword = data.substr(i + 1, equals - i - 1);
        const std::string value = data.substr(equals + 1, at + length - 1 - equals - 1);
        at += length;
        const PaxKeyword *k = FindKeyword(keyword);
        if (k && k->use == Use::Ignored) continue;
        const bool sparse = IsSparseKeyword(keyword), attribute = IsAttributeKeyword(keyword);
        if (!k && !sparse && !attribute) {
            if (global) {
                Refuse(Say(Rule::Keyword, {header, Printable(keyword, 64)}));
                return false;
            }
            // Named with the member it belongs to, once that is known.
            if (local_.unknown.empty()) local_.unknown = keyword;
            continue;
        }
        if (global && (sparse || attribute || !k->forEvery)) {
            Refuse(Say(Rule::PaxForEvery, {header, Printable(keyword, 64)}));
            return false;
        }
        if (attribute) {
            local_.attributes.emplace_back(keyword, value);
            continue;
        }
        if (!k) {  // a GNU.sparse record the installer does not take
            if (local_.unknown.empty()) local_.unknown = keyword;
            continue;
        }
        std::vector<std::uint64_t> numbers;
        if (!HasForm(k->form, value, numbers)) {
            Refuse(Say(Rule::PaxBadValue, {header, Printable(keyword, 64)}));
            return false;
        }
        const auto number = [&] { return std::stoull(value); };
        if ((k->use == Use::Uid || k->use == Use::Gid) && number() > kLargestId) {
            Refuse(Say(Rule::IdTooLarge, {header, k->use == Use::Uid ? "an owner" : "a group"}));
            return false;
        }
        // Owners apply to the next member ('x') or to every member behind ('g').
        Overrides &o = global ? global_ : local_;
        Sparse &sp = local_.sparse;
        if (sparse) sp.given = true;
        switch (k->use) {
        case Use::Ignored:
        case Use::Time:
        case Use::Charset: break;
        case Use::Path: local_.hasName = true, local_.name = value; break;
        case Use::LinkPath: local_.hasLink = true, local_.link = value; break;
        case Use::Size: local_.hasSize = true, local_.size = number(); break;
        case Use::Uid: o.hasUid = true, o.uid = number(); break;
        case Use::Gid: o.hasGid = true, o.gid = number(); break;
        case Use::Uname: o.hasUname = true, o.uname = value; break;
        case Use::Gname: o.hasGname = true, o.gname = value; break;
        case Use::SparseMajor: sp.major = number(); break;
        case Use::SparseMinor: sp.minor = number(); break;
        case Use::SparseName: sp.hasName = true, sp.name = value; break;
        case Use::SparseReal: sp.hasReal = true, sp.real = number(); break;
        case Use::SparseCount: sp.hasCount = true, sp.count = number(); break;
        case Use::SparseOffset:
        case Use::SparseLength:
            // 0.0 gives the map as offset and numbytes records in turn, 0.1 in one record.
            if ((k->use == Use::SparseOffset) != (sp.map.size() % 2 == 0)) {
                Refuse(Say(Rule::PaxMapOrder, {header}));
                return false;
            }
            sp.map.push_back(number());
            break;
        case Use::SparseMap: sp.map.insert(sp.map.end(), numbers.begin(), numbers.end()); break;
        }
    }
    return true;
}

void PayloadGuard::RecordRead() {
    using namespace tarheader;
    if (recordType_ == kPaxLocal || recordType_ == kPaxGlobal) {
        if (Pax(record_, recordType_ == kPaxGlobal) && recordType_ == kPaxLocal) localPending_ = true;
        return;
    }
    if (recordType_ == kSparseMap) return SparseMapRead();
    // A GNU long name or link target: a C string, its NUL counted in the size.
    const std::size_t end = record_.find_last_not_of('\0');
    record_.resize(end == std::string::npos ? 0 : end + 1);
    if (record_.find('\0') != std::string::npos) {
        Refuse(Say(Rule::LongNameNul, {MemberLabel(recordName_), recordType_ == kLongName ? "name" : "link target"}));
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

// The map of a sparse member, in the pax 1.0 form: in front of its data, the number of pieces and
// each piece's offset and length, one decimal number a line, padded to whole blocks.
void PayloadGuard::SparseMapRead() {
    std::vector<std::uint64_t> numbers;
    std::size_t at = 0, wanted = 1;
    while (numbers.size() < wanted) {
        const std::size_t newline = record_.find('\n', at);
        if (newline == std::string::npos) break;
        const std::string line = record_.substr(at, newline - at);
        if (!Decimal(line, false)) return Refuse(Say(Rule::SparseMapUnreadable, {sparse_.label}));
        numbers.push_back(std::stoull(line));
        if (numbers.size() == 1) {
            if (numbers[0] > kLongestSparseMap / 4) return Refuse(Say(Rule::SparseMapUnreadable, {sparse_.label}));
            wanted = 1 + 2 * numbers[0];
        }
        at = newline + 1;
    }
    if (numbers.size() < wanted) {
        // The map goes on in the next block, if the member holds one.
        if (sparse_.left < kBlock || record_.size() >= kLongestSparseMap)
            return Refuse(Say(Rule::SparseMapUnreadable, {sparse_.label}));
        recordLeft_ = kBlock;
        sparse_.left -= kBlock;
        return;
    }
    numbers.erase(numbers.begin());
    sparse_.data = sparse_.left;
    sparse_.map.insert(sparse_.map.end(), numbers.begin(), numbers.end());
    SparseEnd();
}

// A sparse member's map, told as the data lengths tar reads, must cover exactly the data the
// member holds in the archive, and lie in order within its real size; else tars part ways.
void PayloadGuard::SparseEnd() {
    std::uint64_t end = 0, sum = 0;
    bool fits = sparse_.map.size() % 2 == 0;
    for (std::size_t i = 0; fits && i + 1 < sparse_.map.size(); i += 2) {
        const std::uint64_t offset = sparse_.map[i], length = sparse_.map[i + 1];
        fits = offset >= end && length <= kLargestSize - offset && sum + length >= sum;
        end = offset + length;
        sum += length;
    }
    if (!fits || end > sparse_.real || sum != sparse_.data)
        return Refuse(Say(Rule::SparseMapMismatch, {sparse_.label}));
    skip_ = Padded(sparse_.left);
    sparse_ = SparseMember();
}

// A GNU sparse header's extension block: more pieces of the map, and whether another follows.
void PayloadGuard::SparseExtension(const unsigned char *block) {
    using namespace tarheader;
    if (!SparsePieces(block, kSparseExtensionPieces)) return;
    sparse_.extended = block[kSparseExtensionIsExtended] != 0;
    if (!sparse_.extended) SparseEnd();
}

bool PayloadGuard::SparsePieces(const unsigned char *at, std::size_t pieces) {
    using namespace tarheader;
    for (std::size_t i = 0; i < pieces; ++i, at += kSparsePieceSize) {
        const unsigned char *lengthAt = at + kSparseOffsetSize;
        // GNU tar's list ends at a piece without a length, libarchive's at one without an offset:
        // only where both agree is the map read alike.
        if (at[0] == 0 && lengthAt[0] == 0) continue;
        std::uint64_t offset, length;
        if (at[0] == 0 || lengthAt[0] == 0 ||
            WideNumber(at, kSparseOffsetSize, false, kLargestSize, offset) != Number::Read ||
            WideNumber(lengthAt, kSparseLengthSize, false, kLargestSize, length) != Number::Read) {
            Refuse(Say(Rule::SparseMapUnreadable, {sparse_.label}));
            return false;
        }
        sparse_.map.push_back(offset);
        sparse_.map.push_back(length);
    }
    return true;
}

// The owner, group and size fields, wider than octal where tar reads them so.
bool PayloadGuard::WideFields(const unsigned char *h, const std::string &member, std::uint64_t &uid,
                              std::uint64_t &gid, std::uint64_t &size) {
    using namespace tarheader;
    struct {
        std::size_t at, width;
        const char *what, *one;
        std::uint64_t largest;
        std::uint64_t *value;
    } const fields[] = {{kUid, kIdSize, "owner", "an owner", kLargestId, &uid},
                        {kGid, kIdSize, "group", "a group", kLargestId, &gid},
                        {kSize, kSizeSize, "size", "a size", kLargestSize, &size}};
    for (const auto &f : fields) {
        const bool id = f.value != &size;
        switch (WideNumber(h + f.at, f.width, id, f.largest, *f.value)) {
        case Number::Read: continue;
        case Number::Malformed: Refuse(Say(Rule::NotANumber, {member, f.what})); break;
        case Number::Negative: Refuse(Say(Rule::Negative, {member, f.what})); break;
        case Number::TooLarge: Refuse(id ? Say(Rule::IdTooLarge, {member, f.one}) : Say(Rule::SizeTooLarge, {member})); break;
        }
        return false;
    }
    return true;
}

namespace {

// A tar that does not know pax sparse files (busybox) extracts one under its header's name with
// the map in front of the data. GNU tar and bsdtar write that name beside the real one,
// DIR/GNUSparseFile.N/BASE; any other could send such a tar where the check never looked.
bool SparseStandIn(const std::string &header, const std::string &real) {
    const CanonicalName h = Canonicalize(header), r = Canonicalize(real);
    if (!h.ok() || !r.ok() || h.directory || r.directory || r.name.empty()) return false;
    if (h.name == r.name) return true;
    const std::string dir = ParentOf(r.name), base = BaseOf(r.name);
    const std::string front = (dir.empty() ? "" : dir + "/") + "GNUSparseFile.", back = "/" + base;
    if (h.name.size() <= front.size() + back.size() || h.name.compare(0, front.size(), front) != 0 ||
        h.name.compare(h.name.size() - back.size(), back.size(), back) != 0)
        return false;
    const std::string n = h.name.substr(front.size(), h.name.size() - front.size() - back.size());
    return std::all_of(n.begin(), n.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

// Where the real name and size of a sparse member come from, and what its data holds; false when
// the member was refused.
bool PayloadGuard::SparseStart(const unsigned char *h, Entry &entry, std::uint64_t size, bool gnu) {
    using namespace tarheader;
    const Sparse given = local_.sparse;
    sparse_ = SparseMember();
    if (gnu) {
        sparse_.label = MemberLabel(entry.name);
        if (WideNumber(h + kGnuRealSize, kGnuRealSizeSize, false, kLargestSize, sparse_.real) != Number::Read) {
            Refuse(Say(Rule::NotANumber, {sparse_.label, "real size"}));
            return false;
        }
        if (!SparsePieces(h + kGnuSparseMap, kGnuSparsePieces)) return false;
        sparse_.extended = h[kGnuIsExtended] != 0;
        sparse_.data = sparse_.left = size;
        entry.type = MemberType::File;
        return true;
    }
    const bool oldForm = !given.major && !given.minor && !given.map.empty();
    const bool oneZero = given.major == 1 && given.minor == 0;
    if (!oldForm && !given.major && !given.minor) {
        // GNU tar would take GNU.sparse.name for the name where other tars take the header's.
        Refuse(Say(Rule::SparseNoForm, {MemberLabel(entry.name)}));
        return false;
    }
    if (given.hasName && !SparseStandIn(entry.name, given.name)) {
        Refuse(Say(Rule::SparseStandIn, {MemberLabel(given.name), Printable(entry.name)}));
        return false;
    }
    if (given.hasName) entry.name = given.name;
    sparse_.label = MemberLabel(entry.name);
    if (!oldForm && !oneZero) {
        Refuse(Say(Rule::SparseForm, {sparse_.label, std::to_string(given.major) + "." + std::to_string(given.minor)}));
        return false;
    }
    if (entry.type != MemberType::File || !given.hasReal || (oldForm && given.hasCount && given.count * 2 != given.map.size())) {
        Refuse(Say(Rule::SparseNotFile, {sparse_.label}));
        return false;
    }
    sparse_.real = given.real;
    sparse_.map = given.map;
    sparse_.left = sparse_.data = size;
    if (oldForm) return true;
    // 1.0: the map stands in the data's first blocks.
    if (size < kBlock) {
        Refuse(Say(Rule::SparseMapUnreadable, {sparse_.label}));
        return false;
    }
    sparse_.mapInData = true;
    return true;
}

void PayloadGuard::Header(const unsigned char *h) {
    using namespace tarheader;
    if (sparse_.extended) return SparseExtension(h);
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
    const std::string member = MemberLabel(HeaderName(h));
    // Only the formats every tar knows: POSIX ustar, GNU, and the old one without a magic.
    const bool ustar = std::memcmp(h + kMagic, kPosixMagic, kMagicVersionSize) == 0;
    if (!ustar && std::memcmp(h + kMagic, kGnuMagic, kMagicVersionSize) != 0 &&
        !std::all_of(h + kMagic, h + kMagic + kMagicVersionSize, [](unsigned char c) { return c == 0; }))
        return Refuse(Say(Rule::UnknownFormat, {member}));
    std::uint64_t checksum, size, mode, uid, gid, number;
    if (!Octal(h + kChecksum, kChecksumSize, checksum) || !ChecksumFits(h, checksum))
        return Refuse(Say(Rule::Checksum, {member}));
    struct {
        std::size_t at, width;
        const char *what;
        std::uint64_t *value;
    } const fields[] = {{kMode, kModeSize, "mode", &mode}, {kMtime, kMtimeSize, "time", &number}};
    for (const auto &f : fields) {
        if (Octal(h + f.at, f.width, *f.value)) continue;
        if (h[f.at] == 0x80 || h[f.at] == 0xff)
            return Refuse(Say(Rule::Binary, {member, f.what}));
        return Refuse(Say(Rule::NotANumber, {member, f.what}));
    }
    if (!WideFields(h, member, uid, gid, size)) return;

    const unsigned char flag = h[kTypeFlag];
    if (flag == kLongName || flag == kLongLink || flag == kPaxLocal || flag == kPaxGlobal) {
        const bool pax = flag == kPaxLocal || flag == kPaxGlobal;
        // One record of a kind in front of a member, and GNU records and pax headers not mixed:
        // tars settle such conflicts differently.
        if ((flag == kLongName && longNames_.hasName) || (flag == kLongLink && longNames_.hasLink) ||
            (flag == kPaxLocal && localPending_) || (pax && (longNames_.hasName || longNames_.hasLink)) ||
            (!pax && localPending_))
            return Refuse(Say(Rule::RecordTwice, {member}));
        const std::uint64_t limit = pax ? kLongestPaxHeader : kLongestName;
        if (size > limit)
            return Refuse(Say(Rule::RecordTooLong, {member, std::to_string(limit)}));
        recordType_ = flag;
        recordName_ = HeaderName(h);
        reading_ = recordName_;
        started_ = true;
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
    if (std::memcmp(h + kMagic, kUstar, kUstarSize) == 0) {
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
    entry.type = flag == kGnuSparse ? MemberType::File : TypeOfFlag(flag);
    const bool sparse = flag == kGnuSparse || (localPending_ && local_.sparse.given);
    // Two maps for one member: tars settle which counts differently.
    if (flag == kGnuSparse && localPending_ && local_.sparse.given)
        return Refuse(Say(Rule::SparseTwice, {member}));
    if (sparse && !SparseStart(h, entry, size, flag == kGnuSparse)) return;
    if (!local_.unknown.empty()) {
        return Refuse(Say(Rule::Keyword, {MemberLabel(entry.name), Printable(local_.unknown, 64)}));
    }
    for (const auto &[keyword, value] : local_.attributes) {
        BrokenRule fault = AttributeFault(MemberLabel(entry.name), keyword, value, rules_.privileged());
        if (fault) return Refuse(std::move(fault));
    }
    longNames_ = Overrides();
    local_ = Overrides();
    localPending_ = false;
    // Every tar makes a directory of a regular file whose name ends in "/", as old tars wrote them.
    // A sparse member stays a file: its map and data follow whatever its name.
    if (!sparse && entry.type == MemberType::File && !entry.name.empty() && entry.name.back() == '/')
        entry.type = MemberType::Directory;
    if (entry.type == MemberType::Unknown) entry.kind = DescribeFlag(flag);
    if (entry.type != MemberType::Symlink && entry.type != MemberType::HardLink) entry.link.clear();
    // tar takes the permission bits; older tars write the file type's bits in front of them.
    entry.permissions = static_cast<unsigned>(mode & 07777);

    BrokenRule broken = rules_.Add(entry);
    if (broken) return Refuse(std::move(broken));
    // Only a regular file carries data; anything else that claimed some would put tars out of step.
    if (size != 0 && entry.type != MemberType::File)
        return Refuse(Say(Rule::DataOnNonFile, {MemberLabel(entry.name), DescribeType(entry.type)}));
    if (!sparse) {
        skip_ = Padded(size);
    } else if (sparse_.mapInData) {
        recordType_ = kSparseMap;
        record_.clear();
        recordLeft_ = kBlock;
        sparse_.left -= kBlock;
    } else if (!sparse_.extended) {
        SparseEnd();
    }
    reading_ = std::move(entry.name);
    started_ = true;
}

void PayloadGuard::Refuse(BrokenRule broken) {
    broken_ = std::move(broken);
    verdict_ = Verdict::Refused;
}
