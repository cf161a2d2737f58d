// The payload check's gzip layer with both of its decoders, ISA-L's and zlib's: the same output
// and the same results for every kind of gzip wrapper, damage and cut, so that the check is as
// strict wherever ISA-L is missing as where it is present.
#include <gtest/gtest.h>

#include "tests/fixtures.h"
#include "format/inflater.h"

#include <zlib.h>

#include <cstdlib>
#include <string>
#include <vector>

using namespace fixtures;
using namespace std::string_literals;

namespace {

using Result = Inflater::Result;

// Everything the inflater made of `gz` fed in pieces of `piece` bytes: the output, the results
// other than NeedInput in order, and the bytes taken.
struct Outcome {
    std::string out;
    std::vector<Result> results;
    std::size_t taken = 0;
    bool operator==(const Outcome &o) const { return out == o.out && results == o.results && taken == o.taken; }
};

// With `stopping`, the sink asks to stop after every piece of output, as a reader that takes the
// output in its own time does, and the inflater is called again, with no new input if need be.
Outcome Inflate(Inflater::Decoder decoder, const std::string &gz, std::size_t piece, bool stopping = false) {
    Inflater inflater(decoder);
    Outcome o;
    auto sink = [](void *out, const unsigned char *data, std::size_t n) {
        static_cast<std::string *>(out)->append(reinterpret_cast<const char *>(data), n);
        return true;
    };
    auto stop = [](void *out, const unsigned char *data, std::size_t n) {
        static_cast<std::string *>(out)->append(reinterpret_cast<const char *>(data), n);
        return false;
    };
    const auto *p = reinterpret_cast<const unsigned char *>(gz.data());
    for (std::size_t at = 0;;) {
        const std::size_t n = std::min(piece, gz.size() - at);
        std::size_t used = 0;
        const Result r = inflater.Run(p + at, n, used, stopping ? +stop : +sink, &o.out);
        at += used;
        o.taken = at;
        if (r == Result::Stopped) continue;
        if (at == gz.size() && r == Result::NeedInput) break;
        if (r == Result::NeedInput) continue;
        o.results.push_back(r);
        if (r != Result::MemberEnd || at == gz.size()) break;
    }
    return o;
}

std::string Member(const std::string &data, unsigned char flags, const std::string &fields) {
    std::string gz = Gzip(data);
    gz[3] = static_cast<char>(flags);
    gz.insert(10, fields);
    return gz;
}

// A header CRC field for the gzip header `header` (without it).
std::string HeaderCrc(const std::string &header) {
    const uLong crc = crc32(0, reinterpret_cast<const Bytef *>(header.data()), static_cast<uInt>(header.size()));
    return std::string{static_cast<char>(crc & 0xff), static_cast<char>(crc >> 8 & 0xff)};
}

// A member of stored blocks only, which the gzip program does not make.
std::string Stored(const std::string &data) {
    z_stream z{};
    deflateInit2(&z, 0, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, data.size()), '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

const std::vector<std::size_t> kPieces = {1, 3, 512, 8192, 1 << 20};

std::string Text(std::size_t n) {
    std::string s;
    unsigned state = 1;
    while (s.size() < n) s += "line " + std::to_string((state = state * 1103515245 + 12345) >> 20) + " of the text\n";
    return s.substr(0, n);
}

TEST(Inflater, IsaLIsLoadedWhereInstalled) {
    // scripts/install-deps installs it; without it the installer still works, with zlib.
    EXPECT_TRUE(Inflater().UsesIsal());
    EXPECT_FALSE(Inflater(Inflater::Decoder::Zlib).UsesIsal());
}

TEST(Inflater, BothDecodersReadEveryWrapperAndFaultAlike) {
    const std::string data = Text(300000);
    const std::string gz = Gzip(data);
    const std::string plainHeader = gz.substr(0, 10);
    std::string withHeaderCrc = plainHeader;
    withHeaderCrc[3] = 0x02;
    std::string crcDamaged = gz, lengthDamaged = gz, deflateDamaged = gz;
    crcDamaged[gz.size() - 8] ^= 1;
    lengthDamaged[gz.size() - 1] ^= 1;
    deflateDamaged[gz.size() / 2] ^= 0x55;
    std::string deflateUnreadable = gz;
    deflateUnreadable[10] = 0x07;  // the first block of the reserved type 3
    const std::string nameHeader = Member("", 0x08, "name\0"s).substr(0, 15);
    const std::string extra = std::string("\x06\0", 2) + "AB\x02\0xy";
    std::string allFields = Member(data, 0x1e, extra + "name\0comment\0"s);
    const std::string allFieldsHeader = allFields.substr(0, 10 + extra.size() + 13);
    allFields.insert(allFieldsHeader.size(), HeaderCrc(allFieldsHeader));

    struct Case {
        const char *name;
        std::string gz;
        std::vector<Result> results;
        std::string out;  // when all of it must come out
    } cases[] = {
        {"one member", gz, {Result::MemberEnd}, data},
        {"two members", gz + Gzip("more"), {Result::MemberEnd, Result::MemberEnd}, data + "more"},
        {"an empty member", Gzip(""), {Result::MemberEnd}, ""},
        {"a name", Member(data, 0x08, "file.tar\0"s), {Result::MemberEnd}, data},
        {"extra, name, comment and header CRC", allFields, {Result::MemberEnd}, data},
        {"a sound header CRC", Member(data, 0x02, HeaderCrc(withHeaderCrc)), {Result::MemberEnd}, data},
        {"a wrong header CRC", Member(data, 0x02, "\0\0"s), {Result::Damaged}, ""},
        {"a reserved flag", Member(data, 0x20, ""), {Result::Damaged}, ""},
        {"not gzip", "junk", {Result::Damaged}, ""},
        {"another method", "\x1f\x8b\x07" + gz.substr(3), {Result::Damaged}, ""},
        {"junk behind a member", gz + "junk", {Result::MemberEnd, Result::Damaged}, data},
        {"a wrong CRC-32", crcDamaged, {Result::CheckFailed}, data},
        {"a wrong length", lengthDamaged, {Result::CheckFailed}, data},
        {"deflate data damaged into other data", deflateDamaged, {Result::CheckFailed}, ""},
        {"deflate data damaged beyond reading", deflateUnreadable, {Result::Damaged}, ""},
        {"cut in the trailer", gz.substr(0, gz.size() - 3), {}, data},
        {"cut in the name", nameHeader.substr(0, 13), {}, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (std::size_t piece : kPieces) {
            SCOPED_TRACE(piece);
            const Outcome isal = Inflate(Inflater::Decoder::Fastest, c.gz, piece);
            const Outcome zlib = Inflate(Inflater::Decoder::Zlib, c.gz, piece);
            EXPECT_EQ(isal.results, c.results);
            // A reader that stops the inflater at every piece of output gets the same.
            EXPECT_TRUE(Inflate(Inflater::Decoder::Fastest, c.gz, piece, true) == isal);
            EXPECT_TRUE(Inflate(Inflater::Decoder::Zlib, c.gz, piece, true) == zlib);
            if (!c.out.empty()) {
                EXPECT_TRUE(isal.out == c.out);
            }
            // Damage found, each decoder may have stopped after different amounts of output.
            if (c.results.empty() || c.results.back() != Result::Damaged) {
                EXPECT_TRUE(isal == zlib);
            } else {
                EXPECT_EQ(isal.results, zlib.results);
            }
        }
    }
}

TEST(Inflater, BothDecodersJudgeRandomDamageAlike) {
    // Damage anywhere: a header field, the Huffman tables, a stored block, the trailer. Both
    // decoders must find the same fault, and agree on all the output in front of it.
    const std::string data = Text(40000) + std::string(2000, 'z') + Text(1000);
    const std::string gzs[] = {Gzip(data, 9), Gzip(data, 1), Stored(Text(70000))};
    unsigned seed = 2026;
    int differing = 0;
    for (const std::string &gz : gzs) {
        for (int i = 0; i < 400; ++i) {
            std::string damaged = gz;
            const std::size_t at = (seed = seed * 1103515245 + 12345) % gz.size();
            damaged[at] = static_cast<char>(damaged[at] ^ (1 + (seed >> 8) % 255));
            const Outcome isal = Inflate(Inflater::Decoder::Fastest, damaged, 8192);
            const Outcome zlib = Inflate(Inflater::Decoder::Zlib, damaged, 8192);
            const std::size_t common = std::min(isal.out.size(), zlib.out.size());
            if (isal.results != zlib.results || isal.out.compare(0, common, zlib.out, 0, common) != 0) {
                ++differing;
                ADD_FAILURE() << "byte " << at << " of a " << gz.size() << "-byte member";
            }
        }
    }
    EXPECT_EQ(differing, 0);
}

}  // namespace
