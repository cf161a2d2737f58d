// The portable x86-64 image on kernels older than this one, and in sandboxes that refuse what they
// do not know, imitated by a seccomp filter (tests/sandbox.cpp) on this machine's kernel: each way
// an installation must end as it does without the filter. (The arm64 image runs here under
// qemu-user, which makes the system calls itself, in x86-64 terms: a filter there imitates nothing
// of an arm64 kernel.)
#include "tests/fixtures.h"
#include "tests/tar_support.h"
#include "tests/wizard_support.h"

#include <unistd.h>

#include <cstdio>
#include <string>

using namespace fixtures;

namespace {

class OldKernels : public wizard::InstallerRuns {};

TEST_F(OldKernels, InstallAsWithoutTheFilterWhetherNewerCallsAreMissingOrRefused) {
#ifdef SONARIS_DYNAMIC_IMAGE
    GTEST_SKIP() << "the sanitized build links the image dynamically";
#endif
    if (!Exists(PortableImage("x86_64"))) {
        if (geteuid() == 0 || UnderCI()) FAIL() << PortableImage("x86_64") << " is missing: make portable";
        GTEST_SKIP() << "no portable image: it is built in a Debian root, which needs root";
    }
    MakeDir(tmp / "bin");
    const std::string sandbox = CopyProgram(BuildDir() + "/tests/sandbox", tmp / "bin");
    // A launcher that is a program is executed by its descriptor; a script is run by its path.
    SmallApp app;
    app.items = 3;
    app.launcher = ReadFile(BuildDir() + "/tests/elf-launcher");
    MakeApp(tmp / "tree", app);
    const std::string installer = tmp / "installer", refused = tmp / "refused";
    const Result packed = RunArgs({PackerPath(), "--arch", "x86_64", tmp / "tree", installer});
    ASSERT_EQ(packed.exitStatus, 0) << packed.err;
    using namespace tarfile;
    const std::string payload = Gzip(TarArchive({Dir("./"), Symlink("./etc", "/etc"), Launcher("#!/bin/sh\n")}));
    const std::string trailer = "\n" + std::to_string(payload.size()) + "\n";
    WriteFile(refused, ReadFile(PortableImage("x86_64")) + payload + trailer, 0755);

    for (const bool nobody : {false, true}) {
        // Each run as it goes without the filter.
        const auto silently = [&](const std::string &mode, const std::string &file, const std::string &dest) {
            Command c = SilentCommand(file, dest, home);
            if (!mode.empty()) c.argv.insert(c.argv.begin(), {sandbox, mode});
            c.unprivileged = nobody;
            RemoveTree(dest);
            return RunCommand(c);
        };
        const Result plain = silently("", installer, tmp / "plain"), plainRefusal = silently("", refused, tmp / "no");
        ASSERT_EQ(plain.exitStatus, 0) << plain.err;
        ASSERT_EQ(plainRefusal.exitStatus, 1);
        const std::string tree = TreeListing(tmp / "plain");
        for (const char *mode : {"enosys", "eperm"}) {
            SCOPED_TRACE(std::string(mode) + (nobody ? ", as nobody" : ", as root"));
            const Result silent = silently(mode, installer, tmp / "silent");
            EXPECT_EQ(silent.exitStatus, 0);
            EXPECT_EQ(silent.err, "");
            EXPECT_EQ(TreeListing(tmp / "silent"), tree);
            const Result refusal = silently(mode, refused, tmp / "no");
            EXPECT_EQ(refusal.exitStatus, 1);
            EXPECT_EQ(refusal.err, plainRefusal.err);

            RemoveTree(tmp / "wizard");
            std::remove(marker.c_str());
            Command c = Interactive(sandbox, {mode, installer});
            c.unprivileged = nobody;
            wizard::Installer running(c);
            ASSERT_TRUE(running.TypeDestination(tmp / "wizard", true));
            EXPECT_EQ(running.Wait(), kLauncherStatus);
            auto runs = Launches(marker);
            EXPECT_EQ(runs.size(), 1u);
            EXPECT_EQ(runs.empty() ? "" : runs[0]["argv0"] + " " + runs[0]["args"], tmp / "wizard//sonaris inst");
            EXPECT_EQ(TreeListing(tmp / "wizard"), tree);
        }
    }
}

}  // namespace
