// Fuzz target: locating the payload from the end of an untrusted installer file. The input is the
// whole file; ParseTrailer sees its tail, ReadTrailer the file itself through a descriptor, and
// both must agree on where the payload lies, or on why there is none.
#include "format/trailer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A broken promise of the reader is a fault even where no sanitizer sees one.
void Check(bool holds, const char *what) {
    if (!holds) {
        std::fprintf(stderr, "trailer_fuzz: %s\n", what);
        std::abort();
    }
}

void CheckFound(const Trailer &t, const unsigned char *tail, std::size_t n, std::uint64_t fileSize) {
    if (!t.ok()) return;
    Check(t.payloadLength >= 1 && t.payloadLength <= kMaxPayloadLength, "payload length out of range");
    Check(t.length >= 2 && t.length <= n, "trailer longer than the tail");
    Check(tail[n - t.length] == '\n', "trailer does not open with a newline");
    Check(t.payloadOffset + t.payloadLength + t.length == fileSize, "payload and trailer do not end the file");
}

// The input as a file of its own: a memory file with a descriptor, so that fstat sees its size.
std::FILE *AsFile(const std::uint8_t *data, std::size_t size) {
    const int fd = memfd_create("trailer_fuzz", 0);
    if (fd < 0) return nullptr;
    for (std::size_t done = 0; done < size;) {
        const ssize_t w = write(fd, data + done, size - done);
        if (w <= 0) {
            close(fd);
            return nullptr;
        }
        done += static_cast<std::size_t>(w);
    }
    std::FILE *f = fdopen(fd, "rb");
    if (!f) close(fd);
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // The installer reads at most kTrailerTailSize bytes of the end; give the parser exactly those,
    // in a buffer of their own so that any read outside them is caught.
    const std::size_t n = size < kTrailerTailSize ? size : kTrailerTailSize;
    unsigned char *tail = static_cast<unsigned char *>(std::malloc(n ? n : 1));
    if (n) std::memcpy(tail, data + size - n, n);
    const Trailer parsed = ParseTrailer(tail, n, size);
    CheckFound(parsed, tail, n, size);

    // The same tail at the end of a much larger file: the length may reach further back.
    const std::uint64_t larger = size + (std::uint64_t{1} << 31) + (n ? tail[0] : 0);
    CheckFound(ParseTrailer(tail, n, larger), tail, n, larger);

    // Through the stream, as the installer and the packer read it.
    if (std::FILE *f = AsFile(data, size)) {
        const Trailer read = ReadTrailer(f);
        std::fclose(f);
        Check(read.fault == parsed.fault, "ReadTrailer and ParseTrailer disagree on the fault");
        if (read.ok()) {
            Check(read.payloadLength == parsed.payloadLength && read.payloadOffset == parsed.payloadOffset &&
                      read.length == parsed.length,
                  "ReadTrailer and ParseTrailer disagree on the payload");
        }
    }
    std::free(tail);
    return 0;
}
