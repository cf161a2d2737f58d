// The extraction engine in process, with no toolkit linked: a payload read once from the installer
// file and installed whole by the real gunzip and tar, and a refused one reported with its reason.
#include <gtest/gtest.h>

#include "installer/engine.h"
#include "posix/fd.h"
#include "tests/fixtures.h"
#include "tests/tar_support.h"

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <grp.h>
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
    CopyWindow window;
    window.context = &taken;
    window.turn = [](void *context, std::uint64_t t) { *static_cast<std::uint64_t *>(context) = t; };
    const Fd installer(open((tmp / "installer").c_str(), O_RDONLY | O_CLOEXEC));
    bool ok = extraction.Open(installer.get());
    EXPECT_TRUE(ok);
    EXPECT_EQ(extraction.length(), payload.size());
    const std::uint64_t before = BytesRead();
    mkdir(dest.c_str(), 0700);
    const Fd destination(open(dest.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ok = ok && extraction.Run(destination.get(), window);
    read = BytesRead() - before;
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
        EXPECT_EQ(extraction.fault(), Extraction::Fault::Nothing);
        EXPECT_EQ(taken, payload.size());
        EXPECT_TRUE(ReadFile(tmp / "sound/noise") == noise);
        // Each payload byte once; what else is read (the destination's listing) is small.
        EXPECT_GE(read, payload.size());
        EXPECT_LT(read, payload.size() + (64 << 10));
    }
    {
        SCOPED_TRACE("refused");
        const std::string payload =
            Gzip(TarArchive({Dir("./"), tarfile::File("./noise", noise), Symlink("./link", "/etc"), Launcher("#!/bin/sh\n")}));
        Extraction extraction;
        std::uint64_t taken = 0, read = 0;
        EXPECT_FALSE(RunExtraction(extraction, tmp, payload, tmp / "refused", taken, read));
        EXPECT_EQ(extraction.fault(), Extraction::Fault::Damaged);
        EXPECT_NE(extraction.reason().find("./link"), std::string::npos) << extraction.reason();
        EXPECT_FALSE(Exists(tmp / "refused/link"));
        EXPECT_FALSE(Exists(tmp / "refused/sonaris"));
    }
}

// Where the system has no descriptor for a process's end (before Linux 5.3, or blocked, as here),
// the window still gets its turns while the shell ends: its end is looked for between them.
TEST(Engine, ServesTheWindowWhileTheShellEndsWithoutAPidfd) {
    TempDir tmp;
    const std::string payload = Gzip(TarArchive({Dir("./"), Launcher("#!/bin/sh\n")}));
    mkdir((tmp / "bin").c_str(), 0755);
    const char *gunzip = Exists("/usr/bin/gunzip") ? "/usr/bin/gunzip" : "/bin/gunzip";
    WriteFile(tmp / "bin/gunzip", std::string("#!/bin/sh\n") + gunzip + " \"$@\"; s=$?; sleep 0.5; exit $s\n", 0755);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("PATH", (tmp / "bin:" + std::getenv("PATH")).c_str(), 1);
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
        CopyWindow window;
        window.descriptor = display[0];
        window.context = &count;
        window.turn = [](void *context, std::uint64_t taken) {
            auto *c = static_cast<Count *>(context);
            c->atEnd += taken == c->length;
        };
        WriteFile(tmp / "installer", InstallerBytes(payload), 0755);
        // Root's gunzip comes from the system's directories only: the slow one runs for nobody.
        mkdir((tmp / "dest").c_str(), 0700);
        if (chown((tmp / "dest").c_str(), kNobody, kNobody) != 0 || setgroups(0, nullptr) != 0 ||
            setresgid(kNobody, kNobody, kNobody) != 0 || setresuid(kNobody, kNobody, kNobody) != 0)
            _exit(2);
        Extraction extraction;
        const Fd installer(open((tmp / "installer").c_str(), O_RDONLY | O_CLOEXEC));
        const Fd destination(open((tmp / "dest").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!extraction.Open(installer.get()) || !extraction.Run(destination.get(), window)) _exit(5);
        _exit(count.atEnd >= 4 ? 0 : 6);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    // 2-4: the set-up failed; 5: the extraction failed; 6: too few turns while the shell ended.
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(Exists(tmp / "dest/sonaris"));
}

}  // namespace
