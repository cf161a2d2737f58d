// The extraction's copy loop in process, with the real gunzip and a tar played by the test: exactly
// the payload goes into gunzip, exactly what the guard admitted reaches tar (spliced where both ends
// are pipes, copied where they are not), and the faults on each side are told apart.
#include <gtest/gtest.h>

#include "tests/fixtures.h"
#include "installer/payloadcopy.h"
#include "tests/tar_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

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

std::string Payload(std::size_t noise) {
    return Gzip(TarArchive({Dir("./"), File("./noise", RandomBytes(noise, 7)), Launcher("#!/bin/sh\n")}));
}

// Two connected ends: a pipe, or a socket pair where a pipe is not wanted.
void Connect(bool socket, int fds[2]) {
    EXPECT_EQ(socket ? socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) : pipe2(fds, O_CLOEXEC), 0);
}

// The real gunzip, and a tar that collects what it is given: it stops reading after `limit` bytes,
// and takes nothing until `reading` holds.
class Commands : public CopyCommands {
public:
    bool sockets = false;
    bool socketInput = false;  // gunzip's input too
    std::size_t limit = std::string::npos;
    std::atomic<bool> reading{true};
    std::atomic<std::size_t> taken{0};
    std::string got;
    pid_t gunzip = -1;

    ~Commands() override { Finish(); }

    bool StartUnpacker(Fd &input, Fd &output) override {
        int in[2], out[2];
        Connect(socketInput, in);
        Connect(sockets, out);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        posix_spawnattr_setsigdefault(&attributes, &pipe);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
        char name[] = "gunzip";
        char *argv[] = {name, nullptr};
        const bool ok = posix_spawnp(&gunzip, "gunzip", &actions, &attributes, argv, environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        close(in[0]);
        close(out[1]);
        input = Fd(in[1]);
        output = Fd(out[0]);
        return ok;
    }

    bool StartArchiver(Fd &input) override {
        int fds[2];
        Connect(sockets, fds);
        input = Fd(fds[1]);
        tar_ = std::thread([this, fd = fds[0]] {
            while (!reading) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            char buffer[4096];
            ssize_t n;
            while (got.size() < limit && (n = read(fd, buffer, std::min(sizeof buffer, limit - got.size()))) > 0) {
                got.append(buffer, static_cast<std::size_t>(n));
                taken += static_cast<std::size_t>(n);
            }
            close(fd);
        });
        return true;
    }

    // gunzip's wait status, once tar has seen the end.
    int Finish() {
        reading = true;
        if (tar_.joinable()) tar_.join();
        if (gunzip > 0) waitpid(gunzip, &status_, 0);
        gunzip = -1;
        return status_;
    }

private:
    std::thread tar_;
    int status_ = -1;
};

struct Installer {
    TempDir tmp;
    int fd = -1;
    explicit Installer(const std::string &payload) {
        WriteFile(tmp / "installer", std::string(kPrefix, 'i') + payload + "\n123\n");
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

// A pipe of the test's own, closed at the end: a display that never speaks, or one that does.
struct Pipe {
    int fds[2] = {-1, -1};
    explicit Pipe(int flags = 0) { EXPECT_EQ(pipe2(fds, O_CLOEXEC | flags), 0); }
    ~Pipe() {
        close(fds[0]);
        close(fds[1]);
    }
};

TEST_F(PayloadCopy, HandsOnWhatWasAdmittedAndTellsTheFaultsApart) {
    const std::string sound = Payload(3 << 20);
    const std::string refused =
        Gzip(TarArchive({Dir("./"), File("./noise", RandomBytes(3 << 20, 3)), Symlink("./link", "/etc"), Launcher("#!/bin/sh\n")}));
    const std::size_t beforeLink = 512 + 512 + (3 << 20);  // ./ and ./noise, whole
    const std::string cut = sound.substr(0, sound.size() / 2);
    struct Case {
        const char *name;
        std::string payload;
        bool sockets;
        std::size_t limit;
        Outcome result;
        std::size_t got;  // bytes of the tar stream that tar gets
        bool cutOff;
        std::size_t missing = 0;  // bytes the trailer claims beyond the file's end
        bool socketInput = false;
    } cases[] = {
        {"sound", sound, false, std::string::npos, Outcome::Sound, Gunzipped(sound).size(), false},
        {"sound, through ends that are not pipes", sound, true, std::string::npos, Outcome::Sound,
         Gunzipped(sound).size(), false},
        {"a member refused behind megabytes", refused, false, std::string::npos, Outcome::Refused, beforeLink, true},
        {"gunzip failing mid-stream", cut, false, std::string::npos, Outcome::Refused, Gunzipped(cut).size(), false},
        {"tar stopping early", sound, false, 100000, Outcome::TarStopped, 100000, true},
        {"not gzip data", "BZh91AY&SY" + sound, false, std::string::npos, Outcome::NotGzip, 0, false},
        {"a file shorter than its trailer says", Payload(100), false, std::string::npos, Outcome::InstallerFileCutShort, 0, false, 10},
        // gunzip has read what the file held, and its output up to there went on to tar.
        {"a file shorter than its trailer says, behind megabytes", sound, false, std::string::npos,
         Outcome::InstallerFileCutShort, Gunzipped(sound).size(), false, 10},
        {"sound, into gunzip through an end that is not a pipe", sound, true, std::string::npos, Outcome::Sound,
         Gunzipped(sound).size(), false, 0, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Installer installer(c.payload);
        Commands commands;
        commands.sockets = c.sockets;
        commands.socketInput = c.socketInput;
        commands.limit = c.limit;
        PayloadGuard guard;
        CopyTurns w;
        CopyCounts counts;
        const auto length = static_cast<std::uint32_t>(c.payload.size() + c.missing);
        EXPECT_EQ(CopyPayload(installer.fd, length, commands, guard, w, counts), c.result);
        const int status = commands.Finish();
        EXPECT_EQ(commands.got.size(), c.got);
        EXPECT_TRUE(commands.got == Gunzipped(c.payload).substr(0, c.got)) << "tar got other bytes";
        EXPECT_EQ(counts.cutOff, c.cutOff);
        if (c.result == Outcome::NotGzip) {
            EXPECT_EQ(commands.gunzip, -1);
            continue;
        }
        // gunzip took the payload whole, unless it was stopped; nothing behind it was read.
        if (!c.cutOff && c.missing == 0) {
            EXPECT_EQ(counts.fed, length);
            EXPECT_EQ(installer.Position(), static_cast<off_t>(kPrefix + length));
        }
        // Stopped early, gunzip has either finished already or dies of SIGPIPE: it never complains.
        if (c.cutOff) {
            EXPECT_TRUE(WIFSIGNALED(status) ? WTERMSIG(status) == SIGPIPE : WEXITSTATUS(status) == 0) << status;
        } else {
            EXPECT_EQ(WIFEXITED(status) && WEXITSTATUS(status) == 0, c.result == Outcome::Sound) << status;
        }
        // Behind the first megabyte, held back, file data goes from pipe to pipe where both ends are pipes.
        if (c.sockets) {
            EXPECT_EQ(counts.spliced, 0u);
        } else if (c.result == Outcome::Sound) {
            EXPECT_GT(counts.spliced, std::uint64_t(1) << 20);
        }
    }
}

TEST_F(PayloadCopy, AnswersTheWindowWhileTarIsFullAndShowsWhatGunzipTook) {
    const std::string payload = Payload(4 << 20);
    Installer installer(payload);
    // tar takes nothing until the window has had its say.
    Commands commands;
    commands.reading = false;
    Pipe display(O_NONBLOCK);
    struct Window {
        Commands *reader;
        int display;
        int answeredWhileFull = 0;
        bool accurate = true;
        std::uint64_t takenBefore = 0;  // what gunzip had taken at the last turn
    } state{&commands, display.fds[0]};
    CopyTurns w;
    w.descriptor = display.fds[0];
    w.context = &state;
    w.turn = [](void *context, std::uint64_t taken) {
        auto *s = static_cast<Window *>(context);
        char event;
        if (!s->reader->reading && read(s->display, &event, 1) == 1) {
            ++s->answeredWhileFull;
            s->reader->reading = true;
        }
        // What the pipe into gunzip holds is not counted.
        if (taken < s->takenBefore) s->accurate = false;
        s->takenBefore = taken;
    };
    std::thread event([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(write(display.fds[1], "e", 1), 1);
    });
    PayloadGuard guard;
    CopyCounts counts;
    EXPECT_EQ(CopyPayload(installer.fd, static_cast<std::uint32_t>(payload.size()), commands, guard, w, counts),
              Outcome::Sound);
    event.join();
    commands.Finish();
    EXPECT_EQ(state.answeredWhileFull, 1);
    EXPECT_TRUE(state.accurate);
    EXPECT_EQ(state.takenBefore, payload.size());
    EXPECT_TRUE(commands.got == Gunzipped(payload));
}

// The payload's pieces wait in gunzip's pipe while tar takes nothing; the file is written over
// behind what has been read at every turn, and gunzip still gets what was read.
TEST_F(PayloadCopy, GunzipGetsWhatWasReadWhateverTheFileHoldsAfterwards) {
    const std::string payload = Payload(6 << 20);
    Installer installer(payload);
    Commands commands;
    commands.reading = false;
    Pipe display;
    struct Overwrite {
        Commands *reader;
        int file, read;
        int turns = 0;
    } state{&commands, open((installer.tmp / "installer").c_str(), O_WRONLY | O_CLOEXEC), installer.fd};
    CopyTurns w;
    w.descriptor = display.fds[0];
    w.context = &state;
    w.turn = [](void *context, std::uint64_t) {
        auto *s = static_cast<Overwrite *>(context);
        const off_t behind = lseek(s->read, 0, SEEK_CUR);
        const std::string garbage(static_cast<std::size_t>(behind) - kPrefix, 'x');
        EXPECT_EQ(pwrite(s->file, garbage.data(), garbage.size(), kPrefix), static_cast<ssize_t>(garbage.size()));
        if (++s->turns == 3) s->reader->reading = true;
    };
    PayloadGuard guard;
    CopyCounts counts;
    EXPECT_EQ(CopyPayload(installer.fd, static_cast<std::uint32_t>(payload.size()), commands, guard, w, counts),
              Outcome::Sound);
    EXPECT_EQ(WEXITSTATUS(commands.Finish()), 0);
    close(state.file);
    EXPECT_GE(state.turns, 3);
    EXPECT_TRUE(commands.got == Gunzipped(payload));
}

// tar's words on standard error, however they come in: all of them, or once the judge has said
// that the installation cannot go on, the whole lines among the first ten and one that counts the rest.
TEST(TarRelay, PassesTheFirstTenWholeLinesOnceItsJudgeSpeaksAndCountsTheRest) {
    std::string lines;
    for (int i = 1; i <= 25; ++i) lines += "tar: line " + std::to_string(i) + "\n";
    const std::string ten = lines.substr(0, lines.find("tar: line 11"));
    const std::string twelve = lines.substr(0, lines.find("tar: line 13"));
    struct Case {
        const char *name;
        std::vector<std::string> writes;  // what tar writes, in turn
        int fatalAt;                      // the judge's call that says so; 0 for none
        std::string passed;
    } cases[] = {
        {"never fatal", {lines}, 0, lines},
        {"fatal at the first line", {lines}, 1, ten + "(15 more lines from tar)\n"},
        {"fatal at the second write, a line cut in two", {"tar: a", ": full\ntar: b", ": full\n"}, 1,
         "tar: a: full\n(1 more line from tar)\n"},
        {"fatal once twelve lines have passed", {twelve, lines.substr(twelve.size())}, 2,
         twelve + "(13 more lines from tar)\n"},
        {"an unfinished last line held back", {lines + "tar: unfinished"}, 1, ten + "(16 more lines from tar)\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int from[2], to[2];
        ASSERT_EQ(pipe2(from, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(to, O_CLOEXEC | O_NONBLOCK), 0);
        const int savedStderr = dup(STDERR_FILENO);
        dup2(to[1], STDERR_FILENO);
        int calls = 0;
        Relay relay(Fd(from[0]), "tar", [&] { return ++calls == c.fatalAt; });
        for (const std::string &w : c.writes) {
            EXPECT_EQ(write(from[1], w.data(), w.size()), static_cast<ssize_t>(w.size()));
            relay.Serve();
        }
        close(from[1]);
        while (relay.busy()) relay.Serve(true);
        dup2(savedStderr, STDERR_FILENO);
        close(savedStderr);
        close(to[1]);
        std::string got;
        char buffer[4096];
        for (ssize_t n; (n = read(to[0], buffer, sizeof buffer)) > 0;) got.append(buffer, static_cast<std::size_t>(n));
        close(to[0]);
        EXPECT_EQ(got, c.passed);
        EXPECT_EQ(relay.fatal(), c.fatalAt > 0);
    }
}

}  // namespace
