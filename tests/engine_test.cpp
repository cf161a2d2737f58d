// The extraction engine in process, with no toolkit linked: a payload read once from the installer
// file and installed whole by the real gunzip and tar, and a refused one reported with its reason.
#include <gtest/gtest.h>

#include "installer/engine.h"
#include "tests/fixtures.h"
#include "tests/tar_support.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>

#include <fstream>
#include <string>

using namespace fixtures;
using namespace tarfile;

namespace {

std::size_t FormatTrailerSize(std::size_t length) { return std::to_string(length).size() + 2; }

// Returns the bytes this thread has read through read(2) and its kin so far.
std::uint64_t BytesRead() {
    std::ifstream io("/proc/thread-self/io");  // not the reaped pipeline's
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:") return value;
    return 0;
}

// Runs the extraction of `payload` into `dest`, from a directory it returns to; the turns' last
// count in `taken`.
bool RunExtraction(Extraction &extraction, const TempDir &tmp, const std::string &payload, const std::string &dest,
                   std::uint64_t &taken, std::uint64_t &read) {
    WriteFile(tmp / "installer", InstallerBytes(payload), 0755);
    char here[4096];
    EXPECT_NE(getcwd(here, sizeof here), nullptr);
    CopyTurns window;
    window.context = &taken;
    window.turn = [](void *context, std::uint64_t t) { *static_cast<std::uint64_t *>(context) = t; };
    const Fd file(open((tmp / "installer").c_str(), O_RDONLY | O_CLOEXEC));
    bool ok = extraction.Open(file.get());
    EXPECT_TRUE(ok);
    EXPECT_EQ(extraction.length(), payload.size());
    mkdir(dest.c_str(), 0700);
    const Fd destination(open(dest.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::uint64_t before = BytesRead();
    ok = ok && extraction.Run(destination.get(), window);
    read = BytesRead() - before;
    // The payload is read once, front to back, and nothing behind it.
    if (ok) {
        EXPECT_EQ(lseek(file.get(), 0, SEEK_CUR), static_cast<off_t>(ReadFile(tmp / "installer").size() - FormatTrailerSize(payload.size())));
    }
    EXPECT_EQ(chdir(here), 0);
    return ok;
}

TEST(Engine, InstallsAPayloadReadOnceAndReportsARefusedOne) {
    TempDir tmp;
    const std::string noise = RandomBytes(5 << 20, 3);
    {
        SCOPED_TRACE("sound");
        const std::string payload =
            Gzip(TarArchive({Dir("./"), Dir("./lib/"), tarfile::File("./noise", noise), Launcher("#!/bin/sh\n")}));
        Extraction extraction;
        std::uint64_t taken = 0, read = 0;
        EXPECT_TRUE(RunExtraction(extraction, tmp, payload, tmp / "sound", taken, read));
        EXPECT_EQ(extraction.outcome(), Outcome::Sound);
        EXPECT_EQ(taken, payload.size());
        EXPECT_TRUE(ReadFile(tmp / "sound/noise") == noise);
        // Each payload byte once; behind the tar stream's first megabyte, held back, only its
        // headers are read, the file data moving from pipe to pipe.
        EXPECT_GE(read, payload.size());
        EXPECT_LT(read, payload.size() + (2 << 20));
    }
    {
        SCOPED_TRACE("refused");
        const std::string payload =
            Gzip(TarArchive({Dir("./"), tarfile::File("./noise", noise), Symlink("./link", "/etc"), Launcher("#!/bin/sh\n")}));
        Extraction extraction;
        std::uint64_t taken = 0, read = 0;
        EXPECT_FALSE(RunExtraction(extraction, tmp, payload, tmp / "refused", taken, read));
        EXPECT_EQ(extraction.outcome(), Outcome::ArchiveUnsupported);
        EXPECT_NE(extraction.reason().find("./link"), std::string::npos) << extraction.reason();
        EXPECT_FALSE(Exists(tmp / "refused/link"));
        EXPECT_FALSE(Exists(tmp / "refused/sonaris"));
    }
}

// Where the system has no descriptor for a process's end (before Linux 5.3, or blocked, as here),
// the window still gets its turns while gunzip ends: its end is looked for between them. The
// slow gunzip is found on PATH only by a user other than root, as whom the case runs.
TEST(Engine, ServesTheWindowWhileTheShellEndsWithoutAPidfd) {
    TempDir tmp;
    const std::string payload = Gzip(TarArchive({Dir("./"), Launcher("#!/bin/sh\n")}));
    // Made before the child drops to nobody, who may not reach the build's program image.
    const std::string installerBytes = InstallerBytes(payload);
    mkdir((tmp / "bin").c_str(), 0755);
    chmod(tmp.path().c_str(), 0777);
    WriteFile(tmp / "bin/gunzip", "#!/bin/sh\n" + SystemTool("gunzip") + " \"$@\"; s=$?; sleep 0.5; exit $s\n", 0755);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("PATH", (tmp / "bin:" + std::getenv("PATH")).c_str(), 1);
        if (!BecomeNobody()) _exit(7);
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            _exit(2);
        if (syscall(SYS_pidfd_open, getpid(), 0) >= 0 || errno != ENOSYS) _exit(3);
        int display[2];
        if (pipe(display) != 0) _exit(4);
        // The turns that come once the whole payload has been taken: those of the shell's end.
        struct Count {
            std::uint64_t length;
            int atEnd = 0;
        } count{payload.size()};
        CopyTurns window;
        window.descriptor = display[0];
        window.context = &count;
        window.turn = [](void *context, std::uint64_t taken) {
            auto *c = static_cast<Count *>(context);
            c->atEnd += taken == c->length;
        };
        WriteFile(tmp / "installer", installerBytes, 0755);
        Extraction extraction;
        mkdir((tmp / "dest").c_str(), 0700);
        const Fd file(open((tmp / "installer").c_str(), O_RDONLY | O_CLOEXEC));
        const Fd dest(open((tmp / "dest").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!extraction.Open(file.get()) || !extraction.Run(dest.get(), window)) _exit(5);
        _exit(count.atEnd >= 4 ? 0 : 6);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    // 2-4, 7: the set-up failed; 5: the extraction failed; 6: too few turns while the shell ended.
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(Exists(tmp / "dest/sonaris"));
}

}  // namespace
