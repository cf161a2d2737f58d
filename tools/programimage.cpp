#include "tools/programimage.h"

#include "format/imagemark.h"
#include "tools/error.h"
#include "tools/owners.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>
#include <vector>

const char *const kImageArches[2] = {"x86_64", "aarch64"};
const char kPortableGlibc[] = SONARIS_GLIBC_FLOOR;

namespace {

// The fields of the 64-bit ELF header that say what runs the program.
const std::size_t kHeaderSize = 64;
const unsigned char kClass64 = 2, kLittleEndian = 1;
const unsigned char kAbiSystemV = 0, kAbiLinux = 3;
const std::uint16_t kTypeExecutable = 2, kTypeSharedObject = 3;  // a position-independent program is the latter
const std::uint16_t kMachineX86_64 = 62, kMachineAarch64 = 183;

// Program headers, dynamic entries and version needs, as far as the C library's version goes.
const std::uint32_t kSegmentLoad = 1, kSegmentDynamic = 2, kSegmentInterpreter = 3;
const std::int64_t kDynamicEnd = 0, kDynamicStrings = 5, kDynamicStringsSize = 10;
const std::int64_t kDynamicVersionNeeds = 0x6ffffffe, kDynamicVersionNeedCount = 0x6fffffff;
const std::size_t kSegmentSize = 56, kDynamicSize = 16, kNeedSize = 16, kAuxSize = 16, kSectionSize = 64;
// A hostile file may chain its tables in circles; a real program stays far below these.
const unsigned kMaxSegments = 4096, kMaxDynamic = 65536, kMaxNeeds = 1024, kMaxSections = 65536;

std::uint16_t Half(const unsigned char *p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t Word(const unsigned char *p) { return Half(p) | static_cast<std::uint32_t>(Half(p + 2)) << 16; }
std::uint64_t Xword(const unsigned char *p) { return Word(p) | static_cast<std::uint64_t>(Word(p + 4)) << 32; }

// Bounded reads of the image: what lies past `limit`, or cannot be read whole, reads as absent.
class Image {
public:
    Image(int fd, std::uint64_t limit, const std::string &path) : fd_(fd), limit_(limit), path_(path) {}

    bool Read(std::uint64_t offset, std::size_t n, unsigned char *out) const {
        if (offset > limit_ || n > limit_ - offset) return false;
        const ssize_t r = ReadFullyAt(fd_, out, n, offset);
        if (r < 0) throw SystemError(path_, "cannot read");
        return static_cast<std::size_t>(r) == n;
    }

    // The NUL-terminated string at `offset`, of at most `max` bytes; empty when there is none.
    std::string String(std::uint64_t offset, std::size_t max) const {
        if (offset >= limit_) return "";
        std::vector<unsigned char> bytes(static_cast<std::size_t>(std::min<std::uint64_t>(max, limit_ - offset)));
        if (!Read(offset, bytes.size(), bytes.data())) return "";
        const auto end = std::find(bytes.begin(), bytes.end(), 0);
        if (end == bytes.end()) return "";
        return std::string(bytes.begin(), end);
    }

private:
    int fd_;
    std::uint64_t limit_;
    const std::string &path_;
};

struct Load {
    std::uint64_t offset, address, size;
};

// Where the loaded address `address` stands in the file.
bool FileOffset(const std::vector<Load> &loads, std::uint64_t address, std::uint64_t *offset) {
    for (const Load &l : loads)
        if (address >= l.address && address - l.address < l.size) {
            *offset = l.offset + (address - l.address);
            return true;
        }
    return false;
}

// "2.31" as {2, 31}; empty where `text` is no dotted number.
std::vector<unsigned> VersionNumbers(const std::string &text) {
    std::vector<unsigned> numbers;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = at;
        unsigned n = 0;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9' && end - at < 6)
            n = n * 10 + static_cast<unsigned>(text[end++] - '0');
        if (end == at || (end < text.size() && text[end] != '.')) return {};
        numbers.push_back(n);
        at = end + 1;
        if (end + 1 == text.size()) return {};  // a trailing dot
    }
    return numbers;
}

// The highest GLIBC_x.y the image's version needs name, read through its dynamic segment (section
// headers may be stripped; the loader reads these).
std::string HighestGlibc(const Image &image, const std::vector<Load> &loads, std::uint64_t dynamic,
                         std::uint64_t dynamicSize) {
    std::uint64_t strings = 0, stringsSize = 0, needs = 0, needCount = 0;
    bool haveStrings = false, haveNeeds = false;
    for (std::uint64_t i = 0; i < dynamicSize / kDynamicSize && i < kMaxDynamic; ++i) {
        unsigned char entry[kDynamicSize];
        if (!image.Read(dynamic + i * kDynamicSize, sizeof entry, entry)) break;
        const auto tag = static_cast<std::int64_t>(Xword(entry));
        const std::uint64_t value = Xword(entry + 8);
        if (tag == kDynamicEnd) break;
        if (tag == kDynamicStrings) haveStrings = FileOffset(loads, value, &strings);
        if (tag == kDynamicStringsSize) stringsSize = value;
        if (tag == kDynamicVersionNeeds) haveNeeds = FileOffset(loads, value, &needs);
        if (tag == kDynamicVersionNeedCount) needCount = value;
    }
    if (!haveStrings || !haveNeeds) return "";

    std::vector<unsigned> highest;
    std::string name;
    unsigned seen = 0;
    std::uint64_t need = needs;
    for (std::uint64_t i = 0; i < needCount && i < kMaxNeeds; ++i) {
        unsigned char n[kNeedSize];
        if (!image.Read(need, sizeof n, n)) break;
        const std::uint16_t auxCount = Half(n + 2);
        std::uint64_t aux = need + Word(n + 8);
        for (unsigned j = 0; j < auxCount && ++seen < kMaxNeeds; ++j) {
            unsigned char a[kAuxSize];
            if (!image.Read(aux, sizeof a, a)) break;
            const std::uint32_t at = Word(a + 8);
            if (at < stringsSize) {
                const std::string version = image.String(strings + at, 64);
                if (version.rfind("GLIBC_", 0) == 0) {
                    const std::vector<unsigned> numbers = VersionNumbers(version.substr(6));
                    if (!numbers.empty() && numbers > highest) {
                        highest = numbers;
                        name = version.substr(6);
                    }
                }
            }
            if (Word(a + 12) == 0) break;
            aux += Word(a + 12);
        }
        if (Word(n + 12) == 0) break;
        need += Word(n + 12);
    }
    return name;
}

// Whether a section named as format/imagemark.h says holds the mark.
bool HasMark(const Image &image, const unsigned char *header) {
    const std::uint64_t table = Xword(header + 40);
    const std::uint16_t entrySize = Half(header + 58), count = Half(header + 60), namesIndex = Half(header + 62);
    if (table == 0 || entrySize < kSectionSize || namesIndex >= count) return false;
    unsigned char names[kSectionSize];
    if (!image.Read(table + std::uint64_t{namesIndex} * entrySize, sizeof names, names)) return false;
    const std::uint64_t namesAt = Xword(names + 24), namesSize = Xword(names + 32);
    const std::string wanted = SONARIS_IMAGE_MARK_SECTION, mark = SONARIS_IMAGE_MARK;
    for (unsigned i = 0; i < count && i < kMaxSections; ++i) {
        unsigned char s[kSectionSize];
        if (!image.Read(table + std::uint64_t{i} * entrySize, sizeof s, s)) return false;
        const std::uint32_t name = Word(s);
        if (name >= namesSize || image.String(namesAt + name, wanted.size() + 1) != wanted) continue;
        std::vector<unsigned char> content(mark.size() + 1);
        return Xword(s + 32) >= content.size() && image.Read(Xword(s + 24), content.size(), content.data()) &&
               std::memcmp(content.data(), mark.c_str(), content.size()) == 0;
    }
    return false;
}

ImageKind Kind(std::string arch, std::string description) {
    ImageKind kind;
    kind.arch = std::move(arch);
    kind.description = std::move(description);
    return kind;
}

}  // namespace

ImageKind ClassifyImage(const unsigned char *bytes, std::size_t n) {
    if (n < 20 || bytes[0] != 0x7f || bytes[1] != 'E' || bytes[2] != 'L' || bytes[3] != 'F')
        return Kind("", "not an ELF file");
    if (bytes[4] != kClass64) return Kind("", "a 32-bit ELF file");
    if (bytes[5] != kLittleEndian) return Kind("", "a big-endian ELF file");
    if (n < kHeaderSize) return Kind("", "a truncated ELF file");
    if (bytes[7] != kAbiSystemV && bytes[7] != kAbiLinux)
        return Kind("", "an ELF file for another system than Linux (OS ABI " + std::to_string(bytes[7]) + ")");
    const std::uint16_t type = Half(bytes + 16), machine = Half(bytes + 18);
    if (type != kTypeExecutable && type != kTypeSharedObject)
        return Kind("", "an ELF file that is not a program (type " + std::to_string(type) + ")");
    if (machine == kMachineX86_64) return Kind(kImageArches[0], "an x86-64 Linux program");
    if (machine == kMachineAarch64) return Kind(kImageArches[1], "an arm64 Linux program");
    return Kind("", "an ELF program for another processor (machine " + std::to_string(machine) + ")");
}

ImageKind ReadImageKind(int fd, std::uint64_t limit, const std::string &path) {
    const Image image(fd, limit, path);
    unsigned char header[kHeaderSize];
    const ssize_t r = ReadFullyAt(fd, header, std::min<std::uint64_t>(sizeof header, limit), 0);
    if (r < 0) throw SystemError(path, "cannot read");
    const std::size_t n = static_cast<std::size_t>(r);
    ImageKind kind = ClassifyImage(header, n);
    if (kind.arch.empty()) return kind;

    const std::uint64_t table = Xword(header + 32);
    const std::uint16_t entrySize = Half(header + 54), count = Half(header + 56);
    std::vector<Load> loads;
    std::uint64_t dynamic = 0, dynamicSize = 0;
    for (unsigned i = 0; entrySize >= kSegmentSize && i < count && i < kMaxSegments; ++i) {
        unsigned char s[kSegmentSize];
        if (!image.Read(table + std::uint64_t{i} * entrySize, sizeof s, s)) break;
        const std::uint32_t type = Word(s);
        if (type == kSegmentInterpreter) kind.dynamic = true;
        if (type == kSegmentLoad) loads.push_back({Xword(s + 8), Xword(s + 16), Xword(s + 32)});
        if (type == kSegmentDynamic) {
            dynamic = Xword(s + 8);
            dynamicSize = Xword(s + 32);
        }
    }
    if (kind.dynamic && dynamicSize > 0) kind.glibc = HighestGlibc(image, loads, dynamic, dynamicSize);
    kind.installer = HasMark(image, header);
    return kind;
}

ImageKind ReadImageKind(const std::string &path) {
    const Fd fd(Uninterrupted([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!fd) throw SystemError(path, "cannot open");
    struct stat st;
    if (fstat(fd.get(), &st) != 0) throw SystemError(path, "cannot examine");
    return ReadImageKind(fd.get(), static_cast<std::uint64_t>(st.st_size), path);
}

std::string DescribeImage(const ImageKind &kind) {
    if (kind.arch.empty() || kind.installer) return kind.description;
    return kind.description + " that is not an installer image";
}

std::string DescribeGlibc(const ImageKind &kind) {
    if (kind.arch.empty()) return "";
    if (!kind.dynamic) return "static";
    if (kind.glibc.empty()) return "no glibc version needed";
    return "glibc " + kind.glibc + " or later";
}

std::string ProcessorName(const ImageKind &kind) {
    if (kind.arch == kImageArches[0]) return "x86-64";
    if (kind.arch == kImageArches[1]) return "arm64";
    return "";
}

std::string ImageLine(const ImageKind &kind) {
    if (kind.arch.empty()) return "image: " + kind.description + ", not an x86-64 or arm64 Linux program";
    return "image: " + kind.arch + ", " + DescribeImage(kind) + ", " + DescribeGlibc(kind);
}

bool NeedsNewerGlibc(const ImageKind &kind) {
    return kind.dynamic && !kind.glibc.empty() && VersionNumbers(kind.glibc) > VersionNumbers(kPortableGlibc);
}

namespace {

// Releases fleets still run, each with the glibc it ships, by family, oldest first.
struct Release {
    const char *family, *release, *glibc;
};
const Release kReleases[] = {
    {"RHEL", "7", "2.17"},          {"RHEL", "8", "2.28"},         {"RHEL", "9", "2.34"},
    {"RHEL", "10", "2.39"},         {"Debian", "10", "2.28"},      {"Debian", "11", "2.31"},
    {"Debian", "12", "2.36"},       {"Ubuntu", "18.04", "2.27"},   {"Ubuntu", "20.04", "2.31"},
    {"Ubuntu", "22.04", "2.35"},    {"Ubuntu", "24.04", "2.39"},   {"SLES", "15 SP1-SP3", "2.26"},
    {"SLES", "15 SP4-SP6", "2.31"}, {"Amazon Linux", "2", "2.26"}, {"Amazon Linux", "2023", "2.34"},
};

// "a", "a and b", "a, b and c".
std::string Enumerate(const std::vector<std::string> &items) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i)
        text += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
    return text;
}

}  // namespace

std::string SystemsBefore(const std::string &glibc) {
    const std::vector<unsigned> needed = VersionNumbers(glibc);
    std::vector<std::string> families;
    for (std::size_t i = 0; i < std::size(kReleases);) {
        const std::string family = kReleases[i].family;
        std::vector<std::string> releases;
        for (; i < std::size(kReleases) && kReleases[i].family == family; ++i)
            if (VersionNumbers(kReleases[i].glibc) < needed) releases.push_back(kReleases[i].release);
        if (!releases.empty()) families.push_back(family + " " + Enumerate(releases));
    }
    std::string named;
    for (const std::string &f : families) named += (named.empty() ? "" : ", ") + f;
    return named;
}

std::string ImageArch(const std::string &processor) { return processor == "arm64" ? kImageArches[1] : processor; }

std::string MachineArch() {
    struct utsname names;
    if (uname(&names) != 0) return "";
    return ImageArch(names.machine);
}
