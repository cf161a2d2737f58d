// The program image on systems that hold nothing but the C library: its ELF dependencies, and
// installer files run in minimal Debian 11 and 12 roots and on this machine (silently, without a
// display, and in the window on the harness's X server).
#include <gtest/gtest.h>

#include "fixtures.h"
#include "wizard_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace fixtures;
using namespace wizard;

namespace {

const std::string kPortableImage = PortableImage();
const char kThisMachine[] = "this machine";

bool UnderCI() {
    const char *ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

// A reason to skip, which CI turns into a failure: there the suite must run.
#define SKIP_OUTSIDE_CI(reason)                                                   \
    do {                                                                          \
        if (UnderCI()) FAIL() << (reason) << " (CI=true: the suite may not skip)"; \
        GTEST_SKIP() << (reason);                                                 \
    } while (0)

Result RunQuietly(std::vector<std::string> argv) {
    Command c;
    c.argv = std::move(argv);
    c.timeoutSeconds = 900;  // making a root takes about a minute, its packages another
    return RunCommand(c);
}

struct Elf {
    std::set<std::string> needed;
    std::string highestGlibc;  // "2.31"
};

// Version strings compared number by number: 2.9 < 2.31.
bool VersionLess(const std::string &a, const std::string &b) {
    std::istringstream sa(a), sb(b);
    for (;;) {
        int x = -1, y = -1;
        char dot;
        sa >> x;
        sb >> y;
        if (x != y) return x < y;
        if (x == -1) return false;
        sa >> dot;
        sb >> dot;
    }
}

Elf ReadElf(const std::string &path) {
    Elf elf;
    const Result dynamic = RunQuietly({"readelf", "--dynamic", "--wide", path});
    EXPECT_EQ(dynamic.exitStatus, 0) << dynamic.err;
    std::istringstream lines(dynamic.out);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t open = line.find("Shared library: ["), close = line.rfind(']');
        if (line.find("(NEEDED)") != std::string::npos && open != std::string::npos)
            elf.needed.insert(line.substr(open + 17, close - open - 17));
    }
    const Result symbols = RunQuietly({"objdump", "--dynamic-syms", path});
    EXPECT_EQ(symbols.exitStatus, 0) << symbols.err;
    for (std::size_t at = 0; (at = symbols.out.find("GLIBC_", at)) != std::string::npos;) {
        at += 6;
        const std::size_t end = symbols.out.find_first_not_of("0123456789.", at);
        const std::string version = symbols.out.substr(at, end - at);
        if (elf.highestGlibc.empty() || VersionLess(elf.highestGlibc, version)) elf.highestGlibc = version;
    }
    return elf;
}

TEST(ProgramImage, NeedsOnlyTheCLibrary) {
#ifdef SONARIS_DYNAMIC_IMAGE
    GTEST_SKIP() << "the sanitized build links the image dynamically";
#endif
    const std::set<std::string> core = {"libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2"};
    std::set<std::string> older = core;  // before 2.34 libdl and libpthread stood apart from libc
    older.insert({"libdl.so.2", "libpthread.so.0"});
    struct Case {
        const char *name;
        std::string path;
        std::set<std::string> allowed;
        const char *highestGlibc;  // empty: this system's own
    } cases[] = {
        {"the host's image", InstallerPath(), core, ""},
        {"the portable image", kPortableImage, older, "2.31"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (!Exists(c.path)) {
            if (geteuid() == 0 || UnderCI()) ADD_FAILURE() << c.path << " is missing: make portable";
            continue;  // without root there is no Debian 11 root to build it in
        }
        const Elf elf = ReadElf(c.path);
        for (const std::string &library : elf.needed) EXPECT_TRUE(c.allowed.count(library)) << library;
        EXPECT_TRUE(elf.needed.count("libc.so.6"));
        if (*c.highestGlibc) {
            EXPECT_FALSE(VersionLess(c.highestGlibc, elf.highestGlibc)) << elf.highestGlibc;
        }
    }
}

// A launcher that records its arguments where the test finds them.
std::string Launcher(const std::string &marker) {
    return "#!/bin/sh\nprintf '%s\\n' \"$*\" > " + marker + "\n";
}

// A minimal Debian system, by its suite, or this machine.
class MinimalSystem : public testing::TestWithParam<const char *> {
protected:
    std::string root;
    std::unique_ptr<TempDir> tmp;  // inside the root
    std::string inside;            // tmp's path as the root sees it

    void SetUp() override {
#ifdef SONARIS_DYNAMIC_IMAGE
        GTEST_SKIP() << "the sanitized build links the image dynamically: it cannot run in a minimal system";
#endif
        if (geteuid() != 0) SKIP_OUTSIDE_CI("needs root: minimal systems are made with debootstrap and run with chroot");
        if (std::string(GetParam()) != kThisMachine) {
            const Result made = RunQuietly({SourceDir() + "/scripts/debian-root", GetParam()});
            if (made.exitStatus == 2) SKIP_OUTSIDE_CI(made.err);
            ASSERT_EQ(made.exitStatus, 0) << made.err;
            root = made.out.substr(0, made.out.find('\n'));
        }
        ASSERT_TRUE(Exists(kPortableImage)) << "make portable";
        tmp = std::make_unique<TempDir>(root + "/tmp");
        inside = tmp->path().substr(root.size());
    }

    // How to enter the system: chroot ROOT, or nothing on this machine.
    std::vector<std::string> Enter() const {
        return root.empty() ? std::vector<std::string>{} : std::vector<std::string>{"chroot", root};
    }

    // An installer file made by the packer with its default image, for a small tree.
    std::string MakeInstaller(const std::string &name) {
        const std::string tree = *tmp / "tree";
        mkdir(tree.c_str(), 0755);
        mkdir((tree + "/share").c_str(), 0755);
        WriteFile(tree + "/share/readme.txt", "Sonaris 8\n");
        WriteFile(tree + "/sonaris", Launcher(inside + "/launched"), 0755);
        const Result packed = RunQuietly({PackerPath(), tree, *tmp / name});
        EXPECT_EQ(packed.exitStatus, 0) << packed.err;
        return name;
    }

    // The command line for `program` run in the root with nothing but `env` in its environment.
    std::vector<std::string> InRoot(const std::vector<std::string> &env, const std::vector<std::string> &args) {
        std::vector<std::string> argv = Enter();
        argv.insert(argv.end(), {"/usr/bin/env", "-i", "PATH=/usr/bin:/bin", "HOME=" + inside + "/home"});
        argv.insert(argv.end(), env.begin(), env.end());
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
};

TEST_P(MinimalSystem, SilentInstallationsAndTheMissingDisplay) {
    const std::string installer = inside + "/" + MakeInstaller("installer");
    const Result installed = RunQuietly(InRoot({}, {installer, "-s", inside + "/dest"}));
    EXPECT_EQ(installed.exitStatus, 0) << installed.err;
    EXPECT_EQ(installed.err, "");
    EXPECT_EQ(TreeListing(*tmp / "dest"), TreeListing(*tmp / "tree"));

    // Cut off in the middle of its payload.
    std::string bytes = ReadFile(*tmp / "installer");
    const std::size_t image = ReadFile(PackerDefaultImage()).size();
    WriteFile(*tmp / "truncated", bytes.substr(0, image + (bytes.size() - image) / 2), 0755);
    const Result truncated = RunQuietly(InRoot({}, {inside + "/truncated", "-s", inside + "/dest2"}));
    EXPECT_EQ(truncated.exitStatus, 1);
    EXPECT_EQ(truncated.err.rfind("The installer file " + inside + "/truncated is damaged or incomplete: ", 0), 0u)
        << truncated.err;
    EXPECT_EQ(std::count(truncated.err.begin(), truncated.err.end(), '\n'), 1) << truncated.err;

    struct Case {
        const char *name;
        std::vector<std::string> env;
        std::string message;
    } cases[] = {
        {"no DISPLAY", {},
         "No display for the installer's window (DISPLAY is not set); to install without it: " + installer +
             " -s DIRECTORY\n"},
        {"a display with no server", {"DISPLAY=:4711"},
         "Cannot open the display \":4711\" for the installer's window; to install without it: " + installer +
             " -s DIRECTORY\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Result r = RunQuietly(InRoot(c.env, {installer}));
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err, c.message);
    }
}

// Neither root holds Xlib's locale data, fonts or a fontconfig configuration; the installer's
// window must not need them, in the C locale or in a UTF-8 one.
TEST_P(MinimalSystem, TheWizardRunsToTheLauncher) {
    const std::string installer = inside + "/" + MakeInstaller("installer");
    mkdir((*tmp / "home").c_str(), 0755);
    for (const char *locale : {"LC_ALL=C", "LANG=C.UTF-8", "LANG=en_US.UTF-8"}) {
        SCOPED_TRACE(locale);
        const std::string dest = inside + "/wizard-" + std::string(locale).substr(0, 2);
        unlink((*tmp / "launched").c_str());
        unlink((*tmp / "stderr").c_str());
        Command c;
        // The shell's exec keeps the process: the harness waits for and kills the installer itself.
        c.argv = Enter();
        c.argv.insert(c.argv.end(), {"/bin/sh", "-c",
                  "exec /usr/bin/env -i PATH=/usr/bin:/bin HOME=" + inside + "/home " + locale +
                      " DISPLAY=" + XServer::Shared().display() + " " + installer + " 2>" + inside + "/stderr"});
        Installer running(c);
        const Window w = running.MainWindow();
        ASSERT_NE(w, 0u);
        ASSERT_TRUE(TypeDestination(w, dest));
        ClickFinish(w);
        EXPECT_TRUE(Eventually([&] { return Exists(*tmp / "launched"); }));
        EXPECT_EQ(running.Wait(), 0);
        EXPECT_EQ(Exists(*tmp / "launched") ? ReadFile(*tmp / "launched") : "", "inst\n");
        EXPECT_EQ(TreeListing(root + dest), TreeListing(*tmp / "tree"));
        EXPECT_EQ(ReadFile(*tmp / "stderr"), "");
    }
}

// This machine holds the shared X libraries (libXcursor among them) that the image must not mix
// with its own.
INSTANTIATE_TEST_SUITE_P(Debian, MinimalSystem, testing::Values("bullseye", "bookworm", kThisMachine),
                         [](const testing::TestParamInfo<const char *> &info) {
                             return std::string(info.param) == kThisMachine ? "this_machine" : info.param;
                         });

}  // namespace
