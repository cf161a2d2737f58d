// The packer end to end: the real sonaris-pack, the real installer with gunzip and tar, archives
// written by the system's tar and gzip or built header by header (tar_support.h).
#include "tools/error.h"
#include "tests/fixtures.h"
#include "tests/pack_support.h"
#include "tests/tar_support.h"
#include "tools/pack.h"
#include "tools/payloadwriter.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace fixtures;
using namespace tarfile;

namespace {

std::string Shell(const std::string &script, const std::vector<std::string> &args = {}) {
    Command c;
    c.argv = {"/bin/sh", "-c", script, "sh"};
    c.argv.insert(c.argv.end(), args.begin(), args.end());
    const Result r = RunCommand(c);
    if (r.exitStatus != 0) throw std::runtime_error(script + " failed: " + r.err);
    return r.out;
}

const TarMember kLauncher = Launcher("#!/bin/sh\n");

// The programs of a processor as --list and --verify name them ("an x86-64 Linux program"), this
// machine's, and the other processor the packer has images for.
std::string Program(const std::string &arch) {
    return std::string("an ") + (arch == "aarch64" ? "arm64" : "x86-64") + " Linux program";
}
std::string HostProgram() { return Program(HostArch()); }
std::string OtherArch() { return HostArch() == "aarch64" ? "x86_64" : "aarch64"; }

// --list's first line for an installer file with `image`, one of this machine's installer images.
std::string ImageLineOf(const std::string &image) {
    const std::string glibc = NeededGlibc(image);
    return "image: " + HostArch() + ", " + HostProgram() + ", " +
           (glibc.empty() ? "static" : "glibc " + glibc + " or later") + "\n";
}

class Packer : public ::testing::Test {
protected:
    TempDir tmp;
    std::string app = tmp / "app";
    int serial = 0;

    std::string Fresh(const std::string &stem) { return tmp / (stem + std::to_string(serial++)); }

    Result RunPacker(const std::vector<std::string> &args, const std::map<std::string, std::string> &env = {},
                     bool unprivileged = false) {
        Command c;
        c.argv = {PackerPath()};
        if (unprivileged) {
            // The packer and, beside it, its default image, where nobody can reach them.
            const std::string bin = tmp / "bin";
            mkdir(bin.c_str(), 0755);
            c.argv[0] = CopyProgram(PackerPath(), bin);
            CopyProgram(InstallerPath(), bin);
        }
        c.argv.insert(c.argv.end(), args.begin(), args.end());
        c.env = env;
        if (!env.count("SOURCE_DATE_EPOCH")) c.unset = {"SOURCE_DATE_EPOCH"};
        c.unprivileged = unprivileged;
        return RunCommand(c);
    }

    // Packs `source` and checks that it went without a word but warnings; returns the installer's path.
    std::string PackOk(const std::string &source, const std::map<std::string, std::string> &env = {}) {
        const std::string out = Fresh("installer");
        const Result r = RunPacker({source, out}, env);
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(GlibcWarning(PackerDefaultImage(), out)), std::string::npos) << r.err;
        for (std::size_t at = 0; at < r.err.size(); at = r.err.find('\n', at) + 1)
            EXPECT_EQ(r.err.compare(at, 23, "sonaris-pack: warning: "), 0) << r.err;
        return out;
    }

    // Installs silently into a new directory; returns it.
    std::string Install(const std::string &installer) {
        const std::string dest = Fresh("dest");
        Command c;
        c.argv = {installer, "-s", dest};
        c.env = {{"HOME", tmp.path()}};
        c.unset = {"DISPLAY"};
        c.umask = 022;
        const Result r = RunCommand(c);
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        return dest;
    }

    // A tree with what trips packers up: empty and private directories, odd and long names,
    // names that sort around "/", empty and incompressible files.
    void MakeRichTree(const std::string &dir) {
        CopyDemoApp(dir);
        mkdir((dir + "/empty").c_str(), 0755);
        mkdir((dir + "/private").c_str(), 0700);
        WriteFile(dir + "/private/key", "secret", 0600);
        mkdir((dir + "/readonly").c_str(), 0755);
        WriteFile(dir + "/readonly/fixed", "fixed", 0444);
        chmod((dir + "/readonly").c_str(), 0555);
        WriteFile(dir + "/name with spaces \xc3\xbcnicode", "u", 0644);
        mkdir((dir + "/deep").c_str(), 0755);
        WriteFile(dir + "/deep/" + std::string(150, 'n'), "long", 0644);
        WriteFile(dir + "/a-b", "dash", 0644);
        mkdir((dir + "/a.d").c_str(), 0755);  // its contents come before a/'s
        WriteFile(dir + "/a.d/c", "dot", 0644);
        mkdir((dir + "/a").c_str(), 0755);
        WriteFile(dir + "/a/b", "slash", 0644);
        WriteFile(dir + "/.hidden", "h", 0640);
        WriteFile(dir + "/zero", "", 0644);
        WriteFile(dir + "/noise.bin", RandomBytes(300000), 0644);
    }
};

TEST_F(Packer, PackedInstallersInstallTheSourceTree) {
    MakeRichTree(app);
    const std::string demo = tmp / "demo";
    CopyDemoApp(demo);
    const std::string linked = tmp / "linked";
    CopyDemoApp(linked);
    Shell("ln \"$1/share/doc/README\" \"$1/README\"", {linked});
    const std::string launcherLink = tmp / "launcher-link";
    CopyDemoApp(launcherLink);
    Shell("cd \"$1\" && rm sonaris && ln -s bin/sonaris-player sonaris", {launcherLink});

    struct Case {
        const char *name;
        std::string source;
        std::string tree;  // what the installation must look like
    } cases[] = {
        {"a directory", app, app},
        {"the system tar's gzip'd tar of a directory", tmp / "rich.tgz", app},
        {"a tar that leaves its directories implicit, in any order", tmp / "files.tgz", demo},
        {"a tar with a hard link", tmp / "linked.tgz", linked},
        {"a tar in two gzip members, as gunzip accepts", tmp / "two.tgz", demo},
        {"a launcher that is a link into the tree", launcherLink, launcherLink},
        {"the system tar's gzip'd tar of it", tmp / "launcher-link.tgz", launcherLink},
    };
    const std::string tar = Shell("tar -cf - -C \"$1\" .", {demo});
    WriteFile(tmp / "two.tgz", Gzip(tar.substr(0, 5000)) + Gzip(tar.substr(5000)));
    Shell("tar -czf \"$1\" -C \"$2\" .", {tmp / "rich.tgz", app});
    Shell("cd \"$2\" && tar --no-recursion -czf \"$1\" sonaris share/doc/README bin/sonaris-player "
          "share/sonaris/skins/midnight.skin share/sonaris/skins/classic.skin",
          {tmp / "files.tgz", demo});
    Shell("tar -czf \"$1\" -C \"$2\" .", {tmp / "linked.tgz", linked});
    Shell("tar -czf \"$1\" -C \"$2\" .", {tmp / "launcher-link.tgz", launcherLink});

    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string installer = PackOk(c.source);
        const Result verified = RunPacker({"--verify", installer});
        EXPECT_EQ(verified.exitStatus, 0) << verified.err;
        EXPECT_EQ(verified.err.find("launcher"), std::string::npos) << verified.err;
        const std::string listed = RunPacker({"--list", installer}).out;  // the launcher last, as it is
        EXPECT_NE(listed.find(" ./sonaris", listed.rfind('\n', listed.size() - 2)), std::string::npos) << listed;
        struct stat st;
        ASSERT_EQ(stat(installer.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
        const std::string image = ReadFile(PackerDefaultImage());
        EXPECT_EQ(ReadFile(installer).substr(0, image.size()), image);
        EXPECT_EQ(TreeListing(Install(installer)), TreeListing(c.tree));
    }
}

TEST_F(Packer, RepacksAreByteIdentical) {
    const std::map<std::string, std::string> epoch = {{"SOURCE_DATE_EPOCH", "1000000000"}};
    MakeRichTree(app);
    const std::string first = ReadFile(PackOk(app, epoch));

    // Newer times are clamped; another copy of the tree lists its directories in another order.
    Shell("find \"$1\" -exec touch {} +", {app});
    EXPECT_EQ(ReadFile(PackOk(app, epoch)), first);
    Shell("cp -R --preserve=mode \"$1\" \"$2\"", {app, tmp / "copy"});
    EXPECT_EQ(ReadFile(PackOk(tmp / "copy", epoch)), first);
    // However many threads compress it.
    for (const char *jobs : {"1", "2", "3"}) {
        SCOPED_TRACE(std::string(jobs) + " threads");
        const std::string out = Fresh("installer");
        const Result r = RunPacker({"--jobs", jobs, app, out}, epoch);
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_TRUE(ReadFile(out) == first);
    }
    // The payload itself, packed again as a gzip'd tar.
    const std::string payload = PayloadOf(first);
    WriteFile(tmp / "payload.tgz", payload);
    EXPECT_EQ(ReadFile(PackOk(tmp / "payload.tgz", epoch)), first);

    // What makes it so: no name or time in the gzip header, whole records, owners 0/0 without names.
    EXPECT_EQ(payload[3], 0) << "gzip flags";
    EXPECT_EQ(payload.substr(4, 4), std::string(4, '\0')) << "gzip time";
    EXPECT_EQ(std::stoul(Shell("gunzip -c \"$1\" | wc -c", {tmp / "payload.tgz"})) % 10240, 0u);
    const std::string listing = Shell("tar -tvzf \"$1\"", {tmp / "payload.tgz"});
    std::size_t lines = 0;
    for (std::size_t at = 0; at < listing.size(); at = listing.find('\n', at) + 1, ++lines) {
        const std::string line = listing.substr(at, listing.find('\n', at) - at);
        EXPECT_NE(line.find(" 0/0 "), std::string::npos) << line;
        EXPECT_NE(line.find(" 2001-09-09 "), std::string::npos) << line;
    }
    // Every member but the top directory, which stays the user's.
    const std::string tree = TreeListing(app);
    EXPECT_EQ(lines, static_cast<std::size_t>(std::count(tree.begin(), tree.end(), '\n')));
}

// The payload's tar is what libarchive's GNU tar writer makes of the same members, byte for byte:
// names and links on either side of the 100 bytes a header holds, every type, times out of range.
TEST_F(Packer, PayloadTarIsLibarchivesGnuTar) {
    const auto member = [](MemberType type, const std::string &name, std::string link = "", std::int64_t mtime = 1) {
        Member m;
        m.type = type;
        m.name = name;
        m.link = std::move(link);
        m.mtime = mtime;
        m.permissions = type == MemberType::Symlink ? 0777 : type == MemberType::Directory ? 0750 : 0604;
        return m;
    };
    const std::string longFile(110, 'y');
    const std::vector<std::pair<Member, std::string>> members = {
        {member(MemberType::Directory, "bin"), ""},
        {member(MemberType::File, "bin/x", "", 1234567890), "data\n"},
        {member(MemberType::File, std::string(98, 'a')), "a"},  // "./" and 98: the field exactly
        {member(MemberType::File, std::string(99, 'b')), std::string(513, 'b')},
        {member(MemberType::Directory, std::string(97, 'c')), ""},  // with its "/", exactly
        {member(MemberType::Directory, std::string(98, 'd')), ""},
        {member(MemberType::Symlink, "l", std::string(100, 't')), ""},
        {member(MemberType::Symlink, "m", std::string(101, 'u')), ""},
        {member(MemberType::Symlink, std::string(120, 's'), std::string(130, 'k')), ""},
        {member(MemberType::File, longFile), RandomBytes(10240 + 1)},
        {member(MemberType::HardLink, std::string(120, 'h'), "bin/x"), ""},
        {member(MemberType::HardLink, std::string(120, 'z'), longFile), ""},
        {member(MemberType::File, "before-1970", "", -5), ""},
        {member(MemberType::File, "after-octal", "", std::int64_t{1} << 33), "late"},
    };

    const std::string path = tmp / "payload.gz";
    {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        PayloadWriter writer(fd, UINT32_MAX, path, app, 2);
        for (auto [m, content] : members) {
            m.size = content.size();
            writer.Add(m);
            if (m.type != MemberType::File) continue;
            writer.Content(content.data(), content.size());
            writer.EndFile();
        }
        writer.Finish();
        close(fd);
    }

    std::string expected;
    struct archive *a = archive_write_new();
    archive_write_set_format_gnutar(a);
    archive_write_set_bytes_per_block(a, 10240);
    archive_write_set_bytes_in_last_block(a, 10240);
    const auto append = [](struct archive *, void *out, const void *data, size_t n) -> la_ssize_t {
        static_cast<std::string *>(out)->append(static_cast<const char *>(data), n);
        return static_cast<la_ssize_t>(n);
    };
    ASSERT_EQ(archive_write_open2(a, &expected, nullptr, append, nullptr, nullptr), ARCHIVE_OK);
    for (const auto &[m, content] : members) {
        struct archive_entry *e = archive_entry_new();
        archive_entry_set_pathname(e, ArchiveName(m.name, m.type == MemberType::Directory).c_str());
        archive_entry_set_filetype(e, m.type == MemberType::Directory ? AE_IFDIR
                                      : m.type == MemberType::Symlink ? AE_IFLNK
                                                                      : AE_IFREG);
        if (m.type == MemberType::Symlink) archive_entry_set_symlink(e, m.link.c_str());
        if (m.type == MemberType::HardLink) archive_entry_set_hardlink(e, ArchiveName(m.link, false).c_str());
        archive_entry_set_perm(e, m.permissions);
        archive_entry_set_size(e, static_cast<la_int64_t>(content.size()));
        archive_entry_set_mtime(e, m.mtime, 0);
        ASSERT_EQ(archive_write_header(a, e), ARCHIVE_OK) << archive_error_string(a);
        archive_write_data(a, content.data(), content.size());
        archive_entry_free(e);
    }
    archive_write_close(a);
    archive_write_free(a);

    const std::string tar = Gunzipped(ReadFile(path));
    const auto differs = std::mismatch(tar.begin(), tar.end(), expected.begin(), expected.end());
    EXPECT_TRUE(tar == expected) << "first difference at byte " << differs.first - tar.begin() << " of " << tar.size()
                                 << " against " << expected.size();
}

TEST_F(Packer, MemberTimesAreKeptUnlessLaterThanSourceDateEpoch) {
    CopyDemoApp(app);
    const struct utimbuf times = {1234567890, 1234567890};
    utime((app + "/share/doc/README").c_str(), &times);
    struct Case {
        const char *epoch;
        time_t expected;
    } cases[] = {{nullptr, 1234567890}, {"1500000000", 1234567890}, {"1000000000", 1000000000}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.epoch ? c.epoch : "unset");
        std::map<std::string, std::string> env;
        if (c.epoch) env["SOURCE_DATE_EPOCH"] = c.epoch;
        struct stat st;
        ASSERT_EQ(stat((Install(PackOk(app, env)) + "/share/doc/README").c_str(), &st), 0);
        EXPECT_EQ(st.st_mtime, c.expected);
    }
}

TEST_F(Packer, RefusesNamingTheOffendingPathAndLeavesOutputAlone) {
    const std::string image = PackerDefaultImage();
    const std::string out = tmp / "out";
    const std::string open = tmp / "open";  // where an unprivileged packer may write
    struct Case {
        const char *name;
        std::function<bool()> prepare;  // false: cannot be set up here
        std::vector<std::string> args;
        std::string expected;  // standard error after "sonaris-pack: "
        bool unprivileged = false;
        std::map<std::string, std::string> env = {};
    };
    auto tarSource = [&](const std::vector<TarMember> &members) {
        return [&, members] {
            WriteFile(tmp / "src.tgz", Gzip(TarArchive(members)));
            return true;
        };
    };
    auto ok = [] { return true; };
    const std::string folder =
        "; make the archive from inside the tree's folder: tar -C FOLDER -czf " + tmp / "src.tgz .";
    const Case cases[] = {
        {"a symbolic link that leads out", [&] { return symlink("../../etc", (app + "/bin/link").c_str()) == 0; },
         {app, out},
         app + ": member ./bin/link is a symbolic link to ../../etc, which leads out of the installed tree; copy what it "
               "points to into the tree, and link to the copy with a relative target"},
        {"an absolute symbolic link", [&] { return symlink("/usr/bin/env", (app + "/bin/env").c_str()) == 0; },
         {app, out},
         app + ": member ./bin/env is a symbolic link to /usr/bin/env, an absolute path that leads out of the installed "
               "tree; copy what it points to into the tree, and link to the copy with a relative target"},
        {"a launcher that is a link to nothing",
         [&] {
             return unlink((app + "/sonaris").c_str()) == 0 && symlink("bin/sonaris", (app + "/sonaris").c_str()) == 0;
         },
         {app, out},
         app + ": the launcher ./sonaris is a symbolic link to bin/sonaris that leads to nothing in the tree; make it "
               "lead to the program's executable file in the tree, or make the launcher that file, a script that "
               "starts the program, say"},
        {"a launcher that is a link to a file that cannot be run",
         [&] {
             return unlink((app + "/sonaris").c_str()) == 0 &&
                    symlink("share/doc/README", (app + "/sonaris").c_str()) == 0;
         },
         {app, out},
         app + ": the launcher ./sonaris is a symbolic link to share/doc/README that leads to ./share/doc/README, which "
               "is not executable; make it so: chmod +x " + app + "/share/doc/README"},
        {"a fifo", [&] { return mkfifo((app + "/share/pipe").c_str(), 0644) == 0; },
         {app, out},
         app + ": member ./share/pipe is a fifo: only directories, regular files, symbolic links and hard links can be "
               "installed; remove it from the tree"},
        {"a socket",
         [&] {
             struct sockaddr_un address = {};
             address.sun_family = AF_UNIX;
             std::snprintf(address.sun_path, sizeof address.sun_path, "%s/socket", app.c_str());
             const int s = socket(AF_UNIX, SOCK_STREAM, 0);
             const bool bound = bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
             close(s);
             return bound;
         },
         {app, out},
         app + ": member ./socket is a socket: only directories, regular files, symbolic links and hard links can be "
               "installed; remove it from the tree"},
        {"a device", [&] { return mknod((app + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0; },
         {app, out},
         app + ": member ./null is a character device: only directories, regular files, symbolic links and hard links "
               "can be installed; remove it from the tree"},
        {"no launcher", [&] { return unlink((app + "/sonaris").c_str()) == 0; },
         {app, out},
         app + ": the tree holds no launcher ./sonaris; put an executable file named sonaris at its top: the installer "
               "starts it once it has installed the tree"},
        {"a launcher that cannot be run", [&] { return chmod((app + "/sonaris").c_str(), 0645) == 0; },
         {app, out},
         app + ": the launcher ./sonaris is not executable (mode 0645); make it so: chmod +x " + app + "/sonaris"},
        {"a launcher that is a directory",
         [&] { return unlink((app + "/sonaris").c_str()) == 0 && mkdir((app + "/sonaris").c_str(), 0755) == 0; },
         {app, out},
         app + ": the launcher ./sonaris is not a regular file; make it one, a script that starts the program, say"},
        {"an unreadable file",
         [&] {
             WriteFile(app + "/secret", "s", 0600);
             return true;
         },
         {app, open + "/out"}, app + "/secret: cannot read: Permission denied", true},
        {"an unreadable directory", [&] { return mkdir((app + "/closed").c_str(), 0700) == 0; },
         {app, open + "/out"}, app + "/closed: cannot read the directory: Permission denied", true},
        {"a missing source", ok, {tmp / "missing", out}, tmp / "missing: cannot examine: No such file or directory"},
        {"a source that is not a gzip'd tar",
         [&] {
             WriteFile(tmp / "src.tgz", "plain text\n");
             return true;
         },
         {tmp / "src.tgz", out},
         tmp / "src.tgz: is neither a directory nor a gzip'd tar (nor any archive this packer knows by its first "
               "bytes): pack the application's directory, or a gzip'd tar of it (tar -C DIR -czf app.tgz .)"},
        {"a damaged gzip'd tar",
         [&] {
             std::string tgz = Gzip(TarArchive({Dir("./"), File("./noise", RandomBytes(100000), 0644), kLauncher}));
             tgz[tgz.size() / 2] ^= 1;
             WriteFile(tmp / "src.tgz", tgz);
             return true;
         },
         {tmp / "src.tgz", out}, tmp / "src.tgz: the archive fails its CRC-32 check: the data is damaged"},
        {"an absolute name", tarSource({Dir("./"), File("/etc/evil"), kLauncher}),
         {tmp / "src.tgz", out},
         tmp / "src.tgz: member /etc/evil has an absolute name, which would put it outside the destination" + folder},
        {"a \"..\" component", tarSource({Dir("./"), File("bin/../../evil"), kLauncher}),
         {tmp / "src.tgz", out},
         tmp / "src.tgz: member bin/../../evil has a \"..\" part in its name, which could lead outside the destination" +
             folder},
        {"a symbolic link in a tar", tarSource({Dir("./"), Symlink("./link", "/etc"), kLauncher}),
         {tmp / "src.tgz", out},
         tmp / "src.tgz: member ./link is a symbolic link to /etc, an absolute path that leads out of the installed "
               "tree; copy what it points to into the tree, and link to the copy with a relative target"},
        {"a device in a tar", tarSource({Dir("./"), Device("./null", '3', 1, 3), kLauncher}),
         {tmp / "src.tgz", out},
         tmp / "src.tgz: member ./null is a character device: only directories, regular files, symbolic links and hard "
               "links can be installed; remove it from the tree"},
        {"a name twice in a tar", tarSource({Dir("./"), File("./a"), File("a"), kLauncher}),
         {tmp / "src.tgz", out}, tmp / "src.tgz: member a appears twice in the archive; keep one of them"},
        {"a hard link to nothing", tarSource({Dir("./"), HardLink("./b", "./a"), kLauncher}),
         {tmp / "src.tgz", out},
         tmp / "src.tgz: member ./b is a hard link to ./a, which the archive does not hold before it; store the file it "
               "links to ahead of it"},
        {"a tar without launcher", tarSource({Dir("./"), File("./README"), File("./bin/sonaris", "data\n", 0755)}),
         {tmp / "src.tgz", out},
         tmp / "src.tgz: the archive holds no launcher ./sonaris; put an executable file named sonaris at its top: the "
               "installer starts it once it has installed the tree"},
        {"an output that is the image", ok, {app, image}, image + ": would overwrite the program image " + image},
        {"an output that is the source", tarSource({Dir("./"), kLauncher}),
         {tmp / "src.tgz", tmp / "src.tgz"}, tmp / "src.tgz: would overwrite the source " + tmp / "src.tgz"},
        {"an output inside the source", ok, {app, app + "/share/installer"},
         app + "/share/installer: lies inside the source directory " + app + ", where it would be packed too"},
        {"an output that is a directory", ok, {app, tmp.path()}, tmp.path() + ": is a directory"},
        {"a missing image", ok, {"--image", tmp / "none", app, out},
         tmp / "none: cannot open the program image: No such file or directory"},
        {"a malformed SOURCE_DATE_EPOCH", ok, {app, out}, "SOURCE_DATE_EPOCH: not a number of seconds: 12h",
         false, {{"SOURCE_DATE_EPOCH", "12h"}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(app);
        CopyDemoApp(app);
        RemoveTree(open);
        mkdir(open.c_str(), 0777);
        chmod(open.c_str(), 0777);
        if (!c.prepare()) {
            ASSERT_NE(geteuid(), 0u) << "cannot prepare the case";  // only root may make devices
            continue;
        }
        // Whatever stands at OUTPUT comes through untouched.
        const std::string output = c.args.back();
        const bool directory = output == tmp.path();
        if (!Exists(output)) WriteFile(output, "an earlier installer");
        const std::string earlier = directory ? "" : ReadFile(output);
        const Result r = RunPacker(c.args, c.env, c.unprivileged);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err, "sonaris-pack: " + c.expected + "\n");
        if (!directory) {
            EXPECT_EQ(ReadFile(output), earlier);
        }
        unlink(out.c_str());
    }
}

// Every problem of a tree in one run, each with its fix for the packager, and nothing written;
// what breaks only once the tree is installed as warnings beside an installer that is made.
TEST_F(Packer, ReportsEveryProblemOfATreeAndWarnsOfWhatBreaksLater) {
    const std::string wrap = tmp / "wrap", tgz = tmp / "app.tgz", open = tmp / "open";
    const std::string out = open + "/installer";
    char real[PATH_MAX];
    const auto link = [](const std::string &target, const std::string &at) {
        if (symlink(target.c_str(), at.c_str()) != 0) throw std::runtime_error("cannot link " + at);
    };
    const std::string absolute = ", an absolute path that leads out of the installed tree; ";
    const std::string copy = "copy what it points to into the tree, and link to the copy with a relative target";
    const std::string fifo =
        ": only directories, regular files, symbolic links and hard links can be installed; remove it from the tree";
    std::string many = app + ": 22 problems keep it from being packed:";
    for (int i = 0; i < 20; ++i)
        many += "\n  member ./l" + std::to_string(10 + i) + " is a symbolic link to /usr/bin/env" + absolute + copy;
    many += "\n  and 2 more";
    // Warnings for a tree whose files and links are all sound to pack.
    const auto warned = [&](const std::string &source) {
        const std::string w = "sonaris-pack: warning: " + source + ": member ./";
        const std::string denied = ": other users of the installed tree get \"Permission denied\"; chmod ";
        const std::string nowhere = ", which leads to nothing in the tree: installed, it will point nowhere\n";
        return w + "closed/ is not readable by others (mode 0700)" + denied + "o+rx it if they should read it\n" + w +
               "private.key is not readable by others (mode 0600)" + denied + "o+r it if they should read it\n" + w +
               "bin/sonaris-player has the setuid bit (mode 4755), which packing drops: it is installed with mode 0755\n" +
               w + "shared/ has the setgid bit (mode 2775), which packing drops: it is installed with mode 0775\n" + w +
               "bin/a is a symbolic link to b" + nowhere + w + "bin/b is a symbolic link to nowhere" + nowhere + w +
               "share/gone is a symbolic link to ../missing" + nowhere;
    };
    const auto warnable = [&] {
        WriteFile(app + "/private.key", "k", 0600);
        mkdir((app + "/closed").c_str(), 0700);
        WriteFile(app + "/closed/notes", "n", 0644);
        chmod((app + "/bin/sonaris-player").c_str(), 04755);
        mkdir((app + "/shared").c_str(), 0755);
        chmod((app + "/shared").c_str(), 02775);
        link("b", app + "/bin/a");
        link("nowhere", app + "/bin/b");
        link("../missing", app + "/share/gone");
        link("bin/sonaris-player", app + "/player");
        link("..", app + "/bin/up");
    };
    struct Case {
        const char *name;
        std::function<void()> prepare;
        std::string source;
        std::function<std::string()> err;  // standard error, once prepared
        bool packs = false;
        bool unprivileged = false;
    } cases[] = {
        {"several faults in one tree",
         [&] {
             link(std::string(realpath(app.c_str(), real)) + "/share/doc/README", app + "/bin/readme");
             link("/opt/sonaris/share/doc/README", app + "/bin/installed");
             link("/usr/bin/env", app + "/bin/env");
             link("../../outside", app + "/share/out");
             link("../share/../bin/sonaris-player", app + "/bin/player");
             mkfifo((app + "/share/pipe").c_str(), 0644);
         },
         app,
         [&] {
             return app + ": 6 problems keep it from being packed:\n  member ./bin/env is a symbolic link to /usr/bin/env" +
                    absolute + copy + "\n  member ./bin/installed is a symbolic link to /opt/sonaris/share/doc/README" +
                    absolute + "if it means the tree's own share/doc/README, make it ../share/doc/README (ln -sfn "
                    "../share/doc/README " + app + "/bin/installed); else " + copy +
                    "\n  member ./bin/player is a symbolic link to ../share/../bin/sonaris-player, which goes back up "
                    "with \"..\" after going down; make it sonaris-player (ln -sfn sonaris-player " + app +
                    "/bin/player)\n  member ./bin/readme is a symbolic link to " + real + "/share/doc/README" + absolute +
                    "make it ../share/doc/README (ln -sfn ../share/doc/README " + app +
                    "/bin/readme)\n  member ./share/out is a symbolic link to ../../outside, which leads out of the "
                    "installed tree; " + copy + "\n  member ./share/pipe is a fifo" + fifo;
         }},
        {"more problems than are shown",
         [&] {
             for (int i = 10; i < 32; ++i) link("/usr/bin/env", app + "/l" + std::to_string(i));
         },
         app, [&] { return many; }},
        {"a file the packer cannot read beside a fault", [&] {
             WriteFile(app + "/secret", "s", 0600);
             link("/usr/bin/env", app + "/bin/env");
         },
         app,
         [&] {
             return app + ": 2 problems keep it from being packed:\n  member ./bin/env is a symbolic link to /usr/bin/env" +
                    absolute + copy + "\n  " + app + "/secret: cannot read: Permission denied";
         },
         false, true},
        {"a directory whose only entry is the folder with the launcher", [&] { CopyDemoApp(wrap + "/tree"); }, wrap,
         [&] {
             return wrap + ": the tree holds no launcher ./sonaris, but its only entry, the folder tree, holds one: pack "
                           "that folder instead: sonaris-pack " + wrap + "/tree " + out;
         }},
        {"a tgz of a folder with the launcher",
         [&] {
             CopyDemoApp(wrap + "/tree");
             Shell("tar -czf \"$1\" -C \"$2\" tree", {tgz, wrap});
         },
         tgz,
         [&] {
             return tgz + ": the archive holds no launcher ./sonaris, but its only entry, the folder tree, holds one: "
                          "pack that folder's contents instead: tar -C tree -czf " + tgz + " .";
         }},
        {"a tree that installs, but not as it stands", warnable, app, [&] { return warned(app); }, true},
        {"a tgz of it",
         [&] {
             warnable();
             Shell("tar --sort=name -czf \"$1\" -C \"$2\" .", {tgz, app});
         },
         tgz, [&] { return warned(tgz); }, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(app);
        RemoveTree(wrap);
        RemoveTree(open);
        unlink(tgz.c_str());
        CopyDemoApp(app);
        mkdir(wrap.c_str(), 0755);
        mkdir(open.c_str(), 0777);
        chmod(open.c_str(), 0777);
        c.prepare();
        const Result r = RunPacker({c.source, out}, {}, c.unprivileged);
        EXPECT_EQ(r.exitStatus, c.packs ? 0 : 1);
        EXPECT_EQ(r.err, c.packs ? c.err() + GlibcWarning(PackerDefaultImage(), out) : "sonaris-pack: " + c.err() + "\n");
        EXPECT_EQ(Exists(out), c.packs);
    }
}

TEST_F(Packer, RefusesAPayloadTheTrailerCannotAnnounce) {
    // 2 GiB of incompressible data is too slow for a test: the limit is lowered in process.
    CopyDemoApp(app);
    WriteFile(app + "/noise", RandomBytes(200000));
    PackOptions options;
    options.source = app;
    options.output = tmp / "installer";
    options.image = InstallerPath();
    Pack(options);
    const std::uint64_t length = PayloadOf(ReadFile(options.output)).size();
    unlink(options.output.c_str());

    options.payloadLimit = length;  // the largest payload allowed is packed
    EXPECT_NO_THROW(Pack(options));
    unlink(options.output.c_str());
    options.payloadLimit = length - 1;
    try {
        Pack(options);
        ADD_FAILURE() << "packed a payload over the limit";
    } catch (const PackError &e) {
        EXPECT_EQ(std::string(e.what()), app + ": the payload would exceed " + std::to_string(length - 1) +
                                             " bytes, more than an installer's trailer can announce");
    }
    EXPECT_FALSE(Exists(options.output));
}

TEST_F(Packer, ListShowsModeSizeAndNameWithTheLauncherLast) {
    const std::string imageLine = ImageLineOf(PackerDefaultImage());
    mkdir(app.c_str(), 0755);
    WriteFile(app + "/sonaris", "#!/bin/sh\n", 0755);
    mkdir((app + "/bin").c_str(), 0750);
    WriteFile(app + "/bin/tool", "abc", 0700);
    WriteFile(app + "/bin/back\\slash", "", 0444);
    Result r = RunPacker({"--list", PackOk(app)});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, imageLine + std::string(
              "drwxr-x---            0 ./bin/\n"
              "-r--r--r--            0 ./bin/back\\\\slash\n"
              "-rwx------            3 ./bin/tool\n"
              "-rwxr-xr-x           10 ./sonaris\n"));

    // Links are kept: a symbolic link with its target, every further name of a file as a hard link
    // to its first; the launcher stays a file of its own even where it shares one.
    ASSERT_EQ(symlink("tool", (app + "/bin/alias").c_str()), 0);
    ASSERT_EQ(link((app + "/bin/tool").c_str(), (app + "/bin/tool2").c_str()), 0);
    ASSERT_EQ(link((app + "/bin/tool").c_str(), (app + "/a-tool").c_str()), 0);
    ASSERT_EQ(link((app + "/sonaris").c_str(), (app + "/bin/run").c_str()), 0);
    r = RunPacker({"--list", PackOk(app)});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, imageLine + std::string(
              "-rwx------            3 ./a-tool\n"
              "drwxr-x---            0 ./bin/\n"
              "lrwxrwxrwx            0 ./bin/alias -> tool\n"
              "-r--r--r--            0 ./bin/back\\\\slash\n"
              "-rwxr-xr-x           10 ./bin/run\n"
              "hrwx------            0 ./bin/tool link to ./a-tool\n"
              "hrwx------            0 ./bin/tool2 link to ./a-tool\n"
              "-rwxr-xr-x           10 ./sonaris\n"));

    // Whatever the payload holds is shown, set-id bits and links included.
    const std::string odd = Fresh("odd");
    WriteFile(odd, InstallerBytes(Gzip(TarArchive({Dir("./", 01777), File("./a", "data\n", 04755), HardLink("./b", "./a"),
                                            Symlink("./c", "/etc"), kLauncher}))));
    r = RunPacker({"--list", odd});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, ImageLineOf(InstallerPath()) +
              std::string("drwxrwxrwt            0 ./\n"
              "-rwsr-xr-x            5 ./a\n"
              "hrw-r--r--            0 ./b link to ./a\n"
              "lrwxrwxrwx            0 ./c -> /etc\n"
              "-rwxr-xr-x           10 ./sonaris\n"));

    // The packer itself keeps only the permission bits.
    WriteFile(tmp / "setid.tgz", Gzip(TarArchive({Dir("./", 01777), File("./a", "data\n", 04755), kLauncher})));
    r = RunPacker({"--list", PackOk(tmp / "setid.tgz")});
    EXPECT_EQ(r.out, imageLine + std::string(
              "-rwxr-xr-x            5 ./a\n"
              "-rwxr-xr-x           10 ./sonaris\n"));

    // A damaged payload: the members read before the damage showed, then the fault.
    std::string damaged = Gzip(TarArchive({Dir("./"), File("./noise", RandomBytes(100000), 0644), kLauncher}));
    damaged[damaged.size() / 2] ^= 1;
    WriteFile(odd, InstallerBytes(damaged));
    r = RunPacker({"--list", odd});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out.rfind(ImageLineOf(InstallerPath()) + std::string("drwxr-xr-x            0 ./\n-rw-r--r--       100000 ./noise\n"), 0),
              0u)
        << r.out;
    EXPECT_EQ(r.err, "sonaris-pack: " + odd + ": the payload fails its CRC-32 check: the data is damaged\n");
}

TEST_F(Packer, VerifyPassesSoundInstallersAndNamesWhatIsWrong) {
    CopyDemoApp(app);
    WriteFile(app + "/noise", RandomBytes(100000));
    const std::string packed = ReadFile(PackOk(app));
    const std::string payload = PayloadOf(packed);
    const std::string image = ReadFile(PackerDefaultImage());
    const std::string n = std::to_string(payload.size());
    const std::string tree = TreeListing(app);
    const auto members = std::count(tree.begin(), tree.end(), '\n');

    // Sound: our own, and one made by the system's tar and gzip.
    // tar's holds "./" too.
    for (const auto &sound : {std::make_pair(packed, members), std::make_pair(InstallerBytes(PackTree(app)), members + 1)}) {
        const std::string path = Fresh("sound");
        WriteFile(path, sound.first, 0755);
        const Result r = RunPacker({"--verify", path});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(r.out.rfind(path + ": sound: " + std::to_string(sound.second) + " members in a payload of ", 0), 0u)
            << r.out;
    }

    std::string flipped = packed;
    flipped[image.size() + payload.size() / 2] ^= 0x10;
    std::string badLength = packed;
    badLength[image.size() + payload.size() - 1] ^= 0x01;
    std::string damagedTar = TarArchive({Dir("./"), File("./a"), kLauncher});
    damagedTar[512 + 10] ^= 0x01;  // the second header's name: its checksum no longer fits
    const std::string half = payload.substr(0, payload.size() / 2);

    struct Case {
        const char *name;
        std::string bytes;
        std::string expected;  // what standard error begins with, after the file's name
    } cases[] = {
        {"a flipped byte in the payload", flipped, "the payload fails its CRC-32 check: the data is damaged"},
        {"a wrong length in the gzip trailer", badLength, "the payload fails its length check: the data is damaged"},
        {"a truncated file", packed.substr(0, packed.size() * 2 / 3), ""},
        {"a payload cut short", image + half + "\n" + std::to_string(half.size()) + "\n", "the payload is cut short"},
        {"a trailer one too large", image + payload + "\n" + std::to_string(payload.size() + 1) + "\n",
         "the payload is not gzip data"},
        {"a trailer one too small", image + payload + "\n" + std::to_string(payload.size() - 1) + "\n",
         "the payload is not gzip data"},
        {"a trailer of 0", image + payload + "\n0\n", "its last line gives the length of its archive as 0 or less"},
        {"junk behind the gzip stream", InstallerBytes(payload + "junk!"),
         "the payload's gzip member is followed by bytes that are not gzip data"},
        {"one byte of junk behind the gzip stream", InstallerBytes(payload + "j"),
         "the payload's gzip member is followed by bytes that are not gzip data"},
        {"two gzip members", InstallerBytes(payload + payload), "the payload holds more than one gzip member"},
        {"no tar inside", InstallerBytes(Gzip("just text\n")), "the archive stops in the middle of its first header"},
        {"a damaged tar header", InstallerBytes(Gzip(damagedTar)),
         "member ./a has a damaged header: its checksum does not match"},
        {"no program image", payload + "\n" + n + "\n", "no program image stands in front of the payload"},
    };
    struct Rule {
        const char *name;
        std::vector<TarMember> members;
        std::string expected;
    } rules[] = {
        {"a \"..\" component", {Dir("./"), File("./../escape"), kLauncher},
         "member ./../escape has a \"..\" part in its name, which could lead outside the destination"},
        {"an absolute name", {Dir("./"), File("/etc/evil"), kLauncher},
         "member /etc/evil has an absolute name, which would put it outside the destination"},
        {"an absolute symbolic link", {Dir("./"), Symlink("./link", "/etc/passwd"), kLauncher},
         "member ./link is a symbolic link to /etc/passwd, an absolute path that leads out of the installed tree"},
        {"a symbolic link that climbs out", {Dir("./"), Dir("./a/"), Symlink("./a/b", "../../y"), kLauncher},
         "member ./a/b is a symbolic link to ../../y, which leads out of the installed tree"},
        {"a name under a symbolic link", {Dir("./"), Symlink("./lib", "."), File("./lib/x"), kLauncher},
         "member ./lib/x lies under ./lib, which is a symbolic link"},
        {"a device", {Dir("./"), Device("./null", '3', 1, 3), kLauncher},
         "member ./null is a character device: only directories, regular files, symbolic links and hard links can "
         "be installed"},
        {"a fifo", {Dir("./"), Device("./pipe", '6', 0, 0), kLauncher},
         "member ./pipe is a fifo: only directories, regular files, symbolic links and hard links can be installed"},
        {"a hard link to nothing", {Dir("./"), HardLink("./b", "./a"), kLauncher},
         "member ./b is a hard link to ./a, which the archive does not hold before it"},
        {"a control character in a name", {File("bin/a\nb"), kLauncher},
         "member bin/a\\012b has a control character (a line break, a tab or the like) in its name"},
        {"a pax keyword tar may read otherwise", {PaxHeader({{"SCHILY.fflags", "schg"}}), File("a"), kLauncher},
         "member a carries the extended record SCHILY.fflags, which the installer does not take; repack it without that "
         "record (GNU tar --pax-option=delete=SCHILY.fflags leaves it out)"},
        {"a name twice", {Dir("./"), File("./a"), File("./a"), kLauncher}, "member ./a appears twice in the archive"},
        {"a member under a file", {Dir("./"), File("./f"), File("./f/g"), kLauncher},
         "member ./f/g lies under ./f, which is not a directory"},
        {"no members", {}, "the archive holds nothing to install"},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    for (const auto &c : rules) all.push_back({c.name, InstallerBytes(Gzip(TarArchive(c.members))), c.expected});

    // The packer's habits for the launcher are warnings: the tree installs all the same.
    const struct {
        const char *name;
        std::vector<TarMember> members;
        std::string warning;
    } habits[] = {
        {"no launcher", {File("README")}, "the payload holds no launcher ./sonaris"},
        {"a launcher that cannot be run", {File("./sonaris", "data\n", 0644)},
         "the launcher ./sonaris is not executable (mode 0644)"},
        {"a launcher that is a directory", {File("./x"), Dir("./sonaris/")},
         "the launcher ./sonaris is not a regular file"},
        {"the launcher not last", {kLauncher, File("./zzz")}, "the launcher ./sonaris is not the last member"},
        {"a launcher that is a link into the tree",
         {File("./bin/run", "#!/bin/sh\n", 0755), Symlink("./sonaris", "bin/run")}, ""},
        {"a launcher that is a link to nothing", {Symlink("./sonaris", "bin/run")},
         "the launcher ./sonaris is a symbolic link to bin/run that leads to nothing in the tree: it will not run"},
        {"a launcher that is a link to a directory", {Dir("./bin/"), Symlink("./sonaris", "bin")},
         "the launcher ./sonaris is a symbolic link to bin that leads to ./bin/, a directory: it will not run"},
        {"a launcher that is a link to a file no one may execute",
         {File("./run", "x", 0644), Symlink("./sonaris", "run")},
         "the launcher ./sonaris is a symbolic link to run that leads to ./run, which is not executable: it will not run"},
        {"a launcher only others than its owner may execute", {File("./sonaris", "#!/bin/sh\n", 0611)},
         "the launcher ./sonaris (mode 0611) is a file that only others than its owner may execute: it will run only "
         "when root installs"},
    };
    for (const auto &c : habits) {
        SCOPED_TRACE(c.name);
        const std::string path = Fresh("habit");
        WriteFile(path, InstallerBytes(Gzip(TarArchive(c.members))), 0755);
        const Result r = RunPacker({"--verify", path});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(r.err, c.warning.empty() ? "" : "sonaris-pack: warning: " + path + ": " + c.warning + "\n");
    }

    for (const auto &c : all) {
        SCOPED_TRACE(c.name);
        const std::string path = Fresh("broken");
        WriteFile(path, c.bytes, 0755);
        const Result r = RunPacker({"--verify", path});
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.out, "");
        const std::string prefix = "sonaris-pack: " + path + ": " + c.expected;
        EXPECT_EQ(r.err.rfind(prefix, 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

// The size of the first file that `pid` holds open in `dir`, or -1.
long long OpenFileSizeIn(pid_t pid, const std::string &dir) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(fds.c_str());
    if (!d) return -1;
    long long size = -1;
    while (const struct dirent *e = readdir(d)) {
        char target[4096];
        const std::string link = fds + "/" + e->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        struct stat st;
        if (n > 0 && std::string(target, n).rfind(dir + "/", 0) == 0 && stat(link.c_str(), &st) == 0)
            size = st.st_size;
    }
    closedir(d);
    return size;
}

// A file whose content is not what it was when the tree was walked is named, not packed: files
// of the kernel's, whose size says nothing of what they hold, bound over a file of the tree.
TEST_F(Packer, AFileThatChangedSinceTheWalkIsNamed) {
    if (geteuid() != 0) GTEST_SKIP() << "binding files over the tree takes root";
    CopyDemoApp(app);
    WriteFile(app + "/changing", "");
    const std::string out = tmp / "out";
    // Sizes 0 and 4096, holding some bytes.
    for (const char *over : {"/proc/version", "/sys/devices/system/cpu/online"}) {
        SCOPED_TRACE(over);
        Command c;
        c.argv = {"unshare", "--mount", "sh", "-c", "mount --bind \"$1\" \"$2\" && exec \"$3\" \"$4\" \"$5\"", "sh", over,
                  app + "/changing", PackerPath(), app, out};
        const Result r = RunCommand(c);
        // No mount namespace, or no binding in it, here.
        if (r.err.rfind("unshare: ", 0) == 0 || r.err.rfind("mount: ", 0) == 0) GTEST_SKIP() << r.err;
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err, "sonaris-pack: " + app + "/changing: changed while being packed\n");
        EXPECT_FALSE(Exists(out));
    }
}

TEST_F(Packer, AnInterruptedPackLeavesNoOutput) {
    CopyDemoApp(app);
    WriteFile(app + "/noise", RandomBytes(48 << 20));
    const std::string outDir = tmp / "out";
    mkdir(outDir.c_str(), 0755);
    const std::string output = outDir + "/installer";
    for (int signal : {SIGKILL, SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(signal));
        WriteFile(output, "an earlier installer");
        Command c;
        c.argv = {PackerPath(), app, output};
        const pid_t pid = Spawn(c);
        // Strike once the payload is on its way.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (OpenFileSizeIn(pid, outDir) < (4 << 20) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        kill(pid, signal);
        EXPECT_EQ(WaitFor(pid, 30), -1) << "the pack ended before it was interrupted";
        EXPECT_EQ(ReadFile(output), "an earlier installer");
        EXPECT_EQ(Shell("ls -A \"$1\"", {outDir}), "installer\n");
    }
}

// The installed tree holds an image for each processor built for: this machine's always, the
// other's where `make portable` made it.
TEST_F(Packer, InstalledPackerFindsItsImages) {
    const std::string prefix = tmp / "prefix";
    Command install;
    install.argv = {CMAKE_COMMAND, "--install", BuildDir(), "--prefix", prefix};
    const Result installed = RunCommand(install);
    ASSERT_EQ(installed.exitStatus, 0) << installed.err;
    for (const std::string &file : std::vector<std::string>{"bin/sonaris-pack", "libexec/sonaris/" + HostArch() + "/sonaris-installer",
                                                           "share/man/man1/sonaris-pack.1", "share/man/man1/sonaris-installer.1"})
        EXPECT_TRUE(Exists(prefix + "/" + file)) << file;

    // The installed tree may move as a whole.
    const std::string moved = tmp / "moved";
    ASSERT_EQ(rename(prefix.c_str(), moved.c_str()), 0);
    CopyDemoApp(app);
    const auto pack = [&](const std::string &arch) {
        Command c;
        c.argv = {moved + "/bin/sonaris-pack", app, tmp / "installer"};
        if (!arch.empty()) c.argv.insert(c.argv.begin() + 1, {"--arch", arch});
        return RunCommand(c);
    };
    Result r = pack("");
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    const std::string image = ReadFile(moved + "/libexec/sonaris/" + HostArch() + "/sonaris-installer");
    EXPECT_EQ(ReadFile(tmp / "installer").substr(0, image.size()), image);
    EXPECT_EQ(TreeListing(Install(tmp / "installer")), TreeListing(app));
    if (Exists(PortableImage(OtherArch()))) {
        EXPECT_TRUE(Exists(moved + "/libexec/sonaris/" + OtherArch() + "/sonaris-installer.debug"));
        r = pack(OtherArch());
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        const std::string other = ReadFile(moved + "/libexec/sonaris/" + OtherArch() + "/sonaris-installer");
        EXPECT_EQ(ReadFile(tmp / "installer").substr(0, other.size()), other);
        EXPECT_NE(RunPacker({"--verify", tmp / "installer"}).out.find(": image: " + OtherArch() + ", " +
                                                                       Program(OtherArch()) + ", glibc "),
                  std::string::npos);
    }

    RemoveTree(moved + "/libexec/sonaris");
    for (const std::string arch : {"x86_64", "aarch64"}) {
        r = pack(arch);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err, "sonaris-pack: no program image for " + arch + " at " + moved + "/bin/portable/" + arch +
                             "/sonaris-installer, " + moved + "/bin/sonaris-installer or " + moved +
                             "/bin/../libexec/sonaris/" + arch +
                             "/sonaris-installer: make portable builds it (or give one with --image)\n");
    }
}

// An ELF header of 64 bytes: 64-bit, little-endian, for `abi`, of `type`, for `machine`.
std::string ElfHeader(unsigned char abi, unsigned char type, unsigned char machine, unsigned char elfClass = 2) {
    std::string header(64, '\0');
    header.replace(0, 4, "\x7f" "ELF");
    header[4] = static_cast<char>(elfClass);
    header[5] = 1;
    header[7] = static_cast<char>(abi);
    header[16] = static_cast<char>(type);
    header[18] = static_cast<char>(machine);
    return header;
}

TEST_F(Packer, ListAndVerifyNameTheImagesProcessorGlibcAndWhetherItIsTheInstallers) {
    CopyDemoApp(app);
    const std::string payload = PayloadOf(ReadFile(PackOk(app)));
    const std::string trailer = "\n" + std::to_string(payload.size()) + "\n";
    const auto glibc = [](const std::string &program) { return "glibc " + NeededGlibc(program) + " or later"; };
    const std::string notOurs = " that is not an installer image";
    struct Case {
        const char *name;
        std::string image;
        std::string kind;  // what --list says after "image: "
        std::string what;  // what --verify says the image is, refusing it; empty: it passes
    } cases[] = {
        {"the installer's image", ReadFile(InstallerPath()),
         HostArch() + ", " + HostProgram() + ", " + glibc(InstallerPath()), ""},
        {"another program", ReadFile("/bin/ls"), HostArch() + ", " + HostProgram() + notOurs + ", " + glibc("/bin/ls"),
         HostProgram() + notOurs},
        {"a program quoting the installer's mark", ReadFile(PackerPath()),
         HostArch() + ", " + HostProgram() + notOurs + ", " + glibc(PackerPath()), HostProgram() + notOurs},
        {"x86-64, position-independent", ElfHeader(0, 3, 62), "x86_64, an x86-64 Linux program" + notOurs + ", static",
         "an x86-64 Linux program" + notOurs},
        {"arm64 for GNU/Linux", ElfHeader(3, 2, 183), "aarch64, an arm64 Linux program" + notOurs + ", static",
         "an arm64 Linux program" + notOurs},
        {"a shell script", "#!/bin/sh\nexit 1\n", "not an ELF file", ""},
        {"32-bit ARM", ElfHeader(0, 2, 40, 1), "a 32-bit ELF file", ""},
        {"RISC-V", ElfHeader(0, 2, 243), "an ELF program for another processor (machine 243)", ""},
        {"FreeBSD", ElfHeader(9, 2, 62), "an ELF file for another system than Linux (OS ABI 9)", ""},
        {"an object file", ElfHeader(0, 1, 62), "an ELF file that is not a program (type 1)", ""},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Fresh("installer");
        WriteFile(path, c.image + payload + trailer, 0755);
        const bool runs = c.kind.find("Linux program") != std::string::npos;
        if (!runs) c.what = c.kind + ", not an x86-64 or arm64 Linux program";
        const std::string line = "image: " + (runs ? c.kind : c.what);
        Result r = RunPacker({"--list", path});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), line + "\n");
        r = RunPacker({"--verify", path});
        if (c.what.empty()) {
            EXPECT_EQ(r.exitStatus, 0) << r.err;
            EXPECT_EQ(r.out.substr(r.out.find('\n') + 1), path + ": " + line + "\n");
        } else {
            EXPECT_EQ(r.exitStatus, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, "sonaris-pack: " + path + ": the program image is " + c.what +
                                 ": pack the tree again with the installer's image (leave --image out, or give it "
                                 "a sonaris-installer)\n");
        }
    }
}

TEST_F(Packer, AWrongCommandLineExitsWith2) {
    const std::vector<std::vector<std::string>> wrong = {
        {}, {"only-source"}, {"a", "b", "c"}, {"--frobnicate", "a", "b"}, {"--list"}, {"--list", "a", "b"},
        {"--list", "--verify", "a"}, {"--image"}, {"--image", "img", "--list", "a"},
        {"--jobs"}, {"--jobs", "0", "a", "b"}, {"--jobs=", "a", "b"}, {"--jobs", "-2", "a", "b"},
        {"--jobs", "two", "a", "b"}, {"--jobs", "2x", "a", "b"}, {"--jobs", "1025", "a", "b"},
        {"--jobs", "99999999999999999999", "a", "b"}, {"--jobs", "2", "--verify", "a"},
        {"--arch"}, {"--arch", "sparc64", "a", "b"}, {"--arch=", "a", "b"}, {"--arch", "x86_64", "--list", "a"},
        {"--arch", "aarch64", "--image", "img", "a", "b"},
    };
    for (const auto &args : wrong) {
        const Result r = RunPacker(args);
        EXPECT_EQ(r.exitStatus, 2);
        EXPECT_NE(r.err.find("Try 'sonaris-pack --help'"), std::string::npos) << r.err;
    }
}

// ---- what a packager is told of a source or an image that will not do ----

// A source file is named by its first bytes, not its name, with a way to a gzip'd tar that works:
// the command in the message, run as it stands, gives what packs into the same tree.
TEST_F(Packer, ASourceThatIsNoGzipdTarIsNamedWithTheWayToOne) {
    CopyDemoApp(app);
    const std::string from = tmp / "from";
    mkdir(from.c_str(), 0755);
    struct Case {
        const char *name;
        std::string make;      // a shell command in `from`, given the tree as $1
        std::string source;    // in `from`
        std::string message;   // after "sonaris-pack: SOURCE: is "
        std::string made;      // what the advised command makes in `from`, to be packed
    } cases[] = {
        {"an xz'd tar", "tar -cJf app.tar.xz -C \"$1\" .", "app.tar.xz",
         "xz data (a .tar.xz, say), not a gzip'd tar: convert it (xz -dc $S | gzip > app.tgz) and pack that, or pack "
         "the directory instead",
         "app.tgz"},
        {"a plain tar", "tar -cf app.tar -C \"$1\" .", "app.tar",
         "a tar archive that is not compressed, not a gzip'd tar: compress it (gzip -c $S > app.tgz) and pack that, "
         "or pack the directory instead",
         "app.tgz"},
        {"a zip", "(cd \"$1\" && zip -qry - .) > 'my app.zip'", "my app.zip",
         "a zip archive, not a gzip'd tar: unpack it (unzip '$S' -d 'my app') and pack the directory", "my app"},
        {"a bzip2'd tar named like a gzip'd one", "tar -cjf build.tgz -C \"$1\" .", "build.tgz",
         "bzip2 data (a .tar.bz2, say), not a gzip'd tar: convert it (bzip2 -dc $S | gzip > build-gzip.tgz) and pack "
         "that, or pack the directory instead",
         "build-gzip.tgz"},
        {"a zstd'd tar", "tar --zstd -cf app.tar.zst -C \"$1\" .", "app.tar.zst",
         "zstd data (a .tar.zst, say), not a gzip'd tar: convert it (zstd -dc $S | gzip > app.tgz) and pack that, or "
         "pack the directory instead",
         "app.tgz"},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        Command make;
        make.argv = {"/bin/sh", "-c", c.make, "sh", app};
        make.cwd = from;
        ASSERT_EQ(RunCommand(make).exitStatus, 0);
        const std::string source = from + "/" + c.source;
        const std::size_t at = c.message.find("$S");
        c.message.replace(at, 2, source);
        const Result r = RunPacker({source, tmp / "out"});
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err, "sonaris-pack: " + source + ": is " + c.message + "\n");

        const std::size_t open = r.err.find(" it (") + 5;
        Command advised;
        advised.argv = {"/bin/sh", "-c", r.err.substr(open, r.err.find(") and pack") - open)};
        advised.cwd = from;
        const Result converted = RunCommand(advised);
        ASSERT_EQ(converted.exitStatus, 0) << converted.err;
        EXPECT_EQ(TreeListing(Install(PackOk(from + "/" + c.made))), TreeListing(app));
        RemoveTree(from);
        mkdir(from.c_str(), 0755);
    }
}

// Packing still succeeds; what will go wrong later is said on standard error.
TEST_F(Packer, PackingWarnsOfAnImageThatWillNotInstallOrNotRunOnOlderSystems) {
    CopyDemoApp(app);
    const std::string out = tmp / "out";
    const std::string notOurs = "sonaris-pack: warning: /bin/ls is " + HostProgram() + " that is not an installer "
                                "image, so " + out + " will not install anything: leave --image out, or give it a "
                                "sonaris-installer\n";
    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::string warnings;
    } cases[] = {
        {"the default image", {app, out}, GlibcWarning(PackerDefaultImage(), out)},
        {"the host's image", {"--image", InstallerPath(), app, out}, GlibcWarning(InstallerPath(), out)},
        {"a program that is not the installer", {"--image", "/bin/ls", app, out},
         notOurs + GlibcWarning("/bin/ls", out)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Result r = RunPacker(c.args);
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.warnings);
        EXPECT_TRUE(Exists(out));
    }
    // Built on Debian 12 (glibc 2.36), the host's image needs at least the 2.34 of its start-up
    // code: it does not start on RHEL 8 (2.28) or Debian 11 (2.31), and does on Debian 12.
    const std::string excluded = SystemsBefore(NeededGlibc(InstallerPath()));
    EXPECT_TRUE(std::regex_search(excluded, std::regex("RHEL 7(,| and) 8"))) << excluded;
    EXPECT_TRUE(std::regex_search(excluded, std::regex("Debian 10 and 11(,|$)"))) << excluded;
}

}  // namespace
