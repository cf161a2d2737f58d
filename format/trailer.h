// The installer file layout: program image, payload of N bytes, then "\n", N in decimal, "\n".
// The payload is found only by counting back from the end of the file. The installer and the packer
// share this code.
#ifndef SONARIS_TRAILER_H
#define SONARIS_TRAILER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// The trailer's opening newline must lie within this many bytes of the end of the file.
constexpr std::size_t kTrailerTailSize = 8192;
// The largest payload a trailer may announce (it is parsed into a signed 32-bit integer).
constexpr std::uint32_t kMaxPayloadLength = 2147483647u;

enum class TrailerFault {
    Sound,
    NoNewline,     // no newline in front of the final byte within the tail
    NoDigits,      // nothing but blanks (or a lone sign) between the newlines
    BadCharacter,  // a NUL or other stray byte around the digits
    NotPositive,   // a length of 0 or less
    TooLarge,      // more than kMaxPayloadLength
    PastStart,     // more bytes than stand in front of the trailer
    Unreadable,    // the file's size or tail could not be read
};

struct Trailer {
    TrailerFault fault = TrailerFault::Unreadable;
    std::uint32_t payloadLength = 0;  // N
    std::size_t length = 0;           // bytes of the trailer, both newlines included
    std::uint64_t payloadOffset = 0;  // where the payload begins in the file
    bool ok() const { return fault == TrailerFault::Sound; }
};

// Parses the trailer at the end of `tail`, the last `n` bytes of a file of `fileSize` bytes.
// The final byte is the closing newline and is not looked at; blanks around the digits belong to
// the trailer; nothing outside `tail` is read.
Trailer ParseTrailer(const unsigned char *tail, std::size_t n, std::uint64_t fileSize);

// Reads the tail of an open file and parses its trailer; the descriptor's offset stays as it was.
Trailer ReadTrailer(int fd);
Trailer ReadTrailer(std::FILE *file);

// What is wrong with the installer file's end, worded to follow its name ("FILE: its last line ...").
const char *DescribeTrailerFault(TrailerFault fault);

// The trailer for a payload of `payloadLength` bytes: "\n" N "\n".
std::string FormatTrailer(std::uint32_t payloadLength);

#endif
