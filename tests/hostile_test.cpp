// Payloads written header by header that try to reach outside the destination or to make special
// files there. The packer's --verify names the offending member; installing such a file, as root
// and as nobody, once and again into the same destination, changes nothing outside the destination.
#include <gtest/gtest.h>

#include "fixtures.h"
#include "messages.h"
#include "reliability_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

using namespace fixtures;
using namespace reliability;
using namespace tarfile;
using namespace messages;

namespace {

const char kScript[] = "#!/bin/sh\necho ran >> \"$LAUNCHER_MARKER\"\n";
const std::string only = "; only directories, regular files, symbolic links and hard links may be installed";

// The symbolic links under `root` whose target, read from where they stand, leaves `root`.
std::string LinksLeadingOut(const std::string &root) {
    namespace fs = std::filesystem;
    std::string out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (!it->is_symlink(ec)) continue;
        const fs::path target = fs::read_symlink(it->path(), ec);
        const fs::path at = (fs::relative(it->path().parent_path(), root, ec) / target).lexically_normal();
        if (target.is_absolute() || at.empty() || *at.begin() == "..") out += it->path().string() + " -> " + target.string() + "\n";
    }
    return out;
}

class Hostile : public testing::Test {
protected:
    TempDir tmp;
    // Everything an installation might reach: a directory anyone may write with a sentinel
    // anyone may write, the working directory, the home, and the destination's parent.
    std::string world = tmp / "world";
    std::string outside = world + "/outside";
    std::string sentinel = outside + "/sentinel";
    std::string cwd = world + "/cwd";
    std::string home = world + "/home";
    std::string marker = world + "/launcher-ran";

    void SetUp() override {
        for (const std::string &dir : {world, outside, cwd, home}) {
            mkdir(dir.c_str(), 0777);
            chmod(dir.c_str(), 0777);
        }
        WriteFile(sentinel, "sentinel\n", 0666);
    }

    Result Verify(const std::string &installer) {
        Command c;
        c.argv = {PackerPath(), "--verify", installer};
        return RunCommand(c);
    }

    Result InstallSilently(const std::string &installer, const std::string &dest, bool unprivileged,
                           const std::map<std::string, std::string> &env) {
        Command c;
        c.argv = {installer, "-s", dest};
        c.env = {{"HOME", home}, {"LAUNCHER_MARKER", marker}};
        for (const auto &[k, v] : env) c.env[k] = v;
        c.unset = {"DISPLAY", "TAR_OPTIONS"};
        c.cwd = cwd;
        c.umask = 022;
        c.unprivileged = unprivileged;
        return RunCommand(c);
    }
};

TEST_F(Hostile, VerifyNamesTheMemberAndInstallingChangesNothingOutside) {
    struct Case {
        const char *name;
        std::vector<TarMember> members;
        std::string verified;  // what --verify says after the file's name
        std::string refused;   // what the installer says after "damaged or incomplete: "
        std::map<std::string, std::string> env = {};
        std::vector<TarMember> hidden = {};  // members behind the end-of-archive blocks
    };
    const std::string longName = "./" + std::string(120, 'a') + "/../../outside/long";
    TarMember prefixed = File("outside/prefixed");
    prefixed.prefix = "..";
    const std::string absolute =
        ", an absolute target: make it relative, so that it works wherever the tree is installed";
    const std::string leadsOut = ", which leads out of the tree";
    std::string climbing;
    for (int i = 0; i < 40; ++i) climbing += "../";
    climbing += "outside";
    const Case cases[] = {
        {"a \"../\" member", {Dir("./"), File("./../outside/escape"), Launcher(kScript)},
         "member ./../outside/escape has a \"..\" component", "member ./../outside/escape has a \"..\" component"},
        {"\"..\" in a GNU long name", {Dir("./"), File(longName), Launcher(kScript)},
         "member " + longName + " has a \"..\" component", "member " + longName + " has a \"..\" component"},
        {"\"..\" in a POSIX name prefix", {Dir("./"), prefixed, Launcher(kScript)},
         "member ../outside/prefixed has a \"..\" component", "member ../outside/prefixed has a \"..\" component"},
        {"\"..\" in a pax path", {Dir("./"), PaxHeader({{"path", "../outside/pax"}}), File("./innocent"), Launcher(kScript)},
         "member ../outside/pax has a \"..\" component", "member ./PaxHeaders/member is a pax extended header" + only},
        {"a harmless pax path", {Dir("./"), PaxHeader({{"path", "./renamed"}}), File("./innocent"), Launcher(kScript)},
         "member ./PaxHeaders/member is a pax extended header" + only,
         "member ./PaxHeaders/member is a pax extended header" + only},
        {"an absolute name", {Dir("./"), File(outside + "/absolute"), Launcher(kScript)},
         "member " + outside + "/absolute has an absolute name", "member " + outside + "/absolute has an absolute name"},
        {"an absolute name, tar told to keep it", {Dir("./"), File(outside + "/absolute"), Launcher(kScript)},
         "member " + outside + "/absolute has an absolute name", "member " + outside + "/absolute has an absolute name",
         {{"TAR_OPTIONS", "--absolute-names"}}},
        {"an absolute symbolic link, a file through it",
         {Dir("./"), Symlink("./link", outside), File("./link/through"), Launcher(kScript)},
         "member ./link is a symbolic link to " + outside + absolute,
         "member ./link is a symbolic link to " + outside + absolute},
        {"an absolute symbolic link behind 300 kB of data, a file through it",
         {Dir("./"), File("./data.bin", RandomBytes(300000)), Symlink("./link", outside), File("./link/through"),
          Launcher(kScript)},
         "member ./link is a symbolic link to " + outside + absolute,
         "member ./link is a symbolic link to " + outside + absolute},
        {"a symbolic link climbing from the top, a file through it",
         {Dir("./"), Symlink("./up", "../outside"), File("./up/through"), Launcher(kScript)},
         "member ./up is a symbolic link to ../outside" + leadsOut,
         "member ./up is a symbolic link to ../outside" + leadsOut},
        {"a symbolic link climbing further than its depth",
         {Dir("./"), Dir("./a/"), Symlink("./a/up", "../../outside"), Launcher(kScript)},
         "member ./a/up is a symbolic link to ../../outside" + leadsOut,
         "member ./a/up is a symbolic link to ../../outside" + leadsOut},
        {"a symbolic link with \"..\" in mid-path",
         {Dir("./"), Dir("./a/"), Symlink("./m", "a/../../outside"), Launcher(kScript)},
         "member ./m is a symbolic link to a/../../outside, with \"..\" after the start of its target",
         "member ./m is a symbolic link to a/../../outside, with \"..\" after the start of its target"},
        {"a chain of links whose second climbs out",
         {Dir("./"), Dir("./d/"), Symlink("./d/top", ".."), Symlink("./d/out", "top/../../outside"),
          Launcher(kScript)},
         "member ./d/out is a symbolic link to top/../../outside, with \"..\" after the start of its target",
         "member ./d/out is a symbolic link to top/../../outside, with \"..\" after the start of its target"},
        {"a GNU long link target climbing out", {Dir("./"), Symlink("./long", climbing), Launcher(kScript)},
         "member ./long is a symbolic link to " + climbing + leadsOut,
         "member ./long is a symbolic link to " + climbing + leadsOut},
        {"a dangling link, a file through it",
         {Dir("./"), Symlink("./later", "sub"), File("./later/file"), Launcher(kScript)},
         "member ./later/file lies under ./later, which is a symbolic link",
         "member ./later/file lies under ./later, which is a symbolic link"},
        {"a link, then a directory of its name",
         {Dir("./"), Symlink("./lib", "."), Dir("./lib/"), File("./lib/x"), Launcher(kScript)},
         "member ./lib/ appears twice", "member ./lib/ appears twice"},
        {"a file, then a link of its name",
         {Dir("./"), File("./a"), Symlink("./a", outside + "/sentinel"), Launcher(kScript)},
         "member ./a appears twice", "member ./a appears twice"},
        // The second installation would make the hard link through the link the first one left.
        {"a hard link through a symbolic link the payload leaves behind",
         {Dir("./"), HardLink("./x/escape", "./t"), File("./t", "payload\n"), Symlink("./x", outside),
          Launcher(kScript)},
         "member ./x/escape is not preceded by its directory ./x/",
         "member ./x/escape is not preceded by its directory ./x/"},
        {"hard links to a file outside",
         {Dir("./"), HardLink("./h", outside + "/sentinel"), HardLink("./g", "../outside/sentinel"),
          File("./h", "overwritten\n"), File("./g", "overwritten\n"), Launcher(kScript)},
         "member ./h is a hard link to " + outside + "/sentinel, which no member before it is",
         "member ./h is a hard link to " + outside + "/sentinel, which no member before it is"},
        {"a hard link climbing out",
         {Dir("./"), HardLink("./g", "../outside/sentinel"), File("./g", "overwritten\n"), Launcher(kScript)},
         "member ./g is a hard link to ../outside/sentinel, which no member before it is",
         "member ./g is a hard link to ../outside/sentinel, which no member before it is"},
        {"a hard link to a name made later",
         {Dir("./"), HardLink("./early", "./late"), File("./late"), Launcher(kScript)},
         "member ./early is a hard link to ./late, which no member before it is",
         "member ./early is a hard link to ./late, which no member before it is"},
        {"a hard link to a symbolic link",
         {Dir("./"), Symlink("./s", "sonaris"), HardLink("./h", "./s"), Launcher(kScript)},
         "member ./h is a hard link to ./s, which is a symbolic link, not a regular file",
         "member ./h is a hard link to ./s, which is a symbolic link, not a regular file"},
        {"a symbolic link named like the launcher",
         {Dir("./"), Dir("./bin/"), File("./bin/run", kScript, 0755), Symlink("./sonaris", "bin/run")},
         "the launcher ./sonaris is not a regular file", "the launcher ./sonaris is not a regular file"},
        {"a hard link named like the launcher",
         {Dir("./"), Dir("./bin/"), File("./bin/run", kScript, 0755), HardLink("./sonaris", "./bin/run")},
         "the launcher ./sonaris is not a regular file", "the launcher ./sonaris is not a regular file"},
        {"a character device", {Dir("./"), Device("./null", '3', 1, 3), Launcher(kScript)},
         "member ./null is a character device" + only, "member ./null is a character device" + only},
        {"a block device", {Dir("./"), Device("./disk", '4', 7, 0), Launcher(kScript)},
         "member ./disk is a block device" + only, "member ./disk is a block device" + only},
        {"a fifo", {Dir("./"), Device("./fifo", '6', 0, 0), Launcher(kScript)},
         "member ./fifo is a fifo" + only, "member ./fifo is a fifo" + only},
        // tar stops at the end-of-archive blocks unless told to read on, as TAR_OPTIONS may.
        {"a member behind the end of the archive, tar told to read on", {Dir("./"), Launcher(kScript)},
         "member ./../outside/hidden has a \"..\" component", "member ./../outside/hidden has a \"..\" component",
         {{"TAR_OPTIONS", "--ignore-zeros"}}, {File("./../outside/hidden")}},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string installer = tmp / ("hostile" + std::to_string(n++));
        const std::string tar = TarArchive(c.members) + (c.hidden.empty() ? "" : TarArchive(c.hidden));
        WriteFile(installer, InstallerBytes(Gzip(tar)), 0755);

        const Result verified = Verify(installer);
        EXPECT_EQ(verified.exitStatus, 1);
        EXPECT_EQ(verified.err, "sonaris-pack: " + installer + ": " + c.verified + "\n");

        const std::string before = TreeListing(world);
        for (bool unprivileged : {false, true}) {
            SCOPED_TRACE(unprivileged ? "as nobody" : "as root");
            const std::string dest = world + (unprivileged ? "/dest-nobody" : "/dest-root");
            for (int run = 1; run <= 2; ++run) {
                SCOPED_TRACE("installation " + std::to_string(run));
                const Result r = InstallSilently(installer, dest, unprivileged, c.env);
                EXPECT_EQ(r.exitStatus, 1);
                EXPECT_TRUE(EndsWith(r.err, OnStderr(Damaged(installer, c.refused))))
                    << r.err;
                EXPECT_EQ(ReadFile(sentinel), "sentinel\n");
                EXPECT_EQ(ListingWithout(world, dest), before);
                EXPECT_FALSE(Exists(marker));
                // No special file came to be, even inside, nor a link that leads out.
                EXPECT_EQ(TreeListing(dest).find(" ? "), std::string::npos) << TreeListing(dest);
                EXPECT_EQ(LinksLeadingOut(dest), "");
            }
            RemoveTree(dest);
        }
    }
}

// Each installation replaces what stands at a name its payload declares as a directory: a link
// that an earlier installation left there is not followed.
TEST_F(Hostile, LinksAnEarlierInstallationLeftLetNoLaterOneWriteOutside) {
    const std::vector<TarMember> first = {
        Dir("./"), Dir("./a/"), Symlink("./a/up", ".."), Symlink("./lib", "a"), Symlink("./b", "a/up"),
        Symlink("./c", "b/b/b/a/up"), Dir("./d/"), Dir("./d/e/"), Symlink("./d/e/top", "../.."), Launcher(kScript)};
    // The same names as directories, and links that climb as far as they may from there.
    const std::vector<TarMember> second = {
        Dir("./"), Dir("./a/"), Dir("./a/up/"), Symlink("./a/up/top", "../.."), File("./a/up/y"), Dir("./b/"),
        File("./b/z"), Dir("./c/"), Dir("./c/deep/"), Symlink("./c/deep/top", "../.."), Dir("./d/"), Dir("./d/e/"),
        Dir("./d/e/top/"), File("./d/e/top/sentinel", "overwritten\n"), Dir("./lib/"), File("./lib/x"),
        Launcher(kScript)};
    const std::string one = tmp / "first", two = tmp / "second";
    WriteFile(one, InstallerBytes(Gzip(TarArchive(first))), 0755);
    WriteFile(two, InstallerBytes(Gzip(TarArchive(second))), 0755);
    for (const std::string &installer : {one, two}) {
        const Result verified = Verify(installer);
        EXPECT_EQ(verified.exitStatus, 0) << verified.err;
    }

    const std::string before = TreeListing(world);
    struct Run {
        const char *name;
        bool firstUnprivileged, secondUnprivileged;
    } runs[] = {{"as root", false, false}, {"as nobody", true, true}, {"first as root, then as nobody", false, true}};
    for (const auto &run : runs) {
        SCOPED_TRACE(run.name);
        const std::string dest = world + "/dest";
        const Result r1 = InstallSilently(one, dest, run.firstUnprivileged, {});
        EXPECT_EQ(r1.exitStatus, 0) << r1.err;
        EXPECT_EQ(LinksLeadingOut(dest), "");
        if (run.firstUnprivileged == run.secondUnprivileged) {
            // As a failed or a foreign run might leave it: a link outside where a directory goes.
            unlink((dest + "/d/e/top").c_str());
            ASSERT_EQ(symlink(outside.c_str(), (dest + "/d/e/top").c_str()), 0);
        }
        // The destination itself is the second user's; what the first made inside stays the first's.
        if (run.secondUnprivileged) chown(dest.c_str(), kNobody, kNobody);
        const Result r2 = InstallSilently(two, dest, run.secondUnprivileged, {});
        EXPECT_EQ(ReadFile(sentinel), "sentinel\n");
        EXPECT_EQ(ListingWithout(world, dest), before);
        EXPECT_FALSE(Exists(marker));
        if (run.firstUnprivileged == run.secondUnprivileged) {
            // Where it may replace the links, it does: the second tree stands as its payload says.
            EXPECT_EQ(r2.exitStatus, 0) << r2.err;
            for (const char *dir : {"/a/up", "/b", "/c", "/d/e/top", "/lib"}) {
                struct stat st;
                EXPECT_TRUE(lstat((dest + dir).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) << dir;
            }
            EXPECT_EQ(ReadFile(dest + "/d/e/top/sentinel"), "overwritten\n");
            EXPECT_EQ(LinksLeadingOut(dest), "");
        } else {
            // nobody cannot replace root's links in root's directories, and tar says so; what
            // it writes through them lands inside, where they lead.
            EXPECT_EQ(r2.exitStatus, 1);
            EXPECT_FALSE(EndsWith(r2.err, "complete.\n")) << r2.err;
        }
        RemoveTree(dest);
    }
}

TEST_F(Hostile, BytesBehindThePayloadsGzipMemberAreRefusedAsDamage) {
    const std::string gz = Gzip(TarArchive({Dir("./"), File("./a", RandomBytes(20000)), Launcher(kScript)}));
    struct Case {
        const char *name;
        std::string payload;
        std::string verified;
        std::string refused;
    } cases[] = {
        {"zeros", gz + std::string(4096, '\0'), "the payload is followed by 4096 bytes that are not gzip data",
         "the payload's gzip member is followed by zeros"},
        {"a second gzip member", gz + Gzip("more\n"), "the payload holds more than one gzip member",
         "the payload holds more than one gzip member"},
        {"text", gz + "signed-by: someone\n", "the payload is followed by 19 bytes that are not gzip data",
         "the payload's gzip member is followed by bytes that are not gzip data"},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string installer = tmp / ("padded" + std::to_string(n++));
        WriteFile(installer, InstallerBytes(c.payload), 0755);
        const Result verified = Verify(installer);
        EXPECT_EQ(verified.exitStatus, 1);
        EXPECT_EQ(verified.err, "sonaris-pack: " + installer + ": " + c.verified + "\n");
        const std::string dest = world + "/dest";
        const Result r = InstallSilently(installer, dest, false, {});
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_TRUE(EndsWith(r.err, OnStderr(Damaged(installer, c.refused))))
            << r.err;
        RemoveTree(dest);
    }
}

}  // namespace
