// The packer's block deflate: one gzip member that the system's gunzip and the packer's own checked
// reader take, the same bytes whatever the number of threads and however the input is handed over.
#include "tools/error.h"
#include "tests/fixtures.h"
#include "tools/gzipsource.h"
#include "tools/paralleldeflate.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>

using namespace fixtures;

namespace {

const std::size_t kBlock = ParallelGzip::kDictionary;  // the smallest block: many blocks in little data

// A few words over and over: text that compresses well, the more so with the data before it.
std::string Text(std::size_t n) {
    std::mt19937 gen(3);
    const char *words[] = {"track ", "gain ", "peak ", "name ", "skin ", "midnight ", "classic ", "player "};
    std::string s;
    while (s.size() < n) {
        s += words[gen() % 8];
        if (gen() % 9 == 0) s += std::to_string(gen() % 1000) + "\n";
    }
    s.resize(n);
    return s;
}

std::string Compress(const std::string &input, unsigned jobs, std::size_t chunk, std::size_t block = kBlock,
                     int level = ParallelGzip::kLevel) {
    std::string out;
    ParallelGzip gzip([&out](const unsigned char *data, std::size_t n) { out.append(reinterpret_cast<const char *>(data), n); },
                      jobs, level, block);
    for (std::size_t at = 0; at < input.size(); at += chunk) gzip.Write(input.data() + at, std::min(chunk, input.size() - at));
    gzip.Finish();
    return out;
}

// What the packer's --verify says of `member` as a whole payload: "" when it is one sound member.
std::string CheckedFault(const std::string &member, std::string *content) {
    TempDir tmp;
    WriteFile(tmp / "member.gz", member);
    const int fd = open((tmp / "member.gz").c_str(), O_RDONLY);
    GzipSource source(fd, 0, member.size(), true);
    unsigned char chunk[1 << 16];
    ssize_t n;
    while ((n = source.Read(chunk, sizeof chunk)) > 0) content->append(reinterpret_cast<char *>(chunk), n);
    close(fd);
    return source.fault();
}

TEST(ParallelDeflate, OneSoundMemberWithTheSameBytesForEveryThreadCount) {
    const std::string text = Text(10 * kBlock + 12345);
    struct Case {
        const char *name;
        std::string input;
    } cases[] = {
        {"nothing", ""},
        {"one byte", "x"},
        {"exactly one block", Text(kBlock)},
        {"one block and a byte", Text(kBlock + 1)},
        {"exactly three blocks", Text(3 * kBlock)},
        {"text over many blocks", text},
        {"noise, zeros and text", RandomBytes(3 * kBlock + 7, 1) + std::string(5 * kBlock, '\0') + text.substr(0, 2 * kBlock)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string once = Compress(c.input, 1, c.input.size() + 1);
        for (unsigned jobs : {1u, 2u, 3u})
            for (std::size_t chunk : {std::size_t{1} << 20, std::size_t{10240}, std::size_t{4093}}) {
                if (jobs == 1 && chunk == (1u << 20)) continue;
                EXPECT_EQ(Compress(c.input, jobs, chunk), once) << jobs << " threads, " << chunk << "-byte writes";
            }

        // No name, no time, deflate; what gzip sets for the level; Unix.
        EXPECT_EQ(once.substr(0, 10), std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10));
        std::string content;
        EXPECT_EQ(CheckedFault(once, &content), "");
        EXPECT_TRUE(content == c.input) << "the checked reader gets back other bytes";
        Command gunzip;
        gunzip.argv = {"gunzip", "-c"};
        gunzip.input = once;
        const Result r = RunCommand(gunzip);
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_TRUE(r.out == c.input) << "gunzip gets back other bytes";
    }
}

TEST(ParallelDeflate, EachBlockStartsFromTheDataBeforeIt) {
    // The same text cut in 32 KiB blocks loses little against one stream (0.6% here): blocks that
    // forgot the 32 KiB before them would lose 4.5%.
    const std::string text = Text(40 * kBlock);
    const double blocks = static_cast<double>(Compress(text, 2, 1 << 20).size());
    const double whole = static_cast<double>(Compress(text, 1, 1 << 20, text.size() + 1).size());
    EXPECT_LT(blocks / whole, 1.02) << blocks << " bytes in blocks, " << whole << " in one";

    // Level 9 is marked as such in the header, and compresses.
    const std::string nine = Compress(text, 2, 1 << 20, kBlock, 9);
    EXPECT_EQ(nine[8], 2);
    EXPECT_LE(nine.size(), static_cast<std::size_t>(blocks));
}

TEST(ParallelDeflate, NoiseIsStoredButRepeatsOfItAreStillFound) {
    // Random bytes go out stored, next to nothing larger; a random record repeated within deflate's
    // window still reads as noise byte by byte, but must still be compressed.
    struct Case {
        const char *name;
        std::string input;
        double atMost;  // of the input's size
    } cases[] = {
        {"noise", RandomBytes(40 * kBlock, 7), 1.001},
        {"a 16 KiB record over and over", "", 0.2},
        {"a 30 KiB record over and over", "", 0.3},
    };
    for (std::size_t record : {16u << 10, 30u << 10}) {
        const std::string one = RandomBytes(record, 8);
        std::string &input = cases[record == (16u << 10) ? 1 : 2].input;
        while (input.size() < 40 * kBlock) input += one;
    }
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = Compress(c.input, 2, 10240, ParallelGzip::kBlockSize);
        EXPECT_LE(static_cast<double>(out.size()), c.atMost * static_cast<double>(c.input.size()));
        std::string content;
        EXPECT_EQ(CheckedFault(out, &content), "");
        EXPECT_TRUE(content == c.input);
    }
}

TEST(ParallelDeflate, WhatTheSinkThrowsComesOutAndTheThreadsStop) {
    const std::string input = RandomBytes(40 * kBlock, 2);
    for (unsigned jobs : {1u, 3u}) {
        SCOPED_TRACE(std::to_string(jobs) + " threads");
        std::size_t taken = 0, written = 0;
        ParallelGzip gzip(
            [&taken](const unsigned char *, std::size_t n) {
                if (taken > 3 * kBlock) throw PackError("the disk is full");
                taken += n;
            },
            jobs, ParallelGzip::kLevel, kBlock);
        try {
            for (; written < input.size(); written += 10240) gzip.Write(input.data() + written, 10240);
            gzip.Finish();
            ADD_FAILURE() << "the sink's failure went unnoticed";
        } catch (const PackError &e) {
            EXPECT_STREQ(e.what(), "the disk is full");
        }
        // The failure comes out while the input is still being written: the writer keeps only a
        // few blocks in flight (two for each thread) ahead of the sink.
        EXPECT_LT(written, (4 + 2 * jobs + 2) * kBlock);
    }  // the destructor joins threads that may still hold blocks
}

}  // namespace
