// Fuzz target: the packer reading an untrusted installer file, as `sonaris-pack --list` and
// `--verify` do. A refusal (PackError) is the expected answer to a damaged file; anything else that
// escapes, and every sanitizer report, is a fault.
//
// Each input is read twice: as the whole installer file, and as the tar archive inside a payload
// that the harness compresses and frames itself. Mutated gzip data almost never passes its CRC, so
// only the second reading lets the fuzzer reach the tar members and the payload rules.
#include "tools/error.h"
#include "tools/pack.h"
#include "format/trailer.h"

#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The message ends with the reason; a member's name, which may hold any word, comes before it.
void Refused(const PackError &e) {
    const std::string what = e.what(), shrank = "shrank while being read";
    if (what.size() >= shrank.size() && what.compare(what.size() - shrank.size(), shrank.size(), shrank) == 0) {
        std::fprintf(stderr, "packer_fuzz: a file that did not change is reported as changed: %s\n", e.what());
        std::abort();
    }
}

std::FILE *Sink() {
    static std::FILE *devnull = std::fopen("/dev/null", "w");
    return devnull;
}

// A gzip member of `data`, made fast: the fuzzer's time belongs to the reader.
std::string Gzip(const std::uint8_t *data, std::size_t size) {
    z_stream z{};
    if (deflateInit2(&z, 1, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return "";
    std::string out(deflateBound(&z, size), '\0');
    z.next_in = const_cast<Bytef *>(data);
    z.avail_in = static_cast<uInt>(size);
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int r = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return r == Z_STREAM_END ? out : "";
}

// Lists and verifies `bytes` as an installer file. The commands take a path: a memory file named
// through /proc keeps the file system out of it.
void ReadInstaller(const std::uint8_t *bytes, std::size_t size) {
    const int fd = memfd_create("packer_fuzz", 0);
    if (fd < 0) return;
    for (std::size_t done = 0; done < size;) {
        const ssize_t w = write(fd, bytes + done, size - done);
        if (w <= 0) {
            close(fd);
            return;
        }
        done += static_cast<std::size_t>(w);
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    try {
        List(path, Sink());
    } catch (const PackError &e) {
        Refused(e);
    }
    try {
        Verify(path);
    } catch (const PackError &e) {
        Refused(e);
    }
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    ReadInstaller(data, size);

    const std::string payload = Gzip(data, size);
    if (!payload.empty()) {
        const std::string file = "image" + payload + FormatTrailer(static_cast<std::uint32_t>(payload.size()));
        ReadInstaller(reinterpret_cast<const std::uint8_t *>(file.data()), file.size());
    }
    return 0;
}
