// An application tree shaped as the trees of real library packages are: shared-library link chains,
// programs linked from bin/ into lib/, links to directories, dangling links, long link targets,
// and one driver under many hard-linked names. It packs unchanged, installs silently and through
// the window as it was, and its payload is as small as tar and gzip -9 make it.
#include <gtest/gtest.h>

#include "tests/fixtures.h"
#include "tests/wizard_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

using namespace fixtures;
using namespace wizard;
using namespace xwindows;

namespace {

void Link(const std::string &target, const std::string &path) { ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path; }

void MakeRealWorldTree(const std::string &root) {
    const std::string lib = root + "/usr/lib/x86_64-linux-gnu";
    for (const std::string &d : {root, root + "/usr", root + "/usr/bin", root + "/usr/lib", lib, lib + "/dri",
                                 lib + "/player", lib + "/player/plugins", root + "/usr/share",
                                 root + "/usr/share/doc", root + "/usr/share/doc/libfoo1"})
        MakeDir(d);
    MakeDir(root + "/usr/lib/private", 0750);
    // A library and its link chain; a second library linked to the first's development name.
    WriteFile(lib + "/libfoo.so.1.2.3", Content(300000, ContentKind::MachineCode, 1));
    Link("libfoo.so.1.2.3", lib + "/libfoo.so.1");
    Link("libfoo.so.1", lib + "/libfoo.so");
    Link("libfoo.so", lib + "/libbar.so");
    // A program in lib/, started from bin/; a link to a directory and one that leads nowhere.
    WriteFile(lib + "/player/player", Content(200000, ContentKind::MachineCode, 2), 0755);
    Link("../lib/x86_64-linux-gnu/player/player", root + "/usr/bin/player");
    Link("../../dri", lib + "/player/plugins/dri");
    Link("../../../share/doc/libfoo1", lib + "/player/doc");
    Link("../libfoo0/changelog.Debian.gz", root + "/usr/share/doc/libfoo1/changelog.Debian.gz");
    WriteFile(root + "/usr/share/doc/libfoo1/copyright", "Copyright\n");
    // One driver under thirteen names, as Mesa ships it.
    WriteFile(lib + "/dri/iris_dri.so", Content(400000, ContentKind::MachineCode, 3));
    for (const char *name : {"i915", "crocus", "nouveau", "r300", "r600", "radeonsi", "swrast", "kms_swrast",
                             "virtio_gpu", "vmwgfx", "zink", "d3d12"})
        ASSERT_EQ(link((lib + "/dri/iris_dri.so").c_str(), (lib + "/dri/" + name + "_dri.so").c_str()), 0);
    // Names and link targets longer than a tar header holds.
    const std::string longName = std::string(120, 'n');
    WriteFile(lib + "/" + longName, "long\n", 0600);
    Link("x86_64-linux-gnu/" + longName, root + "/usr/lib/" + std::string(110, 'l'));
    Link("../" + std::string(150, 'd'), root + "/usr/lib/private/dangling-long");
    WriteFile(root + "/sonaris", MarkerLauncher(), 0755);
}

class RealWorldTree : public testing::Test {
protected:
    // The tree and its installer are made once; no test changes them.
    static TempDir *shared;
    static std::string source, installer;

    static void SetUpTestSuite() {
        shared = new TempDir();
        source = *shared / "app";
        installer = *shared / "installer";
        MakeRealWorldTree(source);
        const Result packed = RunArgs({PackerPath(), source, installer});
        ASSERT_EQ(packed.exitStatus, 0) << packed.err;
    }
    static void TearDownTestSuite() {
        delete shared;
        shared = nullptr;
    }

    TempDir tmp;
    std::string home = tmp / "home";
    std::string marker = tmp / "launcher-ran";

    void SetUp() override { MakeDir(home); }
};

TempDir *RealWorldTree::shared;
std::string RealWorldTree::source;
std::string RealWorldTree::installer;

TEST_F(RealWorldTree, PacksUnchangedVerifiesAndInstallsSilentlyAsItWas) {
    const Result verified = RunArgs({PackerPath(), "--verify", installer});
    EXPECT_EQ(verified.exitStatus, 0) << verified.err;

    const std::string listed = RunArgs({PackerPath(), "--list", installer}).out;
    EXPECT_NE(listed.find(" ./usr/bin/player -> ../lib/x86_64-linux-gnu/player/player\n"), std::string::npos) << listed;
    EXPECT_NE(listed.find(" ./usr/lib/x86_64-linux-gnu/dri/zink_dri.so link to ./usr/lib/x86_64-linux-gnu/dri/crocus_dri.so\n"),
              std::string::npos)
        << listed;

    const std::string dest = tmp / "dest";
    const Result r = RunCommand(SilentCommand(installer, dest, home));
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    // Names, types, modes, link targets, contents and which names share one file.
    EXPECT_EQ(TreeListing(dest), TreeListing(source));
    struct stat st;
    ASSERT_EQ(stat((dest + "/usr/lib/x86_64-linux-gnu/dri/r600_dri.so").c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 13u);
}

TEST_F(RealWorldTree, InstallsThroughTheWindowAsItWas) {
    const std::string dest = tmp / "window-dest";
    Command c;
    c.argv = {installer};
    c.env = {{"HOME", home}, {"LAUNCHER_MARKER", marker}};
    Installer running(c);
    ASSERT_TRUE(running.TypeDestination(dest, true));
    EXPECT_EQ(running.Wait(60), kLauncherStatus);
    EXPECT_EQ(Launches(marker).size(), 1u);
    EXPECT_EQ(TreeListing(dest), TreeListing(source));
}

TEST_F(RealWorldTree, ThePayloadIsNoLargerThanTarAndGzipMakeIt) {
    const Result r =
        RunArgs({"/bin/sh", "-c", "cd \"$1\" && tar --format=gnu -cf - . | gzip -9 | wc -c", "sh", source});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    const std::uint64_t reference = std::stoull(r.out);
    const std::uint64_t payload = PayloadOf(ReadFile(installer)).size();
    std::printf("payload %llu bytes; tar --format=gnu | gzip -9: %llu bytes (%.2f%%)\n",
                static_cast<unsigned long long>(payload), static_cast<unsigned long long>(reference),
                100.0 * static_cast<double>(payload) / static_cast<double>(reference));
    EXPECT_LE(payload * 100, reference * 101);
    // A copy of each linked name would have made it several times as large.
    EXPECT_LT(payload, 2 * reference);
}

}  // namespace
