// Root installing on a machine with another local user, played by nobody: what that user plants or
// swaps reaches nothing of root's, and what root installs is root's alone.
#include <gtest/gtest.h>

#include "tests/fixtures.h"
#include "tests/messages.h"
#include "tests/wizard_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

using namespace fixtures;

namespace {

const char kLauncher[] = "#!/bin/sh\necho \"$0\" > \"$LAUNCHER_MARKER\"\nexit 7\n";

class AsRoot : public ::testing::Test {
protected:
    TempDir tmp;
    std::string decoy = tmp / "decoy";    // what the attacker aims at: root's, and must stay as it is
    std::string user = tmp / "user";      // the attacker's own directory
    std::string marker = user + "/launcher-ran";  // where nobody's launcher can write too

    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "root installs are tried as root";
        mkdir(decoy.c_str(), 0755);
        mkdir((decoy + "/bin").c_str(), 0700);
        WriteFile(decoy + "/bin/test", "decoy\n");
        mkdir(user.c_str(), 0755);
        chown(user.c_str(), kNobody, kNobody);
    }

    // What the attacker does, as nobody.
    Result Attack(const std::string &script) {
        Command c;
        c.argv = {"/bin/sh", "-c", script};
        c.unprivileged = true;
        return RunCommand(c);
    }

    // An installer file of a small tree; `pack` makes its payload from the tree.
    std::string MakeInstaller(const std::string &name, const std::function<std::string(const std::string &)> &pack) {
        const std::string tree = tmp / (name + "-tree");
        mkdir(tree.c_str(), 0755);
        mkdir((tree + "/lib").c_str(), 0755);
        WriteFile(tree + "/lib/readme.txt", "Sonaris 8\n");
        WriteFile(tree + "/sonaris", kLauncher, 0755);
        const std::string path = tmp / name;
        WriteFile(path, InstallerBytes(pack(tree)), 0755);
        return path;
    }
    std::string MakeInstaller(const std::string &name) { return MakeInstaller(name, PackTree); }

    Command Silent(const std::string &installer, const std::string &dest) {
        Command c;
        c.argv = {installer, "-s", dest};
        c.env = {{"LAUNCHER_MARKER", marker}};
        return c;
    }

    // Whether nothing in `dir` can be written by anyone but root, and all of it is root's.
    static bool RootsAlone(const std::string &dir) {
        Command find;
        find.argv = {"find", dir, "(", "!", "-user", "0", "-o", "!", "-type", "l", "-perm", "/022", ")", "-print"};
        return RunCommand(find).out.empty();
    }
};

TEST_F(AsRoot, WhatAnotherUserPlantsOrSwapsReachesNothingOfRoots) {
    const std::string decoyListing = TreeListing(decoy);
    const std::string installer = MakeInstaller("installer");
    // A tarball made the usual way, by the packager's own account: its owners and open modes.
    const std::string tarball = MakeInstaller("tarball", [&](const std::string &tree) {
        chmod((tree + "/lib").c_str(), 0777);
        chmod((tree + "/lib/readme.txt").c_str(), 0666);
        Command own;
        own.argv = {"chown", "-R", "65534:65534", tree};
        RunCommand(own);
        EXPECT_EQ(Attack("cd '" + tree + "' && tar -czf '" + user + "/user.tgz' .").exitStatus, 0);
        return ReadFile(user + "/user.tgz");
    });
    const std::string shared = tmp / "shared";
    mkdir(shared.c_str(), 0755);
    chmod(shared.c_str(), 02775);
    chown(shared.c_str(), 0, kNobody);
    const std::string sticky = tmp / "sticky";
    mkdir(sticky.c_str(), 0755);
    chmod(sticky.c_str(), 01777);
    struct Case {
        const char *name;
        std::string attack;  // as nobody, before the installation
        Command command;
        std::string err;  // "" for an installation that must succeed
        std::string installed;  // then: where, root's alone and holding the tree
    } cases[] = {
        {"a link planted below a user's directory", "ln -s '" + decoy + "' '" + user + "/app'",
         Silent(installer, user + "/app"),
         "Refusing to install as root into " + user + "/app: the directory " + user + " is not owned by root.\n", ""},
        {"below a group directory", "ln -s '" + decoy + "' '" + shared + "/app'", Silent(installer, shared + "/app"),
         "Refusing to install as root into " + shared + "/app: the directory " + shared +
             " can be written by others than root.\n",
         ""},
        {"a destination that is the user's", "mkdir '" + user + "/mine'", Silent(installer, user + "/mine"),
         "Refusing to install as root into " + user + "/mine: the directory " + user + " is not owned by root.\n", ""},
        {"a link in a sticky directory", "ln -s '" + decoy + "' '" + sticky + "/app'", Silent(installer, sticky + "/app"),
         "Refusing to install as root into " + sticky + "/app: the directory " + sticky +
             " can be written by others than root.\n",
         ""},
        {"a fresh destination in a sticky directory", "", Silent(installer, sticky + "/fresh"), "", sticky + "/fresh"},
        {"a user's tarball with 0777 and 0666 members", "", Silent(tarball, tmp / "from-tarball"), "",
         tmp / "from-tarball"},
        {"the installer found by name in a user's directory",
         "cp '" + tarball + "' '" + user + "/sonaris-setup'", Silent("sonaris-setup", tmp / "by-name"),
         "unable to find location of executable sonaris-setup to self-extract.  Please run \n"
         "sonaris-setup with an absolute path (e.g. ./sonaris-setup)\n\n",
         ""},
    };
    cases[6].command.program = installer;
    cases[6].command.cwd = user;
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.attack.empty()) {
            ASSERT_EQ(Attack(c.attack).exitStatus, 0);
        }
        const Result r = RunCommand(c.command);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exitStatus, c.err.empty() ? 0 : 1);
        EXPECT_EQ(TreeListing(decoy), decoyListing);
        if (c.installed.empty()) continue;
        EXPECT_TRUE(RootsAlone(c.installed));
        EXPECT_EQ(TreeListing(c.installed), TreeListing(tmp / "installer-tree"));
    }
    // Root's fresh directory in a sticky one cannot be renamed away by the user, nor anything in it.
    EXPECT_NE(Attack("mv '" + sticky + "/fresh' '" + sticky + "/gone'").exitStatus, 0);
    EXPECT_NE(Attack("mv '" + sticky + "/fresh/lib' '" + sticky + "/gone'").exitStatus, 0);
}

// A PATH entry that is empty or relative names the directory gunzip and tar start in: the
// destination, where a gunzip of the user's, or of an earlier installation, may stand.
TEST_F(AsRoot, GunzipAndTarAreNeverTakenFromTheDestination) {
    const std::string installer = MakeInstaller("installer");
    for (bool root : {true, false}) {
        SCOPED_TRACE(root ? "root" : "nobody");
        const std::string dest = root ? tmp / "root-dest" : user + "/dest";
        mkdir(dest.c_str(), 0755);
        if (!root) chown(dest.c_str(), kNobody, kNobody);
        for (const char *tool : {"gunzip", "tar", "gzip"}) {
            WriteFile(dest + "/" + tool, "#!/bin/sh\necho ran > '" + tmp / "tool-ran" + "'\nexit 1\n", 0755);
            if (!root) chown((dest + "/" + tool).c_str(), kNobody, kNobody);
        }
        Command c = Silent(installer, dest);
        c.unprivileged = !root;
        c.env["PATH"] = ":.:/usr/bin:/bin";
        const Result r = RunCommand(c);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_FALSE(Exists(tmp / "tool-ran"));
    }
}

// The window, run as root with a HOME the user controls (sudo keeping HOME): the settings file and
// fontconfig's cache are not written there; the installer file is the one started, whatever is
// renamed over its name meanwhile; and the launcher runs only as the checked file.
TEST_F(AsRoot, TheWindowWritesNothingIntoAUsersHomeAndRunsOnlyWhatItStarted) {
    const std::string home = user + "/home";
    ASSERT_EQ(Attack("mkdir '" + home + "' && ln -s '" + decoy + "/bin/test' '" + home +
                     "/.Corvalent_MedioraSDK_60'")
                  .exitStatus,
              0);
    const std::string decoyListing = TreeListing(decoy);
    // The installer file lies in the user's directory; another one goes over it once page 1 shows.
    const std::string started = user + "/installer";
    WriteFile(started, ReadFile(MakeInstaller("installer")), 0755);
    const std::string other = MakeInstaller("other", [&](const std::string &tree) {
        WriteFile(tree + "/sonaris", "#!/bin/sh\necho swapped > '" + tmp / "swapped" + "'\n", 0755);
        return PackTree(tree);
    });
    chmod(other.c_str(), 0644);
    Command c;
    c.argv = {started};
    c.env = {{"HOME", home}, {"LAUNCHER_MARKER", marker}};
    wizard::Installer running(c);
    const Window w = running.MainWindow();
    ASSERT_NE(w, 0u);
    ASSERT_EQ(Attack("cp '" + other + "' '" + user + "/x' && mv '" + user + "/x' '" + started + "'").exitStatus, 0);
    const std::string dest = tmp / "dest";
    ASSERT_TRUE(wizard::TypeDestination(w, dest));
    wizard::ClickFinish(w);
    EXPECT_EQ(running.Wait(), 7);
    EXPECT_EQ(ReadFile(marker), dest + "//sonaris\n");
    EXPECT_FALSE(Exists(tmp / "swapped"));
    EXPECT_EQ(TreeListing(dest), TreeListing(tmp / "installer-tree"));
    EXPECT_EQ(TreeListing(decoy), decoyListing);
    EXPECT_FALSE(Exists(home + "/.cache"));
    EXPECT_FALSE(Exists(home + "/.fontconfig"));
}

// The user's own installation: a settings file that is a symbolic or a hard link is not written
// through, and a launcher that is a link is not started.
TEST_F(AsRoot, TheSettingsFileAndTheLauncherAreNeverLinksFollowed) {
    const std::string home = user + "/home";
    const std::string target = user + "/target";
    const std::string link = home + "/.Corvalent_MedioraSDK_60";
    const std::string installer = MakeInstaller("installer");
    const std::string linked = MakeInstaller("linked", [&](const std::string &tree) {
        rename((tree + "/sonaris").c_str(), (tree + "/lib/sonaris").c_str());
        symlink("lib/sonaris", (tree + "/sonaris").c_str());
        return PackTree(tree);
    });
    struct Case {
        const char *name;
        std::string plant;
        std::string installer;
        int status;
    } cases[] = {
        {"a symbolic link", "ln -s '" + target + "' '" + link + "'", installer, 7},
        {"a hard link", "ln '" + target + "' '" + link + "'", installer, 7},
        {"a launcher that is a link", "", linked, 0},
    };
    int n = 0;
    for (const auto &cs : cases) {
        SCOPED_TRACE(cs.name);
        ASSERT_EQ(Attack("rm -rf '" + home + "' && mkdir '" + home + "' && echo keep > '" + target + "'").exitStatus, 0);
        if (!cs.plant.empty()) {
            ASSERT_EQ(Attack(cs.plant).exitStatus, 0);
        }
        Command c;
        c.argv = {cs.installer};
        c.env = {{"HOME", home}, {"LAUNCHER_MARKER", marker}};
        c.unprivileged = true;
        wizard::Installer running(c);
        const Window w = running.MainWindow();
        ASSERT_NE(w, 0u);
        ASSERT_TRUE(wizard::TypeDestination(w, user + "/dest" + std::to_string(n++)));
        wizard::ClickFinish(w);
        if (cs.status == 0) {
            EXPECT_NE(wizard::WaitForWindow("Error"), 0u);
            EXPECT_FALSE(Exists(marker));
        } else {
            EXPECT_EQ(running.Wait(), cs.status);
        }
        EXPECT_EQ(ReadFile(target), "keep\n");
        unlink(marker.c_str());
    }
}

// Root installs a packer-made file and a user's tarball into a fresh directory of root's.
TEST_F(AsRoot, InstallsPackerMadeAndUsersPayloadsAsRootsOwn) {
    const std::string packed = tmp / "packed";
    const std::string tree = tmp / "app";
    CopyDemoApp(tree);
    Command pack;
    pack.argv = {PackerPath(), tree, packed};
    ASSERT_EQ(RunCommand(pack).exitStatus, 0);
    Command own;
    own.argv = {"chown", "-R", "65534:65534", tree};
    RunCommand(own);
    ASSERT_EQ(Attack("cd '" + tree + "' && tar -czf '" + user + "/users.tgz' .").exitStatus, 0);
    const std::string users = tmp / "users";
    WriteFile(users, InstallerBytes(ReadFile(user + "/users.tgz")), 0755);
    for (const std::string &installer : {packed, users}) {
        SCOPED_TRACE(installer);
        const std::string dest = installer + "-dest";
        const Result r = RunCommand(Silent(installer, dest));
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(TreeListing(dest), TreeListing(tree));
        EXPECT_TRUE(RootsAlone(dest));
    }
}

}  // namespace
