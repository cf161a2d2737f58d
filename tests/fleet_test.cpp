// An installer file rolled out as fleets do: docs/sonaris8.yml run by ansible-playbook against the
// minimal Debian 11 and 12 roots, reached through Ansible's chroot connection (its modules need
// python3 there, so each root has a copy of its own with it).
#include <gtest/gtest.h>

#include "tests/fixtures.h"

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

using namespace fixtures;

namespace {

struct Host {
    std::string name, root;
    std::unique_ptr<TempDir> tmp;  // inside the root
    std::string inside;            // its path as the host sees it
};

// The recap's count of `what` ("changed", "failed") for `host`, or -1.
int Recap(const std::string &out, const std::string &host, const std::string &what) {
    std::smatch m;
    const std::regex line("\n" + host + " +:[^\n]* " + what + "=([0-9]+)");
    return std::regex_search(out, m, line) ? std::stoi(m[1]) : -1;
}

TEST(Fleet, AnsibleInstallsOnEveryHostOnceAndReportsADamagedFileInTheInstallersWords) {
#ifdef SONARIS_DYNAMIC_IMAGE
    GTEST_SKIP() << "the sanitized build links the image dynamically: it cannot run in a minimal system";
#endif
    if (geteuid() != 0) SKIP_OUTSIDE_CI("needs root: the hosts are chroots");
    if (!Exists("/usr/bin/ansible-playbook")) SKIP_OUTSIDE_CI("ansible-playbook is missing (scripts/install-deps)");
    ASSERT_TRUE(Exists(PortableImage("x86_64"))) << "make portable";
    std::vector<Host> hosts;
    for (const char *suite : {"bullseye", "bookworm"}) {
        Host &h = hosts.emplace_back();
        h.name = suite;
        Command make;
        make.argv = {SourceDir() + "/scripts/debian-root", h.name, h.name + "-python3", "python3"};
        make.timeoutSeconds = 1200;
        const Result made = RunCommand(make);
        if (made.exitStatus == 2) SKIP_OUTSIDE_CI(made.err);
        ASSERT_EQ(made.exitStatus, 0) << made.err;
        h.root = made.out.substr(0, made.out.find('\n'));
        h.tmp = std::make_unique<TempDir>(h.root + "/tmp");
        h.inside = h.tmp->path().substr(h.root.size());
    }
    TempDir tmp;
    SmallApp app;
    app.items = 3;
    app.noise = 1 << 20;  // stored as it is by deflate: a byte flipped there only gunzip's last check finds
    MakeApp(tmp / "tree", app);
    const std::string installer = tmp / "sonaris8.installer", damaged = tmp / "damaged.installer";
    const std::string corrupt = tmp / "corrupt.installer";
    const Result packed = RunArgs({PackerPath(), "--arch", "x86_64", tmp / "tree", installer});
    ASSERT_EQ(packed.exitStatus, 0) << packed.err;
    // Cut off in the middle of its payload, as an interrupted download is.
    const std::string bytes = ReadFile(installer);
    const std::size_t image = ReadFile(PortableImage("x86_64")).size();
    WriteFile(damaged, bytes.substr(0, image + (bytes.size() - image) / 2));
    std::string flipped = bytes;
    flipped[image + (bytes.size() - image) / 2] ^= 0x20;
    WriteFile(corrupt, flipped);

    const auto play = [&](const std::string &file, const std::string &dest) {
        std::string inventory = "[all:vars]\nansible_connection=community.general.chroot\n"
                                "ansible_python_interpreter=/usr/bin/python3\n[all]\n";
        for (const Host &h : hosts)
            inventory += h.name + " ansible_host=" + h.root + " staged=" + h.inside + "/sonaris8.installer dest=" +
                         h.inside + "/" + dest + "\n";
        WriteFile(tmp / "hosts", inventory);
        Command c;
        c.argv = {"ansible-playbook", "-i", tmp / "hosts", SourceDir() + "/docs/sonaris8.yml",
                  "-e", "installer=" + file};
        // Ansible refuses to run in a locale that is not UTF-8, such as the C one of the suite.
        c.env = {{"HOME", tmp.path()}, {"LC_ALL", "C.UTF-8"}, {"ANSIBLE_NOCOLOR", "1"},
                 {"ANSIBLE_REMOTE_TMP", "/tmp"}};
        c.timeoutSeconds = 300;
        return RunCommand(c);
    };
    const Result first = play(installer, "Sonaris8"), second = play(installer, "Sonaris8");
    // Found corrupt once tar has had all of it: the launcher does not stay, so a plain run installs again.
    const Result late = play(corrupt, "Late"), mended = play(installer, "Late");
    const Result failed = play(damaged, "Other");
    EXPECT_EQ(first.exitStatus, 0) << first.out << first.err;
    EXPECT_EQ(second.exitStatus, 0) << second.out << second.err;
    EXPECT_EQ(failed.exitStatus, 2) << failed.out << failed.err;
    for (const Host &h : hosts) {
        SCOPED_TRACE(h.name);
        EXPECT_EQ(Recap(first.out, h.name, "changed"), 2) << first.out;
        EXPECT_EQ(Recap(second.out, h.name, "changed"), 0) << second.out;
        EXPECT_EQ(TreeListing(h.root + h.inside + "/Sonaris8"), TreeListing(tmp / "tree"));
        // The installer's own message, as it says it on the host.
        const Result direct = RunArgs({"chroot", h.root, h.inside + "/sonaris8.installer", "-s", h.inside + "/Direct"});
        ASSERT_EQ(direct.exitStatus, 1);
        ASSERT_NE(direct.err, "");
        EXPECT_EQ(Recap(failed.out, h.name, "failed"), 1) << failed.out;
        EXPECT_NE(failed.out.find("fatal: [" + h.name + "]: FAILED! => "), std::string::npos) << failed.out;
        EXPECT_NE(failed.out.find("\"stderr\": \"" + direct.err.substr(0, direct.err.size() - 1) + "\""),
                  std::string::npos)
            << failed.out;
        // Of the installation nothing but the directory it made, which stays empty.
        EXPECT_TRUE(std::filesystem::is_empty(h.root + h.inside + "/Other"));
        EXPECT_EQ(Recap(late.out, h.name, "failed"), 1) << late.out;
        EXPECT_NE(late.out.find(h.inside + "/Late holds a partial installation.\""), std::string::npos) << late.out;
        EXPECT_EQ(Recap(mended.out, h.name, "changed"), 2) << mended.out;
        EXPECT_EQ(TreeListing(h.root + h.inside + "/Late"), TreeListing(tmp / "tree"));
    }
}

}  // namespace
