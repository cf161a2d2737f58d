#include "tools/sourcekind.h"
#include "format/tarheader.h"
#include "posix/path.h"
#include "tools/shellquote.h"

#include <cstring>

namespace {

bool Begins(const unsigned char *bytes, std::size_t n, const char *magic, std::size_t size, std::size_t at = 0) {
    return n >= at + size && std::memcmp(bytes + at, magic, size) == 0;
}

// A tar header: its checksum (the bytes summed with the checksum field read as blanks) fits. This
// takes the old formats without the "ustar" magic too.
bool IsTarHeader(const unsigned char *bytes, std::size_t n) {
    using namespace tarheader;
    if (n < kBlock || bytes[0] == 0) return false;
    const std::size_t end = kChecksum + kChecksumSize;
    unsigned long stored = 0;
    std::size_t i = kChecksum;
    while (i < end && bytes[i] == ' ') ++i;
    const std::size_t digits = i;
    while (i < end && bytes[i] >= '0' && bytes[i] <= '7') stored = stored * 8 + (bytes[i++] - '0');
    return i > digits && (i == end || bytes[i] == 0 || bytes[i] == ' ') && stored == SumHeader(bytes).unsignedSum;
}

// The source's file name without its archive suffix: "app" for "dist/app.tar.xz".
std::string Stem(const std::string &source) {
    std::string name = BaseOf(source);
    for (const char *suffix : {".tar.xz", ".tar.bz2", ".tar.zst", ".tar.lz4", ".tar.lz", ".tar.Z", ".tar.gz", ".txz",
                               ".tbz2", ".tbz", ".tzst", ".taz", ".tgz", ".tar", ".zip", ".7z", ".deb", ".xz", ".bz2",
                               ".zst", ".lz4", ".lz", ".Z", ".gz"}) {
        const std::size_t n = std::strlen(suffix);
        if (name.size() > n && name.compare(name.size() - n, n, suffix) == 0) {
            name.resize(name.size() - n);
            break;
        }
    }
    return name.empty() || name == "." || name == ".." ? "app" : name;
}

// The gzip'd tar a conversion writes, in the working directory; never the source's own name.
std::string Target(const std::string &source) {
    const std::string name = BaseOf(source);
    const std::string target = Stem(source) + ".tgz";
    return target == name ? Stem(source) + "-gzip.tgz" : target;
}

struct Compressor {
    const char *magic;
    std::size_t size;
    const char *what;     // "xz data (a .tar.xz, say)"
    const char *command;  // what decompresses it to standard output
};

const Compressor kCompressors[] = {
    {"\xfd" "7zXZ\0", 6, "xz data (a .tar.xz, say)", "xz -dc"},
    {"BZh", 3, "bzip2 data (a .tar.bz2, say)", "bzip2 -dc"},
    {"\x28\xb5\x2f\xfd", 4, "zstd data (a .tar.zst, say)", "zstd -dc"},
    {"LZIP", 4, "lzip data (a .tar.lz, say)", "lzip -dc"},
    {"\x04\x22\x4d\x18", 4, "lz4 data (a .tar.lz4, say)", "lz4 -dc"},
    {"\x1f\x9d", 2, "compress data (a .tar.Z, say)", "gzip -dc"},
};

const char kNotGzipTar[] = ", not a gzip'd tar: ";
const char kOrTheDirectory[] = ", or pack the directory instead";

}  // namespace

std::string SourceMismatch(const unsigned char *bytes, std::size_t n, const std::string &source) {
    if (Begins(bytes, n, "\x1f\x8b", 2)) return "";
    const std::string s = ShellQuoted(source), target = ShellQuoted(Target(source)), dir = ShellQuoted(Stem(source));
    const std::string head = source + ": is ";
    for (const Compressor &c : kCompressors)
        if (Begins(bytes, n, c.magic, c.size))
            return head + c.what + kNotGzipTar + "convert it (" + c.command + " " + s + " | gzip > " + target +
                   ") and pack that" + kOrTheDirectory;
    if (IsTarHeader(bytes, n))
        return head + "a tar archive that is not compressed" + kNotGzipTar + "compress it (gzip -c " + s + " > " +
               target + ") and pack that" + kOrTheDirectory;
    if (Begins(bytes, n, "PK\x03\x04", 4) || Begins(bytes, n, "PK\x05\x06", 4))
        return head + "a zip archive" + kNotGzipTar + "unpack it (unzip " + s + " -d " + dir +
               ") and pack the directory";
    if (Begins(bytes, n, "7z\xbc\xaf\x27\x1c", 6))
        return head + "a 7-Zip archive" + kNotGzipTar + "unpack it (7z x -o" + dir + " " + s +
               ") and pack the directory";
    if (Begins(bytes, n, "!<arch>\ndebian-binary", 21))
        return head + "a Debian package" + kNotGzipTar + "unpack it (dpkg-deb -x " + s + " " + dir +
               ") and pack the directory";
    if (Begins(bytes, n, "\x7f" "ELF", 4))
        return head + "a program (an ELF file)" + kNotGzipTar +
               "SOURCE is the application's directory or a gzip'd tar of it, and comes before OUTPUT";
    if (n == 0) return head + "empty" + kNotGzipTar + "pack the application's directory, or a gzip'd tar of it";
    return head + "neither a directory nor a gzip'd tar (nor any archive this packer knows by its first bytes): "
                  "pack the application's directory, or a gzip'd tar of it (tar -C DIR -czf app.tgz .)";
}
