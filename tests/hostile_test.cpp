// Payloads written header by header that try to reach outside the destination or to make special
// files there. The packer's --verify names the offending member; installing such a file, as root
// and as nobody, once and again into the same destination, changes nothing outside the destination.
#include <gtest/gtest.h>

#include "tests/fixtures.h"
#include "tests/messages.h"
#include "tests/reliability_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

using namespace fixtures;
using namespace reliability;
using namespace tarfile;
using namespace messages;

namespace {

const TarMember kLauncher = Launcher(MarkerLauncher());
const std::string only = ": only directories, regular files, symbolic links and hard links can be installed";
const std::string dotDot = " has a \"..\" part in its name, which could lead outside the destination";
const std::string absoluteName = " has an absolute name, which would put it outside the destination";

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
        for (const std::string &dir : {world, outside, cwd, home})
            MakeDir(dir, dir == world ? 01777 : 0777);  // sticky: root may install below it
        WriteFile(sentinel, "sentinel\n", 0666);
    }

    Result Verify(const std::string &installer) {
        Command c;
        c.argv = {PackerPath(), "--verify", installer};
        return RunCommand(c);
    }

    Result InstallSilently(const std::string &installer, const std::string &dest, bool unprivileged,
                           const std::map<std::string, std::string> &env) {
        Command c = SilentCommand(installer, dest, home);
        c.env["LAUNCHER_MARKER"] = marker;
        for (const auto &[k, v] : env) c.env[k] = v;
        c.unset.push_back("TAR_OPTIONS");
        c.cwd = cwd;
        c.unprivileged = unprivileged;
        return RunCommand(c);
    }
};

TEST_F(Hostile, VerifyNamesTheMemberAndInstallingChangesNothingOutside) {
    struct Case {
        const char *name;
        std::vector<TarMember> members;
        std::string said;  // by --verify after the file's name, and by the installer after its own words
        std::map<std::string, std::string> env = {};
        std::vector<TarMember> hidden = {};  // members behind the end-of-archive blocks
        bool damaged = false;                // told as damage, not as an archive the installer does not take
    };
    const std::string longName = "./" + std::string(120, 'a') + "/../../outside/long";
    TarMember prefixed = File("outside/prefixed");
    prefixed.prefix = "..";
    const std::string absolute = ", an absolute path that leads out of the installed tree";
    const std::string leadsOut = ", which leads out of the installed tree";
    const std::string notBefore = ", which the archive does not hold before it";
    const std::string downThenUp = ", which goes back up with \"..\" after going down";
    std::string climbing;
    for (int i = 0; i < 40; ++i) climbing += "../";
    climbing += "outside";
    const Case cases[] = {
        {"a \"../\" member", {Dir("./"), File("./../outside/escape"), kLauncher}, "member ./../outside/escape" + dotDot},
        {"\"..\" in a GNU long name", {Dir("./"), File(longName), kLauncher}, "member " + longName + dotDot},
        {"\"..\" in a POSIX name prefix", {Dir("./"), prefixed, kLauncher}, "member ../outside/prefixed" + dotDot},
        {"\"..\" in a pax path", {Dir("./"), PaxHeader({{"path", "../outside/pax"}}), File("./innocent"), kLauncher},
         "member ../outside/pax" + dotDot},
        {"an absolute name", {Dir("./"), File(outside + "/absolute"), kLauncher},
         "member " + outside + "/absolute" + absoluteName},
        {"an absolute name, tar told to keep it", {Dir("./"), File(outside + "/absolute"), kLauncher},
         "member " + outside + "/absolute" + absoluteName, {{"TAR_OPTIONS", "--absolute-names"}}},
        {"an absolute symbolic link, a file through it",
         {Dir("./"), Symlink("./link", outside), File("./link/through"), kLauncher},
         "member ./link is a symbolic link to " + outside + absolute},
        {"an absolute symbolic link behind 300 kB of data, a file through it",
         {Dir("./"), File("./data.bin", RandomBytes(300000)), Symlink("./link", outside), File("./link/through"),
          kLauncher},
         "member ./link is a symbolic link to " + outside + absolute},
        {"a symbolic link climbing from the top, a file through it",
         {Dir("./"), Symlink("./up", "../outside"), File("./up/through"), kLauncher},
         "member ./up is a symbolic link to ../outside" + leadsOut},
        {"a symbolic link climbing further than its depth",
         {Dir("./"), Dir("./a/"), Symlink("./a/up", "../../outside"), kLauncher},
         "member ./a/up is a symbolic link to ../../outside" + leadsOut},
        {"a symbolic link with \"..\" in mid-path",
         {Dir("./"), Dir("./a/"), Symlink("./m", "a/../../outside"), kLauncher},
         "member ./m is a symbolic link to a/../../outside" + downThenUp},
        {"a chain of links whose second climbs out",
         {Dir("./"), Dir("./d/"), Symlink("./d/top", ".."), Symlink("./d/out", "top/../../outside"), kLauncher},
         "member ./d/out is a symbolic link to top/../../outside" + downThenUp},
        {"a GNU long link target climbing out", {Dir("./"), Symlink("./long", climbing), kLauncher},
         "member ./long is a symbolic link to " + climbing + leadsOut},
        {"a dangling link, a file through it", {Dir("./"), Symlink("./later", "sub"), File("./later/file"), kLauncher},
         "member ./later/file lies under ./later, which is a symbolic link"},
        {"a link, then a directory of its name",
         {Dir("./"), Symlink("./lib", "."), Dir("./lib/"), File("./lib/x"), kLauncher},
         "member ./lib/ appears twice in the archive"},
        {"a file, then a link of its name", {Dir("./"), File("./a"), Symlink("./a", outside + "/sentinel"), kLauncher},
         "member ./a appears twice in the archive"},
        // The second installation would make the hard link through the link the first one left.
        {"a hard link through a symbolic link the payload leaves behind",
         {Dir("./"), HardLink("./x/escape", "./t"), File("./t", "payload\n"), Symlink("./x", outside), kLauncher},
         "member ./x/escape is a hard link to ./t" + notBefore},
        {"hard links to a file outside",
         {Dir("./"), HardLink("./h", outside + "/sentinel"), HardLink("./g", "../outside/sentinel"),
          File("./h", "overwritten\n"), File("./g", "overwritten\n"), kLauncher},
         "member ./h is a hard link to " + outside + "/sentinel" + notBefore},
        {"a hard link climbing out",
         {Dir("./"), HardLink("./g", "../outside/sentinel"), File("./g", "overwritten\n"), kLauncher},
         "member ./g is a hard link to ../outside/sentinel" + notBefore},
        {"a hard link to a name made later", {Dir("./"), HardLink("./early", "./late"), File("./late"), kLauncher},
         "member ./early is a hard link to ./late" + notBefore},
        {"a hard link to a symbolic link", {Dir("./"), Symlink("./s", "sonaris"), HardLink("./h", "./s"), kLauncher},
         "member ./h is a hard link to ./s, which is a symbolic link, not a regular file"},
        // Spellings that tar resolves through what stands on disk, and headers tars read differently.
        {"a directory spelt with \".\" behind a link", {Symlink("lib", "."), Dir("lib/."), kLauncher},
         "member lib/. has a \".\" part in its name"},
        {"an empty component", {Dir("a/"), File("a//b"), kLauncher}, "member a//b has an empty part (\"//\") in its name"},
        {"a size field that tar skips",
         {Dir("a/"), Mangled(Dir("a/up/"), 124, std::string(11, ' ') + "\x80"), File("a/up/x"), kLauncher},
         "member a/up/ has a damaged header: its size is not a number", {}, {}, true},
        {"a mode field in base 256",
         {Mangled(File("m", "x\n", 0755), 100, std::string("\x80\0\0\0\0\0\x0f\xff", 8)), kLauncher},
         "member m gives its mode in binary form, which the installer does not take"},
        {"a setuid file", {File("su", "x\n", 04755), kLauncher},
         "member su has the setuid bit set, which the installer does not allow"},
        {"a setgid directory", {Dir("./", 02775), kLauncher},
         "member ./ has the setgid bit set, which the installer does not allow"},
        {"a pax keyword tars read differently", {PaxHeader({{"GNU.sparse.name", "x"}}), File("y"), kLauncher},
         "member y has sparse-file records that tars read differently"},
        {"a character device", {Dir("./"), Device("./null", '3', 1, 3), kLauncher},
         "member ./null is a character device" + only},
        {"a block device", {Dir("./"), Device("./disk", '4', 7, 0), kLauncher}, "member ./disk is a block device" + only},
        {"a fifo", {Dir("./"), Device("./fifo", '6', 0, 0), kLauncher}, "member ./fifo is a fifo" + only},
        // tar stops at the end-of-archive blocks unless told to read on, as TAR_OPTIONS may.
        {"a member behind the end of the archive, tar told to read on", {Dir("./"), kLauncher},
         "member ./../outside/hidden" + dotDot, {{"TAR_OPTIONS", "--ignore-zeros"}}, {File("./../outside/hidden")}},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tar = TarArchive(c.members) + (c.hidden.empty() ? "" : TarArchive(c.hidden));
        const std::string installer = WriteInstaller(tmp / ("hostile" + std::to_string(n++)), Gzip(tar));

        const Result verified = Verify(installer);
        EXPECT_EQ(verified.exitStatus, 1);
        EXPECT_EQ(verified.err, "sonaris-pack: " + installer + ": " + c.said + "\n");

        const std::string before = TreeListing(world);
        for (bool unprivileged : {false, true}) {
            SCOPED_TRACE(unprivileged ? "as nobody" : "as root");
            const std::string dest = world + (unprivileged ? "/dest-nobody" : "/dest-root");
            for (int run = 1; run <= 2; ++run) {
                SCOPED_TRACE("installation " + std::to_string(run));
                const Result r = InstallSilently(installer, dest, unprivileged, c.env);
                EXPECT_EQ(r.exitStatus, 1);
                EXPECT_TRUE(EndsWith(r.err, OnStderr(c.damaged ? Damaged(installer, c.said) : Unsupported(installer, c.said))))
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

// Installations one after the other into one destination, each admitted one leaving links there
// and a hand-made link leading out: no later one goes through a link that stands in the
// destination, whoever installs, in whatever order.
TEST_F(Hostile, NoSequenceOfInstallationsWritesOutside) {
    struct Step {
        std::vector<TarMember> members;
        std::string refused;  // "" for admitted
        bool inTheWay = false;  // refused for what stands in the destination
    };
    struct Sequence {
        const char *name;
        std::vector<Step> steps;
    };
    // No "./" member: the destination is root's, open to all, and nobody could not set its mode.
    const std::string hand = "hand";  // a link to `outside`, made by hand before the first step
    const Sequence sequences[] = {
        {"a link to the top, then names through it",
         {{{Symlink("./lib", "."), kLauncher}, ""},
          {{Dir("./lib/."), Symlink("./lib/z", "../out2"), kLauncher},
           "member ./lib/. has a \".\" part in its name"},
          {{Dir("./lib/"), Symlink("./lib/z", "../out2"), kLauncher},
           "lib is a symbolic link where the installer file has a directory", true},
          {{Symlink("lib/z", "../out2"), kLauncher},
           "lib is a symbolic link, and member lib/z would be installed through it", true},
          {{Dir("./z/."), File("./z/pwned"), kLauncher}, "member ./z/. has a \".\" part in its name"}}},
        {"links that climb as far as they may, then names through them",
         {{{Dir("a/"), Symlink("a/up", ".."), Symlink("b", "a/up"), Dir("d/"), Dir("d/e/"), Symlink("d/e/top", "../.."),
            kLauncher},
           ""},
          {{Dir("a/"), Dir("a/up/"), Symlink("a/up/top", "../.."), kLauncher},
           "a/up is a symbolic link where the installer file has a directory", true},
          {{File("b/up/sentinel", "overwritten\n"), kLauncher},
           "b is a symbolic link, and member b/up/sentinel would be installed through it", true},
          {{Dir("d/"), Dir("d/e/"), File("d/e/top/x"), kLauncher},
           "d/e/top is a symbolic link, and member d/e/top/x would be installed through it", true}}},
        {"a link made by hand",
         {{{File(hand + "/sentinel", "overwritten\n"), kLauncher},
           "hand is a symbolic link, and member hand/sentinel would be installed through it", true},
          {{Dir(hand + "/"), File(hand + "/sentinel", "overwritten\n"), kLauncher},
           "hand is a symbolic link where the installer file has a directory", true},
          {{Symlink(hand, "."), kLauncher}, ""}}},
    };
    const std::string before = TreeListing(world);
    struct Run {
        const char *name;
        bool unprivileged[2];  // the first step's installer, then the others'
    } runs[] = {{"as root", {false, false}}, {"as nobody", {true, true}}, {"root, then nobody", {false, true}},
                {"nobody, then root", {true, false}}};
    int n = 0;
    for (const auto &sequence : sequences) {
        SCOPED_TRACE(sequence.name);
        for (const auto &run : runs) {
            SCOPED_TRACE(run.name);
            const std::string dest = world + "/dest";
            MakeDir(dest, 0777);
            ASSERT_EQ(symlink(outside.c_str(), (dest + "/" + hand).c_str()), 0);
            for (std::size_t i = 0; i < sequence.steps.size(); ++i) {
                SCOPED_TRACE("step " + std::to_string(i + 1));
                const Step &step = sequence.steps[i];
                const std::string installer =
                    WriteInstaller(tmp / ("step" + std::to_string(n++)), Gzip(TarArchive(step.members)));
                const bool nobody = run.unprivileged[i == 0 ? 0 : 1];
                // Root installs only into a destination of its own.
                chown(dest.c_str(), nobody ? kNobody : 0, nobody ? kNobody : 0);
                chmod(dest.c_str(), nobody ? 0777 : 0755);
                const Result r = InstallSilently(installer, dest, nobody, {});
                if (step.refused.empty()) {
                    EXPECT_EQ(r.err, "");
                } else {
                    EXPECT_EQ(r.err, OnStderr(step.inTheWay ? InTheWay(dest, step.refused) : Unsupported(installer, step.refused)));
                }
                EXPECT_EQ(ReadFile(sentinel), "sentinel\n");
                EXPECT_EQ(ListingWithout(world, dest), before);
                EXPECT_FALSE(Exists(world + "/out2"));
                // None but the one made by hand, if it still stands.
                const std::string out = LinksLeadingOut(dest);
                EXPECT_TRUE(out.empty() || out == dest + "/" + hand + " -> " + outside + "\n") << out;
            }
            RemoveTree(dest);
        }
    }
}

// Root's tar takes no member's owner or mode, the destination's own included.
TEST_F(Hostile, ADotMemberLeavesTheDestinationRootsWhenRootInstalls) {
    const std::string installer = WriteInstaller(tmp / "open", Gzip(TarArchive({Dir("./", 0777), File("a"), kLauncher})));
    const std::string dest = world + "/dest";
    const std::vector<std::vector<TarMember>> owned = {
        {Dir("./", 0777)},
        {Mangled(Mangled(Dir("./"), 108, "0001750"), 265, std::string("alice\0", 6))},
        {PaxHeader({{"uid", "1000"}, {"uname", "alice"}}), Dir("./")},
    };
    Result r;
    for (std::vector<TarMember> members : owned) {
        members.push_back(File("a"));
        members.push_back(kLauncher);
        r = InstallSilently(WriteInstaller(tmp / "owned", Gzip(TarArchive(members))), dest, false, {});
        EXPECT_EQ(r.err, "");
        struct stat st;
        ASSERT_EQ(stat(dest.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
    }
    // nobody's tar takes its umask off, on a destination that is nobody's own.
    RemoveTree(dest);
    r = InstallSilently(installer, dest, true, {});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "");
    struct stat st;
    ASSERT_EQ(stat(dest.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
}

// Behind the gzip member, gunzip decides: it warns of anything but zeros and another member and
// fails, and the installation with it; a second member it unpacks, where tar reads nothing of it
// behind the archive's end. --verify refuses all three.
TEST_F(Hostile, BytesBehindThePayloadsGzipMemberAreLeftToGunzip) {
    const std::string gz = Gzip(TarArchive({Dir("./"), File("./a", RandomBytes(20000)), kLauncher}));
    struct Case {
        const char *name;
        std::string payload;
        std::string refused;  // by --verify
        bool installs;
    } cases[] = {
        {"zeros, then text", gz + std::string(4096, '\0') + "x", "the payload's gzip member is followed by bytes that are not gzip data", false},
        {"a second gzip member", gz + Gzip("more\n"), "the payload holds more than one gzip member", true},
        {"text", gz + "signed-by: someone\n", "the payload's gzip member is followed by bytes that are not gzip data", false},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string installer = WriteInstaller(tmp / ("padded" + std::to_string(n++)), c.payload);
        const Result verified = Verify(installer);
        EXPECT_EQ(verified.exitStatus, 1);
        EXPECT_EQ(verified.err, "sonaris-pack: " + installer + ": " + c.refused + "\n");
        const std::string dest = world + "/dest";
        const Result r = InstallSilently(installer, dest, false, {});
        if (c.installs) {
            EXPECT_EQ(r.exitStatus, 0);
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_EQ(r.exitStatus, 1);
            EXPECT_EQ(r.err, "\ngzip: stdin: decompression OK, trailing garbage ignored\n" +
                                 OnStderr(Damaged(installer, kCorruptPayload, dest)))
                << r.err;
        }
        RemoveTree(dest);
    }
}

}  // namespace
