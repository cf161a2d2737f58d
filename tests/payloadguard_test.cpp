// The extraction's guard in process: what it admits or refuses of the tar stream gunzip makes of a
// payload, however the stream is cut into blocks, and that tar never gets the whole header of a
// refused member.
#include <gtest/gtest.h>

#include "tests/fixtures.h"
#include "format/payloadguard.h"
#include "tests/tar_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <string>
#include <vector>

using namespace fixtures;
using namespace tarfile;

namespace {

using Verdict = PayloadGuard::Verdict;

// Feeds the tar stream of `payload` in pieces of `piece` bytes, then its end; returns the verdict
// and how many bytes were admitted.
Verdict Feed(const std::string &payload, std::size_t piece, std::size_t &admitted, std::string *reason = nullptr) {
    const std::string tar = Gunzipped(payload);
    PayloadGuard guard;
    admitted = 0;
    Verdict v = Verdict::Sound;
    for (std::size_t at = 0; at < tar.size() && v == Verdict::Sound; at += piece) {
        const std::string block = tar.substr(at, piece);
        v = guard.Inspect(reinterpret_cast<const unsigned char *>(block.data()), block.size());
        if (v == Verdict::Sound) admitted += block.size();
    }
    if (v == Verdict::Sound) v = guard.End();
    if (reason) *reason = guard.reason();
    return v;
}

// Where member `index`'s own header ends in TarArchive(members), long-name records included.
std::size_t HeaderEnd(const std::vector<TarMember> &members, std::size_t index) {
    std::vector<TarMember> upTo(members.begin(), members.begin() + static_cast<long>(index) + 1);
    upTo.back().content.clear();
    // Behind the last header come only the zero blocks and the padding of the record.
    const std::string archive = TarArchive(upTo);
    return (archive.find_last_not_of('\0') / 512 + 1) * 512;
}

const std::vector<std::size_t> kPieces = {1, 7, 512, 8192, 1 << 20};
const char kLauncherScript[] = "#!/bin/sh\n";

// `payload` refused with `reason` however it is cut, each time having admitted less than `below` bytes.
void ExpectRefusedInEveryPiece(const std::string &payload, const std::string &reason, std::size_t below) {
    for (std::size_t piece : kPieces) {
        SCOPED_TRACE(piece);
        std::size_t admitted;
        std::string said;
        EXPECT_EQ(Feed(payload, piece, admitted, &said), Verdict::Refused);
        EXPECT_EQ(said, reason);
        EXPECT_LT(admitted, below);
    }
}

TEST(PayloadGuard, AdmitsSoundPayloadsHoweverTheyAreCut) {
    const std::string longName = "./share/" + std::string(150, 'n');
    struct Case {
        const char *name;
        std::string payload;
    } cases[] = {
        {"directories and files",
         Gzip(TarArchive({Dir("./"), Dir("./bin/"), File("./bin/tool", std::string(70000, 'x'), 0755),
                          File("./empty", ""), Launcher(kLauncherScript)}))},
        {"a GNU long name", Gzip(TarArchive({Dir("./"), Dir("./share/"), File(longName), Launcher(kLauncherScript)}))},
        {"old-style regular files and directories",
         Gzip(TarArchive({TarMember{"./", '\0', 0755, "", "", 0, 0, ""}, TarMember{"./a", '\0', 0644, "a\n", "", 0, 0, ""},
                          Launcher(kLauncherScript)}))},
        {"symbolic links inside the tree and hard links",
         Gzip(TarArchive({Dir("./"), Dir("./bin/"), Dir("./lib/"), Dir("./lib/x/"), File("./lib/libfoo.so.1.2.3"),
                          Symlink("./lib/libfoo.so.1", "libfoo.so.1.2.3"), Symlink("./bin/x", "../lib/x/x"),
                          Symlink("./bin/up", ".."), Symlink("./lib/x/top", "./../..//"),
                          HardLink("./bin/hard", "./lib/libfoo.so.1.2.3"), Symlink("./dangling", "nowhere"),
                          Symlink("./chained", "bin/x"), Symlink("./self", "."), Launcher(kLauncherScript)}))},
        {"a GNU long link target",
         Gzip(TarArchive({Dir("./"), Dir("./a/"), Symlink("./a/l", "../" + std::string(150, 't')),
                          Launcher(kLauncherScript)}))},
        {"a payload of the system's tar", ""},
        {"an owner and a size in base 256, a blank group",
         Gzip(TarArchive({Dir("./"),
                          Mangled(Mangled(Mangled(File("./b", "hello"), 124, std::string("\x80\0\0\0\0\0\0\0\0\0\0\x05", 12)),
                                          108, std::string("\x80\0\0\0\0\x2d\xc6\xc0", 8)),
                                  116, std::string(8, ' ')),
                          Launcher(kLauncherScript)}))},
    };
    TempDir tmp;
    CopyDemoApp(tmp / "app");
    symlink("bin/sonaris-player", (tmp / "app/player").c_str());
    link((tmp / "app/share/doc/README").c_str(), (tmp / "app/README").c_str());
    cases[5].payload = PackTree(tmp / "app");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (std::size_t piece : kPieces) {
            SCOPED_TRACE(piece);
            std::size_t admitted;
            EXPECT_EQ(Feed(c.payload, piece, admitted), Verdict::Sound);
            EXPECT_EQ(admitted, Gunzipped(c.payload).size());
        }
    }
}

TEST(PayloadGuard, RefusesAMemberBeforeTarHasItsHeader) {
    const std::string only = ": only directories, regular files, symbolic links and hard links can be installed";
    const std::string absolute = ", an absolute path that leads out of the installed tree";
    const std::string climbs = "../../../" + std::string(150, 'c');
    const std::string dotDot = " has a \"..\" part in its name, which could lead outside the destination";
    TarMember prefixed = File("b");
    prefixed.prefix = "a/..";
    const std::string longEscape = "./" + std::string(200, 'd') + "/../../x";
    struct Case {
        const char *name;
        std::vector<TarMember> members;
        std::size_t hostile;  // the index of the member refused
        std::string reason;
    } cases[] = {
        {"an absolute name", {Dir("./"), File("/etc/x")}, 1,
         "member /etc/x has an absolute name, which would put it outside the destination"},
        {"a \"..\"", {Dir("./"), File("./a/../../x")}, 1, "member ./a/../../x" + dotDot},
        {"a bare \"..\"", {Dir("./"), Dir("..")}, 1, "member .." + dotDot},
        {"\"..\" in a long name", {Dir("./"), File(longEscape)}, 1, "member " + longEscape + dotDot},
        {"\"..\" in a prefix", {Dir("./"), prefixed}, 1, "member a/../b" + dotDot},
        {"a hard link to nothing", {Dir("./"), HardLink("./b", "./a")}, 1,
         "member ./b is a hard link to ./a, which the archive does not hold before it"},
        {"a hard link to a later file", {Dir("./"), HardLink("./b", "./c"), File("./c")}, 1,
         "member ./b is a hard link to ./c, which the archive does not hold before it"},
        {"a hard link to itself", {Dir("./"), HardLink("./b", "./b")}, 1,
         "member ./b is a hard link to ./b, which the archive does not hold before it"},
        {"a hard link outside", {Dir("./"), HardLink("./b", "../etc/passwd")}, 1,
         "member ./b is a hard link to ../etc/passwd, which the archive does not hold before it"},
        {"a hard link to an absolute name", {Dir("./"), HardLink("./b", "/etc/passwd")}, 1,
         "member ./b is a hard link to /etc/passwd, which the archive does not hold before it"},
        {"a hard link to a symbolic link", {Dir("./"), Symlink("./s", "x"), HardLink("./b", "./s")}, 2,
         "member ./b is a hard link to ./s, which is a symbolic link, not a regular file"},
        {"a hard link to a directory", {Dir("./"), Dir("./d/"), HardLink("./b", "./d/")}, 2,
         "member ./b is a hard link to ./d/, which the archive does not hold before it"},
        {"an absolute symbolic link", {Dir("./"), Symlink("./l", "/etc")}, 1, "member ./l is a symbolic link to /etc" + absolute},
        {"a symbolic link climbing from the top", {Dir("./"), Symlink("./x", "../y")}, 1,
         "member ./x is a symbolic link to ../y, which leads out of the installed tree"},
        {"a symbolic link climbing too far", {Dir("./"), Dir("./a/"), Symlink("./a/b", "../../y")}, 2,
         "member ./a/b is a symbolic link to ../../y, which leads out of the installed tree"},
        {"a symbolic link with \"..\" inside", {Dir("./"), Symlink("./m", "a/../../y")}, 1,
         "member ./m is a symbolic link to a/../../y, which goes back up with \"..\" after going down"},
        {"a symbolic link with an empty target", {Dir("./"), Symlink("./e", "")}, 1,
         "member ./e is a symbolic link with an empty target"},
        {"a long link target that climbs", {Dir("./"), Dir("./a/"), Dir("./a/b/"), Symlink("./a/b/l", climbs)}, 3,
         "member ./a/b/l is a symbolic link to " + climbs + ", which leads out of the installed tree"},
        {"a name through a symbolic link", {Dir("./"), Symlink("./lib", "."), File("./lib/x")}, 2,
         "member ./lib/x lies under ./lib, which is a symbolic link"},
        {"a directory where a symbolic link is", {Dir("./"), Symlink("./lib", "."), Dir("./lib/")}, 2,
         "member ./lib/ appears twice in the archive"},
        {"a name twice", {Dir("./"), File("./a"), Symlink("./a", "b")}, 2, "member ./a appears twice in the archive"},
        {"a directory again", {Dir("./"), Dir("./d/"), Dir("./d")}, 2, "member ./d appears twice in the archive"},
        {"a character device", {Dir("./"), Device("./c", '3', 1, 3)}, 1, "member ./c is a character device" + only},
        {"a block device", {Dir("./"), Device("./b", '4', 8, 0)}, 1, "member ./b is a block device" + only},
        {"a fifo", {Dir("./"), Device("./f", '6', 0, 0)}, 1, "member ./f is a fifo" + only},
        {"a pax keyword no tar reads alike", {Dir("./"), PaxHeader({{"SCHILY.fflags", "schg"}}), File("./y")}, 2,
         "member ./y carries the extended record SCHILY.fflags, which the installer does not take"},
        {"a sparse file whose stand-in name climbs",
         {PaxHeader({{"GNU.sparse.major", "1"}, {"GNU.sparse.minor", "0"}, {"GNU.sparse.name", "x"}, {"GNU.sparse.realsize", "1"}}),
          File("../escape", "1\n0\n1\n" + std::string(509, '\0') + "z")},
         1,
         "member x is a sparse file stored under the name ../escape, where a tar that does not know sparse files would "
         "write it"},
        {"a sparse map longer than the data", {Mangled(TarMember{"s", 'S', 0644, "abc", "", 0, 0, ""}, 386, std::string("00000000000\0" "00000000004", 24))}, 0,
         "member s is a sparse file whose map of data pieces does not match its data"},
        {"a contiguous file", {Dir("./"), TarMember{"./c", '7', 0644, "c", "", 0, 0, ""}}, 1,
         "member ./c is a contiguous file" + only},
        {"an unknown type", {Dir("./"), TarMember{"./u", 'Q', 0644, "", "", 0, 0, ""}}, 1,
         "member ./u is of type 'Q'" + only},
        {"a control character in the name", {Dir("./"), Symlink("./a\nb", "/")}, 1,
         "member ./a\\012b has a control character (a line break, a tab or the like) in its name"},
        {"a pax path for every member", {PaxHeader({{"path", "x"}}, 'g'), File("y")}, 1,
         "the global extended header ./PaxHeaders/member sets path for every member after it, which tars apply "
         "differently"},
        {"a pax header and a GNU long name for one member", {PaxHeader({{"mtime", "1.5"}}), File(std::string(120, 'n'))},
         1,
         "member ././@LongLink is a second long-name or extended header for the same member, which tars read "
         "differently"},
        {"a malformed pax record", {PaxHeader({{"size", "12a"}}), File("y")}, 1,
         "the extended header ./PaxHeaders/member is damaged: its size value is not valid"},
        // Numeric fields that tars read differently, or skip the header for.
        {"a size field tar skips", {Dir("a/"), Mangled(Dir("a/up/"), 124, std::string(11, ' ') + "\x80")}, 1,
         "member a/up/ has a damaged header: its size is not a number"},
        {"a mode in base 256", {Mangled(File("m"), 100, std::string("\x80\0\0\0\0\0\x0f\xff", 8))}, 0,
         "member m gives its mode in binary form, which the installer does not take"},
        {"an owner with a sign", {Mangled(File("m"), 108, "-000001")}, 0,
         "member m has a damaged header: its owner is not a number"},
        {"a negative owner", {Mangled(File("m"), 108, std::string("\xff\xff\xff\xff\xff\xff\xff\xfe", 8))}, 0,
         "member m has a negative owner in its header"},
        {"an unknown magic", {Mangled(File("m"), 257, std::string("ustar\0" "01", 8))}, 0,
         "member m has a damaged header: it is in no known tar format"},
        {"a directory that claims data", {TarMember{"./d/", '5', 0755, "hidden", "", 0, 0, ""}}, 0,
         "member ./d/ is a directory but carries data"},
        {"a setgid directory", {Dir("./", 02755)}, 0,
         "member ./ has the setgid bit set, which the installer does not allow"},
        {"a member behind the end-of-archive blocks (tar --ignore-zeros)", {}, 0,
         "member ../hidden" + dotDot},
        {"a long name that a zero block makes tar forget", {}, 1, "member ../forgotten" + dotDot},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string tar;
        std::size_t headerEnd;
        if (c.members.empty() && c.hostile == 0) {
            // tar stops at the zero blocks unless told to read on; what it then finds is refused too.
            const std::string first = TarArchive({Dir("./"), Launcher(kLauncherScript)});
            tar = first + TarArchive({File("../hidden")});
            headerEnd = first.size() + 512;
        } else if (c.members.empty()) {
            // A harmless long name, a zero block, then a header that stands on its own name.
            const std::string name = "./harmless" + std::string(200, 'h');
            const std::string longName = TarHeader({"././@LongLink", 'L', 0644, name + '\0', "", 0, 0, ""}) +
                                         name + std::string(512 - name.size() % 512 - 1, '\0') + '\0';
            const std::string start = TarArchive({Dir("./"), Launcher(kLauncherScript)});
            tar = start.substr(0, (start.find_last_not_of('\0') / 512 + 1) * 512) + longName + std::string(512, '\0');
            headerEnd = tar.size() + 512;
            tar += TarArchive({File("../forgotten", "")});
        } else {
            tar = TarArchive(c.members);
            headerEnd = HeaderEnd(c.members, c.hostile);
        }
        ExpectRefusedInEveryPiece(Gzip(tar), c.reason, headerEnd);
    }
}

TEST(PayloadGuard, StopsAtAHeaderTarWouldSkip) {
    const std::string sound = TarArchive({Dir("./"), File("./noise", std::string(20000, 'z')), Launcher(kLauncherScript)});
    std::string badChecksum = sound;
    badChecksum[512 + 148] = '7';  // the second header's checksum field
    // The right sum, but in base 256, which tar takes for sizes and not for checksums.
    std::string base256Checksum = sound;
    {
        unsigned sum = 0;
        for (std::size_t i = 512; i < 1024; ++i) sum += (i >= 512 + 148 && i < 512 + 156) ? ' ' : static_cast<unsigned char>(sound[i]);
        const char field[8] = {'\x80', 0, 0, 0, 0, 0, static_cast<char>(sum >> 8), static_cast<char>(sum & 0xff)};
        base256Checksum.replace(512 + 148, 8, field, 8);
    }
    // tar would skip ahead looking for a header it likes.
    for (const std::string &tar : {badChecksum, base256Checksum}) {
        std::size_t admitted;
        std::string reason;
        EXPECT_EQ(Feed(Gzip(tar), 512, admitted, &reason), Verdict::Refused);
        EXPECT_EQ(reason, "member ./noise has a damaged header: its checksum does not match");
        EXPECT_LT(admitted, 1024u);
    }
}

// Who can put a refusal right: a damaged file is got again, one its supplier made wrong is repacked,
// and what stands in the destination is named by its path there, for the user to clear.
TEST(PayloadGuard, TellsWhoCanPutARefusalRight) {
    TempDir dest;
    ASSERT_EQ(mkdir((dest / "usr").c_str(), 0755), 0);
    ASSERT_EQ(symlink("/", (dest / "usr/lib").c_str()), 0);
    ASSERT_EQ(symlink("usr", (dest / "old").c_str()), 0);
    std::string checksum = TarArchive({Dir("./"), File("./a"), Launcher(kLauncherScript)});
    checksum[512 + 10] ^= 1;  // the second header's name: its checksum no longer matches
    struct Case {
        const char *name;
        std::string tar;
        PayloadGuard::Refusal refusal;
        std::string reason;
    } cases[] = {
        {"a directory where the destination holds a link",
         TarArchive({Dir("./"), Dir("./usr/"), Dir("./usr/lib/"), Launcher(kLauncherScript)}),
         PayloadGuard::Refusal::InTheWay, "usr/lib is a symbolic link where the installer file has a directory"},
        {"a file through a link of the destination", TarArchive({File("old/bin/x"), Launcher(kLauncherScript)}),
         PayloadGuard::Refusal::InTheWay, "old is a symbolic link, and member old/bin/x would be installed through it"},
        {"a damaged header", checksum, PayloadGuard::Refusal::Damaged,
         "member ./a has a damaged header: its checksum does not match"},
        {"a device", TarArchive({Dir("./"), Device("./usr/null", '3', 1, 3)}), PayloadGuard::Refusal::Unsupported,
         "member ./usr/null is a character device: only directories, regular files, symbolic links and hard links "
         "can be installed"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        PayloadRules::Where where;
        where.destination = open(dest.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(where.destination, 0);
        PayloadGuard guard(where);
        EXPECT_EQ(guard.Inspect(reinterpret_cast<const unsigned char *>(c.tar.data()), c.tar.size()), Verdict::Refused);
        EXPECT_EQ(guard.refusal(), c.refusal);
        EXPECT_EQ(guard.reason(), c.reason);
        close(where.destination);
    }
    // A link the payload itself replaces is not in the way.
    PayloadRules::Where where;
    where.destination = open(dest.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    PayloadGuard guard(where);
    const std::string replaced = TarArchive({Symlink("old", "usr"), Launcher(kLauncherScript)});
    EXPECT_EQ(guard.Inspect(reinterpret_cast<const unsigned char *>(replaced.data()), replaced.size()), Verdict::Sound);
    EXPECT_EQ(guard.End(), Verdict::Sound) << guard.reason();
    close(where.destination);
}

TEST(PayloadGuard, RefusesAnEmptyOrCutShortArchiveAtItsEnd) {
    const struct {
        const char *name;
        std::string payload, reason;
    } cases[] = {
        {"no members", Gzip(std::string(10240, '\0')), "the archive holds nothing to install"},
        {"a header cut short", Gzip(TarHeader(Dir("./")).substr(0, 300)),
         "the archive stops in the middle of its first header"},
        {"a later header cut short", Gzip(TarHeader(Dir("./")) + TarHeader(File("a")).substr(0, 100)),
         "the archive stops in the middle of the header after member ./"},
        {"data cut short", Gzip(TarHeader(File("a", "abc"))), "the archive stops in the middle of member a"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ExpectRefusedInEveryPiece(c.payload, c.reason, Gunzipped(c.payload).size() + 1);  // all of it, at most
    }
}

}  // namespace
