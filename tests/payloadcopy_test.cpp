// The extraction's copy loop in process, over a real file and a real pipe: exactly the payload
// goes through, nothing behind it is read, a refused chunk never reaches the pipe, and a window
// gets its turns while the pipeline is full, told what the pipeline has taken.
#include <gtest/gtest.h>

#include "tests/fixtures.h"
#include "installer/payloadcopy.h"
#include "tests/tar_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

using namespace fixtures;
using namespace tarfile;

namespace {

const std::size_t kPrefix = 1000;  // the program image's place
const std::size_t kReadSize = 4096;

std::string Payload(std::size_t noise) {
    return Gzip(TarArchive({Dir("./"), File("./noise", RandomBytes(noise, 7)), Launcher("#!/bin/sh\n")}));
}

// A pipe whose reader collects everything, `pause` after each read, once `reading` holds.
struct Reader {
    int fds[2];
    std::string got;
    std::atomic<std::size_t> taken{0};
    std::atomic<bool> reading{true};
    std::thread thread;

    explicit Reader(std::chrono::microseconds pause = std::chrono::microseconds(0), bool startOpen = true) {
        reading = startOpen;
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        thread = std::thread([this, pause] {
            while (!reading) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            char buffer[kReadSize];
            ssize_t n;
            while ((n = read(fds[0], buffer, sizeof buffer)) > 0) {
                got.append(buffer, static_cast<std::size_t>(n));
                taken += static_cast<std::size_t>(n);
                if (pause.count()) std::this_thread::sleep_for(pause);
            }
        });
    }
    // Closes the writing end and waits for the reader to see the end.
    void Finish() {
        close(fds[1]);
        reading = true;
        thread.join();
        close(fds[0]);
    }
};

struct Installer {
    TempDir tmp;
    int fd = -1;
    Installer(const std::string &payload, const std::string &behind = "\n123\n") {
        WriteFile(tmp / "installer", std::string(kPrefix, 'i') + payload + behind);
        fd = open((tmp / "installer").c_str(), O_RDONLY | O_CLOEXEC);
        lseek(fd, kPrefix, SEEK_SET);
    }
    ~Installer() { close(fd); }
    off_t Position() const { return lseek(fd, 0, SEEK_CUR); }
};

class PayloadCopy : public ::testing::Test {
protected:
    void SetUp() override { saved_ = std::signal(SIGPIPE, SIG_IGN); }
    void TearDown() override { std::signal(SIGPIPE, saved_); }

private:
    void (*saved_)(int) = nullptr;
};

struct Turns {
    std::vector<std::uint64_t> taken;
    static void Note(void *self, std::uint64_t taken) { static_cast<Turns *>(self)->taken.push_back(taken); }
};

// A pipe of the test's own, closed at the end: a display that never speaks, or one that does.
struct Pipe {
    int fds[2] = {-1, -1};
    explicit Pipe(int flags = 0) { EXPECT_EQ(pipe2(fds, O_CLOEXEC | flags), 0); }
    ~Pipe() {
        close(fds[0]);
        close(fds[1]);
    }
};

// The copy of `length` payload bytes into the reader's pipe; returns once the reader has seen the end.
CopyResult CopyInto(Reader &reader, const Installer &installer, std::uint32_t length, const CopyWindow &w,
                    std::uint64_t &sent) {
    PayloadGuard guard;
    const CopyResult result = CopyPayload(installer.fd, length, reader.fds[1], guard, w, sent);
    reader.Finish();
    return result;
}

TEST_F(PayloadCopy, SendsExactlyThePayloadAndReadsNothingBehindIt) {
    const std::string small = Payload(100);
    // Lengths around the block and the chunk, where a last read would otherwise bring nothing.
    const std::vector<std::pair<const char *, std::string>> payloads = {
        {"smaller than a block", small},
        {"one block", PadGzipHeader(small, 8192)},
        {"one chunk", PadGzipHeader(small, 1 << 20)},
        {"a chunk and a byte", PadGzipHeader(small, (1 << 20) + 1)},
        {"several chunks", Payload(3 << 20)},
    };
    for (const auto &[name, payload] : payloads) {
        for (const bool window : {false, true}) {
            SCOPED_TRACE(std::string(name) + (window ? ", window" : ", silent"));
            Installer installer(payload);
            Reader reader;
            Pipe never;
            Turns turns;
            CopyWindow w;
            w.turn = Turns::Note;
            w.context = &turns;
            if (window) w.descriptor = never.fds[0];
            std::uint64_t sent = 0;
            EXPECT_EQ(CopyInto(reader, installer, static_cast<std::uint32_t>(payload.size()), w, sent),
                      CopyResult::Complete);
            EXPECT_EQ(sent, payload.size());
            EXPECT_TRUE(reader.got == payload);
            EXPECT_EQ(installer.Position(), static_cast<off_t>(kPrefix + payload.size()));
            ASSERT_FALSE(turns.taken.empty());
            for (std::size_t i = 1; i < turns.taken.size(); ++i) EXPECT_LE(turns.taken[i - 1], turns.taken[i]);
            // A window's turn comes after every block; silent mode needs one per chunk.
            const std::size_t blocks = window ? (payload.size() + 8191) / 8192 : (payload.size() + (1 << 20) - 1) >> 20;
            EXPECT_GE(turns.taken.size(), blocks);
            if (!window) {
                EXPECT_EQ(turns.taken.back(), payload.size());
            }
        }
    }
}

TEST_F(PayloadCopy, StopsAtTheFirstFault) {
    const std::string sound = Payload(100);
    // A refused member behind more than a chunk of data: the first chunk goes, the second not.
    const std::string refused =
        Gzip(TarArchive({Dir("./"), File("./noise", RandomBytes(1500000, 3)), Symlink("./link", "/etc"), Launcher("#!/bin/sh\n")}));
    const std::string damaged = std::string("\x1f\x9d\x90", 3) + TarArchive({Dir("./"), Launcher("#!/bin/sh\n")});
    struct Case {
        const char *name;
        std::string payload;
        std::uint32_t length;
        bool readerCloses;
        CopyResult result;
        std::uint64_t sent;
    } cases[] = {
        {"a refused member", refused, static_cast<std::uint32_t>(refused.size()), false, CopyResult::Refused, 1 << 20},
        {"damaged data", damaged, static_cast<std::uint32_t>(damaged.size()), false, CopyResult::Damaged, 0},
        {"a file shorter than its trailer says", sound, static_cast<std::uint32_t>(sound.size() + 10), false,
         CopyResult::CutShort, sound.size()},
        {"a pipeline that stops reading", sound, static_cast<std::uint32_t>(sound.size()), true,
         CopyResult::PipelineStopped, 0},
    };
    for (const Case &c : cases) {
        for (const bool window : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (window ? ", window" : ", silent"));
            Installer installer(c.payload, "");
            Reader reader(std::chrono::microseconds(0), !c.readerCloses);
            if (c.readerCloses) {
                close(reader.fds[0]);
                reader.fds[0] = open("/dev/null", O_RDONLY | O_CLOEXEC);  // the thread then reads nothing
            }
            Pipe never;
            CopyWindow w;
            if (window) w.descriptor = never.fds[0];
            std::uint64_t sent = 0;
            EXPECT_EQ(CopyInto(reader, installer, c.length, w, sent), c.result);
            EXPECT_EQ(sent, c.sent);
            if (!c.readerCloses) {
                EXPECT_EQ(reader.got.size(), c.sent);
            }
        }
    }
}

TEST_F(PayloadCopy, AnswersTheWindowWhileThePipelineIsFullAndShowsWhatItTook) {
    const std::string payload = Payload(1 << 20);
    Installer installer(payload);
    // The pipeline takes nothing until the window has had its say, then takes 4 kB every 100 us.
    Reader reader(std::chrono::microseconds(100), false);
    Pipe display(O_NONBLOCK);
    struct Window {
        Reader *reader;
        int display;
        int answeredWhileFull = 0;
        bool accurate = true;
        std::uint64_t takenBefore = 0;  // what the reader had read when the last turn ended
    } state{&reader, display.fds[0]};
    CopyWindow w;
    w.descriptor = display.fds[0];
    w.context = &state;
    w.turn = [](void *context, std::uint64_t taken) {
        auto *s = static_cast<Window *>(context);
        char event;
        if (!s->reader->reading && read(s->display, &event, 1) == 1) {
            ++s->answeredWhileFull;
            s->reader->reading = true;
        }
        // What the pipe holds is not counted: the turn is told what the reader has read, give or
        // take the read under way.
        if (taken < s->takenBefore || taken > s->reader->taken + kReadSize) s->accurate = false;
        s->takenBefore = s->reader->taken;
    };
    std::thread event([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(write(display.fds[1], "e", 1), 1);
    });
    std::uint64_t sent = 0;
    EXPECT_EQ(CopyInto(reader, installer, static_cast<std::uint32_t>(payload.size()), w, sent), CopyResult::Complete);
    event.join();
    EXPECT_EQ(state.answeredWhileFull, 1);
    EXPECT_TRUE(state.accurate);
    EXPECT_TRUE(reader.got == payload);
}

// The guard looks ahead of what is sent, and what it looked at is what is sent: bytes changed in
// the file once they have been read never reach the pipe, whichever chunk they are in.
TEST_F(PayloadCopy, SendsWhatTheGuardLookedAtThoughTheFileChangesBehindIt) {
    const std::string payload = Payload(3 << 20);  // four chunks, the last one partial
    const std::vector<std::size_t> changes = {4321, (1 << 20) + 4321, payload.size() - 10};
    for (const std::size_t at : changes) {
        SCOPED_TRACE("byte " + std::to_string(at) + " changed");
        Installer installer(payload);
        Reader reader(std::chrono::microseconds(0), false);
        Pipe display;
        // Nothing is taken until the whole payload has been read; then the byte changes.
        struct State {
            Reader *reader;
            const Installer *installer;
            off_t end;
            off_t at;
            char byte;
        } state{&reader, &installer, static_cast<off_t>(kPrefix + payload.size()), static_cast<off_t>(kPrefix + at),
                static_cast<char>(payload[at] ^ 0x20)};
        CopyWindow w;
        w.descriptor = display.fds[0];
        w.context = &state;
        w.turn = [](void *context, std::uint64_t) {
            auto *s = static_cast<State *>(context);
            if (s->reader->reading || s->installer->Position() != s->end) return;
            const int fd = open((s->installer->tmp / "installer").c_str(), O_WRONLY | O_CLOEXEC);
            EXPECT_EQ(pwrite(fd, &s->byte, 1, s->at), 1);
            close(fd);
            s->reader->reading = true;
        };
        std::uint64_t sent = 0;
        EXPECT_EQ(CopyInto(reader, installer, static_cast<std::uint32_t>(payload.size()), w, sent), CopyResult::Complete);
        EXPECT_TRUE(reader.reading) << "the file was not changed";
        EXPECT_EQ(sent, payload.size());
        EXPECT_TRUE(reader.got == payload);
    }
}

// A chunk that inflates a thousandfold is looked at in pieces, with the window's turn between them:
// with zlib, the slower decoder, no stretch without a turn comes near the window's 100 ms (a piece
// takes about a millisecond; the bound leaves room for a loaded machine).
TEST_F(PayloadCopy, GivesTheWindowItsTurnsWhileAChunkInflatesFar) {
    const std::size_t zeros = std::size_t(64) << 20;
    const std::string payload =
        Gzip(TarArchive({Dir("./"), File("./zeros", std::string(zeros, '\0')), Launcher("#!/bin/sh\n")}));
    ASSERT_LT(payload.size() * 500, zeros);
    Installer installer(payload);
    Reader reader;
    Pipe never;
    struct Gaps {
        std::size_t turns = 0;
        std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
        std::chrono::steady_clock::duration longest{};
    } gaps;
    CopyWindow w;
    w.context = &gaps;
    w.turn = [](void *context, std::uint64_t) {
        auto *g = static_cast<Gaps *>(context);
        const auto now = std::chrono::steady_clock::now();
        g->longest = std::max(g->longest, now - g->last);
        g->last = now;
        ++g->turns;
    };
    w.descriptor = never.fds[0];
    std::uint64_t sent = 0;
    PayloadGuard guard(Inflater::Decoder::Zlib);
    EXPECT_EQ(CopyPayload(installer.fd, static_cast<std::uint32_t>(payload.size()), reader.fds[1], guard, w, sent),
              CopyResult::Complete);
    reader.Finish();
    EXPECT_TRUE(reader.got == payload);
    // One turn at least for every 256 kB inflated, besides those of the blocks sent.
    EXPECT_GE(gaps.turns, zeros / (256 << 10));
    EXPECT_LT(gaps.longest, std::chrono::milliseconds(100));
}

}  // namespace
