// Locating the payload from the tail of an installer file.
#include "format/trailer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Parses `tail` as the whole end of a file that has `front` more bytes in front of it.
Trailer Parse(const std::string &tail, std::uint64_t front = 1000) {
    return ParseTrailer(reinterpret_cast<const unsigned char *>(tail.data()), tail.size(), front + tail.size());
}

TEST(Trailer, AcceptsEveryFormThatLocatesTheSamePayload) {
    struct Case {
        const char *name;
        std::string tail;
        std::uint32_t length;
        std::size_t trailerLength;
    } cases[] = {
        {"plain", "payload\n42\n", 42, 4},
        {"blanks around the digits count toward the trailer", "payload\n 42 \n", 42, 6},
        {"tabs and a carriage return are blanks too", "payload\n\t42\r\n", 42, 6},
        {"any byte in the final position", "payload\n42X", 42, 4},
        {"an explicit plus sign", "payload\n+42\n", 42, 5},
        {"only the last newline before the final byte counts", "\n7\n\n42\n", 42, 4},
        {"the largest representable length", "\n2147483647\n", 2147483647u, 12},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Trailer t = Parse(c.tail, 2147483647u);
        ASSERT_TRUE(t.ok()) << DescribeTrailerFault(t.fault);
        EXPECT_EQ(t.payloadLength, c.length);
        EXPECT_EQ(t.length, c.trailerLength);
        // The payload is the `length` bytes right in front of the trailer.
        EXPECT_EQ(t.payloadOffset, 2147483647u + c.tail.size() - c.trailerLength - c.length);
    }
}

TEST(Trailer, RefusesMalformedTrailersWithTheReason) {
    struct Case {
        const char *name;
        std::string tail;
        TrailerFault fault;
    } cases[] = {
        {"empty file", "", TrailerFault::NoNewline},
        {"one byte", "\n", TrailerFault::NoNewline},
        {"no newline in front of the final byte", "abcdef42\n", TrailerFault::NoNewline},
        {"the closing newline missing loses the last digit only", "x\n4", TrailerFault::NoDigits},
        {"nothing between the newlines", "x\n\n", TrailerFault::NoDigits},
        {"blanks only", "x\n   \n", TrailerFault::NoDigits},
        {"a lone sign", "x\n-\n", TrailerFault::NoDigits},
        {"letters", "x\nabc\n", TrailerFault::BadCharacter},
        {"junk after the digits", "x\n12abc\n", TrailerFault::BadCharacter},
        {"a NUL after the digits", std::string("x\n12\0\n", 6), TrailerFault::BadCharacter},
        {"a NUL in front of the digits", std::string("x\n\0" "12\n", 6), TrailerFault::BadCharacter},
        {"digits split by a blank", "x\n1 2\n", TrailerFault::BadCharacter},
        {"zero", "x\n0\n", TrailerFault::NotPositive},
        {"negative", "x\n-5\n", TrailerFault::NotPositive},
        {"2^31", "x\n2147483648\n", TrailerFault::TooLarge},
        {"far beyond 64 bits", "x\n99999999999999999999999999\n", TrailerFault::TooLarge},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Parse(c.tail).fault, c.fault);
    }
}

TEST(Trailer, PayloadMustFitInFrontOfTheTrailer) {
    // "x" plus 1000 bytes stand in front of the trailer "\n1001\n".
    EXPECT_TRUE(Parse("x\n1001\n").ok());
    EXPECT_EQ(Parse("x\n1002\n").fault, TrailerFault::PastStart);
    // A file that is nothing but a trailer.
    EXPECT_EQ(Parse("\n1\n", 0).fault, TrailerFault::PastStart);
}

TEST(Trailer, LooksOnlyAtTheTailItIsGiven) {
    // The opening newline at the very first byte of a full tail is found...
    std::string tail = "\n" + std::string(kTrailerTailSize - 4, ' ') + "12\n";
    ASSERT_EQ(tail.size(), kTrailerTailSize);
    const Trailer t = Parse(tail, 100);
    ASSERT_TRUE(t.ok());
    EXPECT_EQ(t.length, kTrailerTailSize);
    // ...one byte further out it is not: the reader never sees it.
    EXPECT_EQ(Parse(tail.substr(1), 100).fault, TrailerFault::NoNewline);
}

TEST(Trailer, FormatsWhatItParses) {
    for (std::uint32_t n : {1u, 9u, 10u, 4854046u, kMaxPayloadLength}) {
        const std::string trailer = FormatTrailer(n);
        const Trailer t = Parse("payload" + trailer, n);
        ASSERT_TRUE(t.ok()) << n;
        EXPECT_EQ(t.payloadLength, n);
        EXPECT_EQ(t.length, trailer.size());
    }
    EXPECT_EQ(FormatTrailer(4854046), "\n4854046\n");
}

}  // namespace
