#include "format/trailer.h"
#include "posix/io.h"

#include <sys/stat.h>

#include <cctype>

Trailer ParseTrailer(const unsigned char *tail, std::size_t n, std::uint64_t fileSize) {
    Trailer t;
    if (n < 2 || fileSize < n) {
        t.fault = TrailerFault::NoNewline;
        return t;
    }
    // The opening newline is the last one in front of the final byte.
    std::size_t p = n - 1;
    do {
        if (p == 0) {
            t.fault = TrailerFault::NoNewline;
            return t;
        }
        --p;
    } while (tail[p] != '\n');

    // Between it and the final byte: blanks, an optional sign, digits, blanks.
    std::size_t i = p + 1;
    const std::size_t end = n - 1;
    auto isBlank = [](unsigned char c) { return c != '\0' && std::isspace(c); };
    while (i < end && isBlank(tail[i])) ++i;
    bool negative = false;
    if (i < end && (tail[i] == '+' || tail[i] == '-')) negative = tail[i++] == '-';
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (; i < end && std::isdigit(tail[i]); ++i, ++digits) {
        if (value <= kMaxPayloadLength) value = value * 10 + (tail[i] - '0');
    }
    while (i < end && isBlank(tail[i])) ++i;

    t.length = n - p;
    if (i != end) {
        t.fault = TrailerFault::BadCharacter;
    } else if (digits == 0) {
        t.fault = TrailerFault::NoDigits;
    } else if (negative || value == 0) {
        t.fault = TrailerFault::NotPositive;
    } else if (value > kMaxPayloadLength) {
        t.fault = TrailerFault::TooLarge;
    } else if (value > fileSize - t.length) {
        t.fault = TrailerFault::PastStart;
    } else {
        t.fault = TrailerFault::Sound;
        t.payloadLength = static_cast<std::uint32_t>(value);
        t.payloadOffset = fileSize - t.length - value;
    }
    return t;
}

Trailer ReadTrailer(int fd) {
    Trailer t;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < 0) return t;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    const std::uint64_t start = size > kTrailerTailSize ? size - kTrailerTailSize : 0;
    unsigned char tail[kTrailerTailSize];
    const ssize_t n = ReadFullyAt(fd, tail, size - start, start);
    // A read error, or the file changed size under us.
    if (n < 0 || static_cast<std::uint64_t>(n) != size - start) return t;
    return ParseTrailer(tail, static_cast<std::size_t>(n), size);
}

Trailer ReadTrailer(std::FILE *file) { return ReadTrailer(fileno(file)); }

const char *DescribeTrailerFault(TrailerFault fault) {
    switch (fault) {
    case TrailerFault::Sound: return "sound";
    // "its": the installer file's, as the reports around these put it.
    case TrailerFault::NoNewline: return "it does not end in a line that gives the length of its archive";
    case TrailerFault::NoDigits: return "its last line, which should give the length of its archive, holds no number";
    case TrailerFault::BadCharacter:
        return "its last line, which should give only the length of its archive, holds other characters too";
    case TrailerFault::NotPositive: return "its last line gives the length of its archive as 0 or less";
    case TrailerFault::TooLarge: {
        static const std::string text = "its last line gives the length of its archive as more than " +
                                        std::to_string(kMaxPayloadLength) + " bytes";
        return text.c_str();
    }
    case TrailerFault::PastStart: return "its last line gives the length of its archive as more than the file holds";
    case TrailerFault::Unreadable: return "its end could not be read";
    }
    return "unknown fault";
}

std::string FormatTrailer(std::uint32_t payloadLength) {
    return "\n" + std::to_string(payloadLength) + "\n";
}
