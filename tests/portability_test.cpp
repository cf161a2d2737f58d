// The program images on systems that hold nothing but the C library: their ELF headers and
// dependencies, the same bytes from another build directory, and installer files run in minimal
// Debian 11 and 12 roots, x86-64 and arm64 (through qemu-user and binfmt_misc), and on this machine
// (silently, without a display, and in the window on the harness's X server).
#include <gtest/gtest.h>

#include "tests/fixtures.h"
#include "tests/wizard_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace fixtures;
using namespace wizard;
using namespace xwindows;

namespace {

const char kThisMachine[] = "this machine";
// The oldest C library the shipped images start on: RHEL 7's, and arm64's first.
const char kGlibcFloor[] = "2.17";
const char kArm64[] = "aarch64";

Result RunQuietly(std::vector<std::string> argv) {
    Command c;
    c.argv = std::move(argv);
    // Making a root takes about a minute, its packages another; an arm64 one, whose own programs
    // install it under qemu, several.
    c.timeoutSeconds = 1500;
    return RunCommand(c);
}

struct Elf {
    std::string machine;  // "Advanced Micro Devices X86-64", "AArch64"
    std::set<std::string> needed;
    std::string highestGlibc;  // "2.17"
    std::set<std::string> newerThanFloor;  // the symbols it needs of a newer glibc: "pow@GLIBC_2.29"
    std::set<std::string> sections;
    std::string debugLink;  // the file the GNU debug link names
};

// readelf reads the ELF files of every processor.
Elf ReadElf(const std::string &path) {
    Elf elf;
    const Result r = RunQuietly({"readelf", "--file-header", "--sections", "--dynamic", "--dyn-syms", "--wide", path});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t open = line.find("Shared library: ["), close = line.rfind(']');
        const std::size_t machine = line.find("Machine:"), section = line.find("] ."), glibc = line.find("@GLIBC_");
        if (line.find("(NEEDED)") != std::string::npos && open != std::string::npos) {
            elf.needed.insert(line.substr(open + 17, close - open - 17));
        } else if (machine != std::string::npos) {
            elf.machine = line.substr(line.find_first_not_of(' ', machine + 8));
        } else if (line.find("  [") == 0 && section != std::string::npos) {
            elf.sections.insert(line.substr(section + 2, line.find(' ', section + 2) - section - 2));
        } else if (glibc != std::string::npos && std::isdigit(static_cast<unsigned char>(line[glibc + 7]))) {
            const std::string version = line.substr(glibc + 7, line.find_first_not_of("0123456789.", glibc + 7) - glibc - 7);
            if (elf.highestGlibc.empty() || VersionOf(elf.highestGlibc) < VersionOf(version)) elf.highestGlibc = version;
            if (VersionOf(kGlibcFloor) < VersionOf(version)) {
                const std::size_t name = line.rfind(' ', glibc) + 1;
                elf.newerThanFloor.insert(line.substr(name, glibc - name) + "@GLIBC_" + version);
            }
        }
    }
    if (elf.sections.count(".gnu_debuglink")) {
        const Result link = RunQuietly({"readelf", "--string-dump=.gnu_debuglink", path});
        const std::size_t at = link.out.find("]  ");
        if (at != std::string::npos) elf.debugLink = link.out.substr(at + 3, link.out.find('\n', at) - at - 3);
    }
    return elf;
}

bool HasDebugSections(const Elf &elf) {
    return elf.sections.count(".symtab") ||
           std::any_of(elf.sections.begin(), elf.sections.end(),
                       [](const std::string &name) { return name.rfind(".debug", 0) == 0; });
}

// The C library's files: before 2.34 libdl and libpthread stood apart from libc.
std::set<std::string> CLibrary(const char *loader, bool older) {
    std::set<std::string> files = {"libc.so.6", "libm.so.6", loader};
    if (older) files.insert({"libdl.so.2", "libpthread.so.0"});
    return files;
}

TEST(ProgramImages, NeedOnlyTheCLibraryAndShipWithoutDebugData) {
#ifdef SONARIS_DYNAMIC_IMAGE
    GTEST_SKIP() << "the sanitized build links the image dynamically";
#endif
    struct Case {
        const char *name;
        std::string path;
        const char *machine;
        std::set<std::string> allowed;
        bool shipped;  // portable: glibc 2.17 at most, stripped, its debug data in a file beside it
    } cases[] = {
        {"the host's image", InstallerPath(), "Advanced Micro Devices X86-64",
         CLibrary("ld-linux-x86-64.so.2", false), false},
        {"the portable x86-64 image", PortableImage("x86_64"), "Advanced Micro Devices X86-64",
         CLibrary("ld-linux-x86-64.so.2", true), true},
        {"the portable arm64 image", PortableImage(kArm64), "AArch64", CLibrary("ld-linux-aarch64.so.1", true), true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (!Exists(c.path)) {
            if (geteuid() == 0 || UnderCI()) ADD_FAILURE() << c.path << " is missing: make portable";
            continue;  // without root there is no Debian 11 root to build it in
        }
        const Elf elf = ReadElf(c.path);
        EXPECT_EQ(elf.machine, c.machine);
        for (const std::string &library : elf.needed) EXPECT_TRUE(c.allowed.count(library)) << library;
        EXPECT_TRUE(elf.needed.count("libc.so.6"));
        // The build's own check of the floor passes an image only with nothing newer, and names
        // every symbol that is (the host's image, built on a newer system, has some).
        const Result floor = RunQuietly({CMAKE_COMMAND, "-DREADELF=readelf", "-DIMAGE=" + c.path,
                                         std::string("-DFLOOR=") + kGlibcFloor, "-P",
                                         SourceDir() + "/cmake/GlibcFloor.cmake"});
        EXPECT_EQ(floor.exitStatus != 0, !elf.newerThanFloor.empty()) << floor.err;
        for (const std::string &symbol : elf.newerThanFloor)
            EXPECT_NE(floor.err.find(symbol), std::string::npos) << symbol;
        if (!c.shipped) continue;
        EXPECT_EQ(elf.newerThanFloor, std::set<std::string>());
        EXPECT_FALSE(VersionOf(kGlibcFloor) < VersionOf(elf.highestGlibc)) << elf.highestGlibc;
        EXPECT_FALSE(HasDebugSections(elf));
        EXPECT_EQ(elf.debugLink, "sonaris-installer.debug");
        const Elf debug = ReadElf(c.path + ".debug");
        EXPECT_EQ(debug.machine, c.machine);
        EXPECT_TRUE(debug.sections.count(".debug_info"));
    }
}

bool SameBytes(const std::string &a, const std::string &b) { return Exists(a) && ReadFile(a) == ReadFile(b); }

// Both images once more, built in a second build directory (so in a second folder of their
// roots): the shipped images and their debug data must not change by a byte.
TEST(ProgramImages, AreTheSameBuiltInAnotherDirectory) {
#ifdef SONARIS_DYNAMIC_IMAGE
    GTEST_SKIP() << "the sanitized build links the image dynamically";
#endif
    if (geteuid() != 0) SKIP_OUTSIDE_CI("needs root: the portable images are built in Debian roots (chroot)");
    const std::string again = BuildDir() + "/portable-again";
    const Result built = RunQuietly({SourceDir() + "/scripts/build-portable", SourceDir(), again});
    ASSERT_EQ(built.exitStatus, 0) << built.err;
    for (const char *arch : {"x86_64", kArm64}) {
        SCOPED_TRACE(arch);
        const std::string image = PortableImage(arch), second = again + "/portable/" + arch + "/sonaris-installer";
        ASSERT_TRUE(Exists(image)) << "make portable";
        if (!Exists(second)) SKIP_OUTSIDE_CI(built.err);
        EXPECT_TRUE(SameBytes(second, image)) << "make portable again if the sources changed since";
        EXPECT_TRUE(SameBytes(second + ".debug", image + ".debug"));
    }
}

// A launcher that records its arguments where the test finds them.
std::string Launcher(const std::string &marker) {
    return "#!/bin/sh\nprintf '%s\\n' \"$*\" > " + marker + "\n";
}

struct System {
    const char *suite;  // or kThisMachine
    const char *arch;   // as the packer's --arch names it
};

// arm64 programs run here through qemu-user, which the kernel starts for them once binfmt_misc
// knows it (scripts/qemu-binfmt): registered for the suite where it was not, and unregistered after.
class Arm64Programs {
public:
    // Whether arm64 programs run here; else why not.
    static bool Run(std::string *why) {
        if (!asked) {
            asked = true;
            const Result on = RunQuietly({SourceDir() + "/scripts/qemu-binfmt", "on"});
            failure = on.exitStatus == 0 ? "" : on.err.empty() ? "scripts/qemu-binfmt failed" : on.err;
            if (on.exitStatus == 0) undo = on.out;
        }
        *why = failure;
        return failure.empty();
    }
    // Undoes what Run registered.
    static void Release() {
        std::vector<std::string> off = {SourceDir() + "/scripts/qemu-binfmt", "off"};
        std::istringstream words(undo);
        for (std::string word; words >> word;) off.push_back(word);
        if (off.size() > 2) {
            const Result r = RunQuietly(off);
            EXPECT_EQ(r.exitStatus, 0) << r.err;
        }
        asked = false;
        undo.clear();
    }

private:
    static inline bool asked = false;
    static inline std::string failure;
    static inline std::string undo;  // what `qemu-binfmt on` did: "mount register", ...
};

// A minimal Debian system, by its suite and processor, or this machine.
class MinimalSystem : public testing::TestWithParam<System> {
protected:
    std::string root;
    std::string arch;
    std::unique_ptr<TempDir> tmp;  // inside the root
    std::string inside;            // tmp's path as the root sees it

    static void TearDownTestSuite() { Arm64Programs::Release(); }

    void SetUp() override {
#ifdef SONARIS_DYNAMIC_IMAGE
        GTEST_SKIP() << "the sanitized build links the image dynamically: it cannot run in a minimal system";
#endif
        if (geteuid() != 0) SKIP_OUTSIDE_CI("needs root: minimal systems are made with debootstrap and run with chroot");
        arch = GetParam().arch;
        std::string why;
        if (arch == kArm64 && !Arm64Programs::Run(&why)) SKIP_OUTSIDE_CI("arm64 programs cannot run here: " + why);
        if (std::string(GetParam().suite) != kThisMachine) {
            const Result made = RunQuietly({SourceDir() + "/scripts/debian-root", "--arch",
                                            arch == kArm64 ? "arm64" : "amd64", GetParam().suite});
            if (made.exitStatus == 2) SKIP_OUTSIDE_CI(made.err);
            ASSERT_EQ(made.exitStatus, 0) << made.err;
            root = made.out.substr(0, made.out.find('\n'));
        }
        ASSERT_TRUE(Exists(PortableImage(arch))) << "make portable";
        tmp = std::make_unique<TempDir>(root + "/tmp");
        inside = tmp->path().substr(root.size());
    }

    // How to enter the system: chroot ROOT, or nothing on this machine.
    std::vector<std::string> Enter() const {
        return root.empty() ? std::vector<std::string>{} : std::vector<std::string>{"chroot", root};
    }

    // An installer file made by the packer with its default image for the system's processor, for a
    // small tree.
    std::string MakeInstaller(const std::string &name) {
        const std::string tree = *tmp / "tree";
        SmallApp app;
        app.launcher = Launcher(inside + "/launched");
        MakeApp(tree, app);
        const Result packed = RunQuietly({PackerPath(), "--arch", arch, tree, *tmp / name});
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
    const std::size_t image = ReadFile(PortableImage(arch)).size();
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
        ASSERT_TRUE(running.TypeDestination(dest, true));
        EXPECT_TRUE(Eventually([&] { return Exists(*tmp / "launched"); }));
        EXPECT_EQ(running.Wait(), 0);
        EXPECT_EQ(Exists(*tmp / "launched") ? ReadFile(*tmp / "launched") : "", "inst\n");
        EXPECT_EQ(TreeListing(root + dest), TreeListing(*tmp / "tree"));
        EXPECT_EQ(ReadFile(*tmp / "stderr"), "");
    }
}

// This machine holds the shared X libraries (libXcursor among them) that the image must not mix
// with its own.
INSTANTIATE_TEST_SUITE_P(Debian, MinimalSystem,
                         testing::Values(System{"bullseye", "x86_64"}, System{"bookworm", "x86_64"},
                                         System{kThisMachine, "x86_64"}, System{"bullseye", kArm64},
                                         System{"bookworm", kArm64}),
                         [](const testing::TestParamInfo<System> &info) {
                             const std::string suite = info.param.suite;
                             const std::string name = suite == kThisMachine ? "this_machine" : suite;
                             return info.param.arch == std::string(kArm64) ? name + "_arm64" : name;
                         });

}  // namespace
