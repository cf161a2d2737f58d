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

    // An installer file of the small tree, its payload made anew by `pack`.
    std::string MakeInstaller(const std::string &name, const std::function<std::string(const std::string &)> &pack) {
        const std::string tree = tmp / (name + "-tree"), path = tmp / name;
        MakeApp(tree);
        return WriteInstaller(path, pack(tree));
    }
    // The packer's payload.
    std::string MakeInstaller(const std::string &name) {
        return MakeInstaller(name, [&](const std::string &tree) {
            EXPECT_EQ(RunArgs({PackerPath(), tree, tmp / "packed"}).exitStatus, 0);
            return PayloadOf(ReadFile(tmp / "packed"));
        });
    }

    Command Silent(const std::string &installer, const std::string &dest) {
        Command c;
        c.argv = {installer, "-s", dest};
        c.env = {{"LAUNCHER_MARKER", marker}};
        return c;
    }

    // Whether nothing in `dir` can be written by anyone but root, and all of it is root's.
    static bool RootsAlone(const std::string &dir) {
        return RunArgs({"find", dir, "(", "!", "-user", "0", "-o", "!", "-type", "l", "-perm", "/022", ")", "-print"})
            .out.empty();
    }
};

TEST_F(AsRoot, WhatAnotherUserPlantsOrSwapsReachesNothingOfRoots) {
    const std::string decoyListing = TreeListing(decoy);
    const std::string installer = MakeInstaller("installer");
    // A tarball made the usual way, by the packager's own account: its owners and open modes.
    const std::string tarball = MakeInstaller("tarball", [&](const std::string &tree) {
        chmod((tree + "/lib").c_str(), 0777);
        chmod((tree + "/lib/readme.txt").c_str(), 0666);
        RunArgs({"chown", "-R", "65534:65534", tree});
        EXPECT_EQ(Attack("cd '" + tree + "' && tar -czf '" + user + "/user.tgz' .").exitStatus, 0);
        return ReadFile(user + "/user.tgz");
    });
    const std::string shared = tmp / "shared";
    MakeDir(shared, 02775);
    chown(shared.c_str(), 0, kNobody);
    const std::string tools = tmp / "tools";  // an earlier installation's, say
    mkdir(tools.c_str(), 0755);
    for (const char *tool : {"gunzip", "tar", "gzip"})
        WriteFile(tools + "/" + tool, "#!/bin/sh\necho ran > '" + tmp / "tool-ran" + "'\nexit 1\n", 0755);
    const std::string sticky = tmp / "sticky";
    MakeDir(sticky, 01777);
    const auto refused = [](const std::string &dest, const std::string &dir, const std::string &why) {
        return "Refusing to install as root into " + dest + ": the directory " + dir + " " + why + ".";
    };
    const std::string notRoots = "is not owned by root", openToOthers = "can be written by others than root";
    struct Case {
        const char *name;
        std::string attack;  // as nobody, before the installation
        Command command;
        std::string err;  // "" for an installation that must succeed
        std::string installed;  // then: where, root's alone and holding the tree
    } cases[] = {
        {"a link planted below a user's directory", "ln -s '" + decoy + "' '" + user + "/app'",
         Silent(installer, user + "/app"), refused(user + "/app", user, notRoots), ""},
        {"below a group directory", "ln -s '" + decoy + "' '" + shared + "/app'", Silent(installer, shared + "/app"),
         refused(shared + "/app", shared, openToOthers), ""},
        {"a destination that is the user's", "mkdir '" + user + "/mine'", Silent(installer, user + "/mine"),
         refused(user + "/mine", user, notRoots), ""},
        {"a link in a sticky directory", "ln -s '" + decoy + "' '" + sticky + "/app'", Silent(installer, sticky + "/app"),
         refused(sticky + "/app", sticky, openToOthers), ""},
        {"a packer-made file into a fresh destination in a sticky directory", "", Silent(installer, sticky + "/fresh"),
         "", sticky + "/fresh"},
        {"a user's tarball with 0777 and 0666 members", "", Silent(tarball, tmp / "from-tarball"), "",
         tmp / "from-tarball"},
        {"gunzip, gzip and tar in the destination, PATH with an empty and a relative entry", "",
         Silent(installer, tools), "", ""},
        {"the installer found by name in a user's directory",
         "cp '" + tarball + "' '" + user + "/sonaris-setup'", Silent("sonaris-setup", tmp / "by-name"),
         "unable to find location of executable sonaris-setup to self-extract.  Please run \n"
         "sonaris-setup with an absolute path (e.g. ./sonaris-setup)\n\n",
         ""},
    };
    cases[6].command.env["PATH"] = ":.:/usr/bin:/bin";
    cases[7].command.program = installer;
    cases[7].command.cwd = user;
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.attack.empty()) {
            ASSERT_EQ(Attack(c.attack).exitStatus, 0);
        }
        const Result r = RunCommand(c.command);
        // A refusal, then the way out.
        if (c.err.rfind("Refusing", 0) == 0)
            EXPECT_TRUE(
                messages::TwoLines(r.err, c.err, {"Install as ", ", or choose a directory that only root can change"}));
        else
            EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exitStatus, c.err.empty() ? 0 : 1);
        EXPECT_EQ(TreeListing(decoy), decoyListing);
        if (c.installed.empty()) continue;
        EXPECT_TRUE(RootsAlone(c.installed));
        EXPECT_EQ(TreeListing(c.installed), TreeListing(tmp / "installer-tree"));
    }
    EXPECT_FALSE(Exists(tmp / "tool-ran"));
    // Root's fresh directory in a sticky one cannot be renamed away by the user, nor anything in it.
    EXPECT_NE(Attack("mv '" + sticky + "/fresh' '" + sticky + "/gone'").exitStatus, 0);
    EXPECT_NE(Attack("mv '" + sticky + "/fresh/lib' '" + sticky + "/gone'").exitStatus, 0);
}

// The window as root with a HOME the user controls (sudo keeping HOME), and the user's own: no
// settings file through a link, one in a HOME the user may write and enter but not list, nothing
// root writes in that HOME, the started installer file's
// payload whatever is renamed over its name, and a launcher that is a link run by the path it was
// started from.
TEST_F(AsRoot, TheWindowFollowsNoLinkAndRunsOnlyWhatItStarted) {
    const std::string home = user + "/home", target = user + "/target", link = home + "/.Corvalent_MedioraSDK_60";
    const std::string installer = MakeInstaller("installer"), started = user + "/installer";
    WriteFile(started, ReadFile(installer), 0755);
    const std::string other = MakeInstaller("other", [&](const std::string &tree) {
        WriteFile(tree + "/sonaris", "#!/bin/sh\necho swapped > '" + user + "/swapped'\n", 0755);
        return PackTree(tree);
    });
    const std::string linked = MakeInstaller("linked", [&](const std::string &tree) {
        rename((tree + "/sonaris").c_str(), (tree + "/lib/sonaris").c_str());
        symlink("lib/sonaris", (tree + "/sonaris").c_str());
        return PackTree(tree);
    });
    struct Case {
        const char *name;
        std::string plant, installer, whileShown;  // the attack before and while page 1 shows
        bool root;
        bool settings;  // the settings file written
    } cases[] = {
        {"root, the settings file a link to root's file, the installer file swapped",
         "ln -s '" + decoy + "/bin/test' '" + link + "'", started,
         "cp '" + other + "' '" + user + "/x' && mv '" + user + "/x' '" + started + "'", true, false},
        {"a symbolic link", "ln -s '" + target + "' '" + link + "'", installer, "", false, false},
        {"a hard link", "ln '" + target + "' '" + link + "'", installer, "", false, false},
        {"root, a launcher that is a link into the tree", "", linked, "", true, false},
        {"a HOME of mode 0311 (last: the user cannot list it to remove it)", "chmod 0311 '" + home + "'", installer,
         "", false, true},
    };
    chmod(other.c_str(), 0644);
    const std::string decoyListing = TreeListing(decoy);
    int n = 0;
    for (const auto &cs : cases) {
        SCOPED_TRACE(cs.name);
        ASSERT_EQ(Attack("rm -rf '" + home + "' && mkdir '" + home + "' && echo keep > '" + target + "' && " +
                         (cs.plant.empty() ? "true" : cs.plant))
                      .exitStatus,
                  0);
        Command c;
        c.argv = {cs.installer};
        c.env = {{"HOME", home}, {"LAUNCHER_MARKER", marker}};
        c.unset = {"XDG_CACHE_HOME"};
        c.unprivileged = !cs.root;
        wizard::Installer running(c);
        ASSERT_NE(running.MainWindow(), 0u);
        if (!cs.whileShown.empty()) {
            ASSERT_EQ(Attack(cs.whileShown).exitStatus, 0);
        }
        const std::string dest = (cs.root ? tmp.path() : user) + "/dest" + std::to_string(n++);
        ASSERT_TRUE(running.TypeDestination(dest, true));
        EXPECT_EQ(running.Wait(), kLauncherStatus);
        const auto runs = Launches(marker);
        ASSERT_EQ(runs.size(), 1u);
        // Where it was started from; the window's own cache setting did not reach it.
        EXPECT_EQ(runs[0].at("argv0"), dest + "//sonaris");
        EXPECT_EQ(runs[0].at("cache"), "unset");
        const std::string settings = "Bandwidth=10485800\nMaxBandwidth=10485800\n";
        EXPECT_EQ(Exists(link) && ReadFile(link) == settings, cs.settings);
        EXPECT_EQ(ReadFile(target), "keep\n");
        EXPECT_EQ(TreeListing(decoy), decoyListing);
        EXPECT_FALSE(Exists(user + "/swapped"));
        EXPECT_FALSE(Exists(home + "/.cache"));
        unlink(marker.c_str());
    }
}

}  // namespace
