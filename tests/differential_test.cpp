// The payload check against tar itself: generated link-heavy payloads, mutated as an attacker
// would, installed up to three times into one destination as root and as nobody. Whatever the
// check admits, tar extracts exactly as the check judged it (names, types, link targets, modes);
// whatever it refuses changes nothing; and nothing outside the destination ever changes.
// SONARIS_DIFFERENTIAL_SEQUENCES sets how many sequences run (`make fuzz` runs thousands).
#include <gtest/gtest.h>

#include "tests/fixtures.h"
#include "tests/messages.h"
#include "format/payloadguard.h"
#include "tests/reliability_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

using namespace fixtures;
using namespace reliability;
using namespace tarfile;

namespace {

class Generator {
public:
    explicit Generator(unsigned seed) : random_(seed) {}

    std::vector<TarMember> Payload() {
        std::vector<TarMember> members;
        std::vector<std::string> files;
        if (Chance(10)) members.push_back(Dir("./", Chance(50) ? 0755 : 0777));
        const int count = 2 + Pick(10);
        std::vector<std::string> names;
        for (int i = 0; i < count; ++i) {
            std::string name = Name();
            // Mostly a name of its own: the same name twice is only one refusal among many.
            for (int retry = 0; retry < 3 && std::find(names.begin(), names.end(), name) != names.end(); ++retry)
                name = Name();
            names.push_back(name);
            const int kind = Pick(100);
            TarMember m;
            if (kind < 30 || (kind >= 85 && files.empty())) {
                m = Dir(Spelt(name) + (Chance(50) ? "/" : ""), Chance(80) ? 0755 : 0700);
            } else if (kind < 60) {
                m = File(Spelt(name), "x\n", Chance(70) ? 0644 : 0755);
                files.push_back(name);
            } else if (kind < 85) {
                m = Symlink(Spelt(name), Target(static_cast<int>(std::count(name.begin(), name.end(), '/'))));
            } else {
                m = HardLink(Spelt(name), Chance(10) ? Name() : Spelt(files[Pick(files.size())]));
            }
            Mutate(m, members);
            members.push_back(m);
        }
        return members;
    }

private:
    bool Chance(int percent) { return Pick(100) < static_cast<unsigned>(percent); }
    unsigned Pick(std::size_t n) { return std::uniform_int_distribution<unsigned>(0, static_cast<unsigned>(n) - 1)(random_); }

    // Few names, so that they meet: a, b/a, c/b/a...
    std::string Name() {
        static const char *parts[] = {"a", "b", "c", "lib", "z"};
        std::string name = parts[Pick(5)];
        for (int depth = Pick(3); depth > 0; --depth) name += std::string("/") + parts[Pick(5)];
        return name;
    }
    std::string Spelt(const std::string &name) { return Chance(30) ? "./" + name : name; }
    // Mostly no more climbs than the link's `depth` allows.
    std::string Target(int depth) {
        static const char *parts[] = {".", "a", "b", "lib", "z", ""};
        std::string target;
        for (int n = Chance(10) ? depth + 1 : static_cast<int>(Pick(depth + 1)); n > 0; --n) target += "../";
        for (int n = 1 + Pick(2); n > 0; --n) target += std::string(target.empty() || target.back() == '/' ? "" : "/") + parts[Pick(5)];
        return Chance(5) ? target + "/.." : target;
    }

    // What an attacker would try on a member: other spellings, climbs, set-id bits, fields tars
    // read differently, a pax path or a GNU long name over the header's own.
    void Mutate(TarMember &m, std::vector<TarMember> &before) {
        if (!Chance(8)) return;
        switch (Pick(9)) {
        case 0: m.name.insert(m.name.find('/') == std::string::npos ? 0 : m.name.find('/') + 1, "./"); break;
        case 1: m.name.insert(m.name.find('/') == std::string::npos ? 0 : m.name.find('/') + 1, "/"); break;
        case 2: m.name = "../" + m.name; break;
        case 3: m.name = "/tmp/" + m.name; break;
        case 4: m.mode |= Chance(50) ? 04000 : 02000; break;
        case 5: m = Mangled(m, 124, std::string(11, ' ') + "\x80"); break;
        case 6: m = Mangled(m, 100, std::string(7, ' ') + "\x80"); break;
        case 7: before.push_back(PaxHeader({{"path", Spelt(Name())}})); break;
        case 8: m.name = (Chance(50) ? "./" : "") + std::string(60, 'l') + "/" + std::string(60, 'm') + "/" + m.name; break;
        }
    }

    std::mt19937 random_;
};

// What the installer's check says of the tar stream `tar` for `dest` as it stands, and the members
// it judged.
struct Judgement {
    bool admitted;
    std::string reason;
    PayloadGuard::Refusal refusal;
    std::vector<Entry> members;
};
Judgement Judge(const std::string &tar, const std::string &dest, bool root) {
    PayloadRules::Where where;
    where.destination = open(dest.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    where.privileged = root;
    PayloadGuard guard(where);
    guard.KeepJudged();
    auto verdict = guard.Inspect(reinterpret_cast<const unsigned char *>(tar.data()), tar.size());
    if (verdict == PayloadGuard::Verdict::Sound) verdict = guard.End();
    close(where.destination);
    return {verdict == PayloadGuard::Verdict::Sound, guard.reason(), guard.refusal(), guard.judged()};
}

// How `dest` differs from what the check judged; "" if in nothing.
std::string Differences(const std::string &dest, const std::vector<Entry> &members, bool root) {
    std::string out;
    for (const Entry &m : members) {
        const std::string path = dest + "/" + m.name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            out += m.name + ": missing\n";
            continue;
        }
        switch (m.type) {
        case MemberType::Directory:
            if (!S_ISDIR(st.st_mode)) out += m.name + ": not a directory\n";
            break;
        case MemberType::Symlink: {
            char target[4096];
            const ssize_t n = readlink(path.c_str(), target, sizeof target);
            if (!S_ISLNK(st.st_mode) || std::string(target, n < 0 ? 0 : n) != m.link)
                out += m.name + ": not a symbolic link to " + m.link + "\n";
            break;
        }
        case MemberType::HardLink: {
            struct stat to;
            if (lstat((dest + "/" + m.link).c_str(), &to) != 0 || to.st_ino != st.st_ino)
                out += m.name + ": not a hard link to " + m.link + "\n";
            break;
        }
        default: {
            // tar takes the umask off, root's too (--no-same-permissions); root's owns every file.
            const unsigned mode = m.permissions & ~022u;
            if (root && st.st_uid != 0) out += m.name + ": not root's\n";
            if (!S_ISREG(st.st_mode) || (st.st_mode & 07777) != mode) out += m.name + ": not a file of that mode\n";
        }
        }
    }
    return out;
}

TEST(Differential, TarExtractsWhatTheCheckAdmitsAndNothingElse) {
    const char *wanted = std::getenv("SONARIS_DIFFERENTIAL_SEQUENCES");
    const int sequences = wanted ? std::atoi(wanted) : 60;
    TempDir tmp;
    const std::string world = tmp / "world", outside = world + "/outside", dest = world + "/dest";
    // Sticky: root may install below it.
    for (const std::string &dir : {world, outside}) MakeDir(dir, dir == world ? 01777 : 0777);
    WriteFile(outside + "/a", "sentinel\n", 0666);
    const std::string bin = tmp / "bin";
    mkdir(bin.c_str(), 0755);
    // The program image is written once; each payload and its trailer replace the last one behind it.
    const std::string image = ReadFile(InstallerPath());
    const std::string installer = bin + "/installer";
    WriteFile(installer, image, 0755);
    int admitted = 0, refused = 0;
    for (int s = 0; s < sequences; ++s) {
        Generator generate(static_cast<unsigned>(s));
        MakeDir(dest, 0777);
        // A link made by hand, leading out.
        if (s % 3 == 0) symlink(outside.c_str(), (dest + "/" + (s % 2 ? "lib" : "z")).c_str());
        const std::string before = ListingWithout(world, dest);
        for (int run = 0; run < 3; ++run) {
            const bool root = (s + run) % 2 == 0;
            SCOPED_TRACE("sequence " + std::to_string(s) + ", installation " + std::to_string(run + 1) +
                         (root ? " as root" : " as nobody"));
            const std::vector<TarMember> members = generate.Payload();
            const std::string payload = Gzip(TarArchive(members));
            const std::string tail = payload + "\n" + std::to_string(payload.size()) + "\n";
            const int fd = open(installer.c_str(), O_WRONLY);
            ASSERT_TRUE(fd >= 0 && ftruncate(fd, static_cast<off_t>(image.size())) == 0 &&
                        pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(image.size())) ==
                            static_cast<ssize_t>(tail.size()));
            close(fd);
            // Root installs only into a destination of its own; nobody's own for nobody.
            chown(dest.c_str(), root ? 0 : kNobody, root ? 0 : kNobody);
            chmod(dest.c_str(), root ? 0755 : 0777);
            const Judgement judged = Judge(TarArchive(members), dest, root);
            const std::string earlier = TreeListing(dest);
            Command c = SilentCommand(installer, dest, tmp.path());
            c.unset.push_back("TAR_OPTIONS");
            c.unprivileged = !root;
            const Result r = RunCommand(c);
            if (r.err.rfind(messages::kDestinationNotWritable + "\n", 0) == 0) {
                // A "./" that root installed took the destination from nobody: nothing is looked at.
                EXPECT_EQ(TreeListing(dest), earlier);
            } else if (judged.admitted) {
                ++admitted;
                // tar may fail on what nobody cannot replace; what it did make is as judged.
                if (r.exitStatus == 0) {
                    EXPECT_EQ(r.err, "");
                    EXPECT_EQ(Differences(dest, judged.members, root), "") << TarArchive(members).size();
                }
            } else {
                ++refused;
                if (std::getenv("SONARIS_DIFFERENTIAL_REASONS")) std::fprintf(stderr, "refused: %s\n", judged.reason.c_str());
                EXPECT_EQ(r.err, messages::OnStderr(messages::Refused(installer, dest, judged.refusal, judged.reason)));
                EXPECT_EQ(TreeListing(dest), earlier);
            }
            EXPECT_EQ(ListingWithout(world, dest), before);
            EXPECT_EQ(ReadFile(outside + "/a"), "sentinel\n");
            // No link leads out but the one made by hand, where it still stands.
            const std::string out = LinksLeadingOut(dest);
            EXPECT_TRUE(out.empty() || out == dest + "/lib -> " + outside + "\n" || out == dest + "/z -> " + outside + "\n")
                << out;
        }
        RemoveTree(dest);
    }
    // The generator must reach both sides of the check.
    EXPECT_GT(admitted, sequences / 2);
    EXPECT_GT(refused, sequences / 2);
}

}  // namespace

namespace {

// Archives as tools write them, each installed as root and as nobody and held to what GNU tar
// itself extracts from the same archive as the same user; where root is refused, nothing is made.
TEST(Differential, ArchivesOfRealToolsInstallAsGnuTarExtractsThem) {
    TempDir tmp;
    const std::string world = tmp / "world";
    MakeDir(world, 01777);  // sticky: root may install below it, nobody beside it
    // A launcher, a file with a user attribute and an ACL for nobody, one with a hole; and a tree
    // whose one file carries an attribute only root may set.
    Command make;
    make.argv = {"sh", "-ec",
                 "mkdir -p src/bin priv; cd src; printf '#!/bin/sh\\n' > sonaris; chmod 775 sonaris; echo data > bin/a;"
                 "setfattr -n user.note -v hello bin/a; setfacl -m u:65534:r bin/a;"
                 "truncate -s 1M bin/holes; printf x | dd of=bin/holes bs=1 seek=500000 conv=notrunc 2>/dev/null;"
                 "cd ..; cp -p src/sonaris priv/; echo t > priv/t; setfattr -n trusted.mark -v 1 priv/t;"
                 "git init -q repo; cp -r src/. repo/; git -C repo add .;"
                 "git -C repo -c user.email=p@example.org -c user.name=p commit -qm tree"};
    make.cwd = world;
    const Result made = RunCommand(make);
    ASSERT_EQ(made.exitStatus, 0) << made.err;
    const struct {
        const char *name;
        std::string command;  // writes the archive on standard output, run in `world`
        std::string refusedAsRoot;
    } cases[] = {
        {"git archive (a pax comment)", "git -C repo archive --format=tar HEAD", ""},
        {"an owner above the octal range", "tar -C src --owner=packager:3000000 --group=packager:3000000 -cf - bin sonaris", ""},
        {"bsdtar: an attribute, an ACL for another user, holes", "bsdtar -C src -cf - .",
         "member ./bin/a carries an access control list (SCHILY.acl.access) that grants access to others than its "
         "owner, which tar run as root would restore"},
        {"bsdtar without ACLs: a user attribute, holes", "bsdtar --no-acls -C src -cf - .", ""},
        {"a sparse file, GNU format", "tar -C src --sparse -cf - .", ""},
        {"a sparse file, pax 1.0", "tar -C src --sparse --format=pax -cf - .", ""},
        {"a sparse file, pax 0.1", "tar -C src --sparse --format=pax --sparse-version=0.1 -cf - .", ""},
        {"a sparse file, pax 0.0", "tar -C src --sparse --format=pax --sparse-version=0.0 -cf - .", ""},
        {"star's and libarchive's records", "tar -C src --format=pax --pax-option='SCHILY.release=Linux 6.1,"
                                            "SCHILY.dev:=2049,LIBARCHIVE.creationtime:=1,comment=built' -cf - .", ""},
        {"an attribute only root may set", "tar -C priv --xattrs --xattrs-include='*' -cf - .",
         "member ./t carries the extended attribute trusted.mark, which could grant access or privileges where tar "
         "run as root restores it"},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string archive = world + "/" + std::to_string(n) + ".tar";
        Command pack;
        pack.argv = {"sh", "-ec", c.command + " > " + archive};
        pack.cwd = world;
        ASSERT_EQ(RunCommand(pack).exitStatus, 0);
        const std::string installer = WriteInstaller(world + "/" + std::to_string(n++), Gzip(ReadFile(archive)));
        for (bool root : {true, false}) {
            SCOPED_TRACE(root ? "as root" : "as nobody");
            const std::string dest = installer + (root ? "-root" : "-nobody"), reference = dest + "-tar";
            Command install = SilentCommand(installer, dest, world);
            install.unset.push_back("TAR_OPTIONS");
            install.unprivileged = !root;
            // As root the installer takes no owner or mode from the archive; tar is told the same.
            Command tar = install;
            tar.argv = {"sh", "-ec", "mkdir " + reference + "; cd " + reference + "; tar -xf " + archive +
                                         (root ? " --no-same-owner --no-same-permissions" : "")};
            const Result r = RunCommand(install);
            if (root && !c.refusedAsRoot.empty()) {
                EXPECT_EQ(r.err, messages::OnStderr(messages::Unsupported(installer, c.refusedAsRoot)));
                EXPECT_EQ(TreeListing(dest), "");
                continue;
            }
            EXPECT_EQ(r.exitStatus, 0) << r.err;
            ASSERT_EQ(RunCommand(tar).exitStatus, 0);
            EXPECT_EQ(TreeListing(dest), TreeListing(reference));
            struct stat mine, tars;
            ASSERT_EQ(stat((dest + "/sonaris").c_str(), &mine) | stat((reference + "/sonaris").c_str(), &tars), 0);
            EXPECT_EQ(mine.st_uid, tars.st_uid);
        }
    }
}

}  // namespace
