// Silent installation end to end: the real installer binary, real gunzip and tar, temporary trees.
#include "tests/fixtures.h"
#include "tests/messages.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>

using namespace fixtures;
using namespace messages;

namespace {

class SilentInstall : public ::testing::Test {
protected:
    TempDir tmp;
    std::string app = tmp / "app";
    std::string home = tmp / "home";

    void SetUp() override {
        CopyDemoApp(app);
        mkdir(home.c_str(), 0755);
    }

    std::string DemoInstaller() { return WriteInstaller(tmp / "installer", PackTree(app)); }

    Command Silent(const std::string &installer, const std::string &destination) {
        Command c = SilentCommand(installer, destination, home);
        c.env["SONARIS_DEMO_MARKER"] = tmp / "launcher-ran";
        return c;
    }
};

TEST_F(SilentInstall, InstallsTheTreeQuietlyWithoutDisplayLauncherOrSettings) {
    const std::string installer = DemoInstaller();
    struct Variant {
        const char *name;
        std::function<void(Command &)> adjust;
    } variants[] = {
        {"no DISPLAY", [](Command &) {}},
        {"an unreachable DISPLAY", [](Command &c) { c.env["DISPLAY"] = ":4711"; }},
        {"HOME unset", [](Command &c) { c.unset.push_back("HOME"); }},
    };
    int n = 0;
    for (const auto &v : variants) {
        SCOPED_TRACE(v.name);
        const std::string dest = tmp / ("dest" + std::to_string(n++));
        Command c = Silent(installer, dest);
        v.adjust(c);
        const Result r = RunCommand(c);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(TreeListing(dest), TreeListing(app));
        EXPECT_FALSE(Exists(tmp / "launcher-ran"));
        EXPECT_FALSE(Exists(home + "/.Corvalent_MedioraSDK_60"));
    }
}

TEST_F(SilentInstall, OtherCommandLinesOpenTheWindowInstead) {
    const std::string installer = DemoInstaller();
    const std::string dest = tmp / "dest";
    const std::string unset = "No display for the installer's window (DISPLAY is not set)";
    const auto named = [](const std::string &display) {
        return "Cannot open the display \"" + display + "\" for the installer's window";
    };
    const struct {
        std::vector<std::string> args;
        std::string display;  // DISPLAY, "" for unset
        std::string says;     // before "; to install without it: INSTALLER -s DIRECTORY"
    } forms[] = {
        {{"-s"}, "", unset},
        {{"-s", dest, "extra"}, "", unset},
        {{"-sx", dest}, "", unset},
        {{"-S", dest}, "", unset},
        {{"--s", dest}, "", unset},
        {{"-", dest}, "", unset},
        {{"-s" + dest}, "", unset},
        {{"-display", ":4712"}, ":4711", named(":4712")},
        // The toolkit takes any unique start of an option's name, and an option's value as a value.
        {{"-disp", ":4712"}, ":4711", named(":4712")},
        {{"-d", ":4712"}, "", named(":4712")},
        {{"-xrm", "-display", "-name", "-display"}, ":4711", named(":4711")},
    };
    for (const auto &f : forms) {
        Command c = Silent(installer, dest);
        c.argv.resize(1);
        c.argv.insert(c.argv.end(), f.args.begin(), f.args.end());
        if (!f.display.empty()) c.env["DISPLAY"] = f.display;
        const Result r = RunCommand(c);
        SCOPED_TRACE(c.argv[1]);
        // Without a display the toolkit cannot start; nothing is installed.
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err, f.says + "; to install without it: " + installer + " -s DIRECTORY\n");
        EXPECT_FALSE(Exists(dest));
    }
}

TEST_F(SilentInstall, ReportsEachRefusedCheckWordForWordAndFails) {
    const std::string installer = DemoInstaller();
    mkdir((tmp / "elsewhere").c_str(), 0755);
    struct Case {
        const char *name;
        std::function<void(Command &)> prepare;
        std::string expected;  // standard error, every byte; or its first line, with `then`
        std::function<void()> check;
        std::vector<std::string> then = {};  // words of the line after it: why, the way out
    } cases[] = {
        {"empty destination", [&](Command &c) { c.argv[2] = ""; },
         OnStderr(kNoDestination), [] {}},
        {"installer started by a bare name from elsewhere",
         [&](Command &c) {
             c.program = installer;
             c.argv[0] = "sonaris-setup";
             c.cwd = tmp / "elsewhere";
         },
         "unable to find location of executable sonaris-setup to self-extract.  Please run \n"
         "sonaris-setup with an absolute path (e.g. ./sonaris-setup)\n\n",
         [&] { EXPECT_FALSE(Exists(tmp / "dest")); }},
        {"installer file not readable",
         [&](Command &c) {
             chmod(installer.c_str(), 0311);
             c.unprivileged = true;
             chmod(tmp.path().c_str(), 0777);
         },
         OnStderr(Unreadable(installer)),
         [&] {
             chmod(installer.c_str(), 0755);
             chmod(tmp.path().c_str(), 0755);
         }},
        {"parent of the destination missing", [&](Command &c) { c.argv[2] = tmp / "missing/dest"; },
         CannotMake(tmp / "missing/dest"), [&] { EXPECT_FALSE(Exists(tmp / "missing")); },
         {tmp / "missing does not exist"}},
        {"a % in the path is data",
         [&](Command &c) { c.argv[2] = tmp / "%s%n%d/dest"; },
         CannotMake(tmp / "%s%n%d/dest"), [] {}, {tmp / "%s%n%d does not exist"}},
        {"new destination not writable",
         [&](Command &c) {
             MakeDir(tmp / "open", 0777);
             c.argv[2] = tmp / "open/dest";
             c.unprivileged = true;
             c.umask = 0277;  // the new directory comes out read-only
         },
         CannotWrite(tmp / "open/dest"),
         [&] {
             EXPECT_TRUE(Exists(tmp / "open/dest"));  // made, and left
             EXPECT_FALSE(Exists(tmp / "open/dest/test"));
         },
         {"mode 0500", "umask (0277)", "a umask such as 022"}},
        {"existing destination not writable",
         [&](Command &c) {
             mkdir((tmp / "ro").c_str(), 0555);
             c.argv[2] = tmp / "ro";
             c.unprivileged = true;
         },
         kDestinationNotWritable, [] {}, {"You may not write in " + tmp / "ro"}},
        {"existing destination is a file",
         [&](Command &c) {
             WriteFile(tmp / "file", "keep me");
             c.argv[2] = tmp / "file";
         },
         OnStderr(NotADirectory(tmp / "file")),
         [&] { EXPECT_EQ(ReadFile(tmp / "file"), "keep me"); }},
        {"existing destination cannot be entered",
         [&](Command &c) {
             mkdir((tmp / "closed").c_str(), 0600);
             chown((tmp / "closed").c_str(), kNobody, kNobody);
             chown((tmp / "elsewhere").c_str(), kNobody, kNobody);
             c.argv[2] = tmp / "closed";
             c.cwd = tmp / "elsewhere";
             c.unprivileged = true;
         },
         OnStderr(CannotEnter(tmp / "closed")),
         [&] { EXPECT_EQ(TreeListing(tmp / "elsewhere"), ""); }},
        // Found only once the extraction begins, and named as typed all the same.
        {"a relative destination that cannot be entered",
         [&](Command &c) {
             MakeDir(tmp / "elsewhere/ns", 0600);
             chown((tmp / "elsewhere/ns").c_str(), kNobody, kNobody);
             c.argv[2] = "ns";
             c.cwd = tmp / "elsewhere";
             c.unprivileged = true;
         },
         OnStderr(CannotEnter("ns")), [] {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Command command = Silent(installer, tmp / "dest");
        c.prepare(command);
        const Result r = RunCommand(command);
        if (c.then.empty())
            EXPECT_EQ(r.err, c.expected);
        else
            EXPECT_TRUE(TwoLines(r.err, c.expected, c.then));
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.exitStatus, 1);
        c.check();
    }
}

TEST_F(SilentInstall, DamagedPayloadIsReportedAndFails) {
    const std::string payload = DemoPayloadWithNoise(tmp / "tree");
    // Stored data of over a megabyte, flipped in its middle: only gunzip's check at the end finds
    // it, after tar has been given all of it, the launcher too.
    MakeApp(tmp / "large", SmallApp{3 << 20});
    const std::string large = PackTree(tmp / "large");
    const std::string sound = WriteInstaller(tmp / "sound", large);

    std::string flipped = payload, flippedLarge = large;
    flipped[payload.size() / 2] ^= 0x20;
    flippedLarge[large.size() / 2] ^= 0x20;
    const std::string truncated = payload.substr(0, payload.size() / 2);
    // Broken right after the header, and far longer than a pipe holds: the pipeline stops reading early.
    std::string broken = payload.substr(0, 10) + RandomBytes(4 << 20, 2);

    struct Case {
        const char *name;
        std::string payload;
        const char *written;    // a file tar was given before the damage was found; null for none
        bool over = false;      // installed over a sound installation of `large`
        bool launcher = false;  // the launcher stands afterwards: the earlier one, which tar did not reach
    } cases[] = {{"a flipped byte in stored data", flipped, "noise.bin"},
                 {"a flipped byte, over an earlier installation", flippedLarge, "lib/noise.bin", true},
                 {"cut short inside a large payload, over an earlier installation", large.substr(0, large.size() / 2),
                  "lib/noise.bin", true, true},
                 {"a truncated gzip stream", truncated, nullptr},
                 {"a stream broken near its start", broken, nullptr}};
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string installer = WriteInstaller(tmp / ("damaged" + std::to_string(n)), c.payload);
        const std::string dest = tmp / ("dest" + std::to_string(n++));
        if (c.over) {
            ASSERT_EQ(RunCommand(Silent(sound, dest)).exitStatus, 0);
        }
        const Result r = RunCommand(Silent(installer, dest));
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.out, "");
        // gunzip speaks first; our report, that the file is damaged, is the last thing said.
        EXPECT_TRUE(EndsWith(r.err, OnStderr(Damaged(installer, kCorruptPayload, c.written ? dest : ""))))
            << r.err;
        // What tar wrote stays, but not a launcher it wrote: nothing takes the tree for a whole installation.
        EXPECT_EQ(c.written != nullptr, Exists(dest + "/" + (c.written ? c.written : "noise.bin")));
        EXPECT_EQ(c.launcher, Exists(dest + "/sonaris"));
        EXPECT_FALSE(Exists(tmp / "launcher-ran"));
    }
}

TEST_F(SilentInstall, MalformedTrailerExtractsNothing) {
    const std::string payload = PackTree(app);
    const std::string size = std::to_string(payload.size());
    struct Case {
        const char *name;
        std::string bytes;  // empty: the bare program image
    } cases[] = {
        {"only the program image", ""},
        {"no newline near the end", ProgramImage() + payload + std::string(9000, 'x')},
        {"no digits", ProgramImage() + payload + "\n \n"},
        {"junk beside the digits", ProgramImage() + payload + "\n" + size + "kB\n"},
        {"a length of 0", ProgramImage() + payload + "\n0\n"},
        {"a negative length", ProgramImage() + payload + "\n-" + size + "\n"},
        {"a length of 2^31", ProgramImage() + payload + "\n2147483648\n"},
        {"more than stands in front",
         ProgramImage() + payload + "\n" + std::to_string(ProgramImage().size() + payload.size() + 1) + "\n"},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string installer = c.bytes.empty() ? InstallerPath() : tmp / ("bad" + std::to_string(n));
        if (!c.bytes.empty()) WriteFile(installer, c.bytes, 0755);
        const std::string dest = tmp / ("dest" + std::to_string(n++));
        mkdir(dest.c_str(), 0755);
        const Result r = RunCommand(Silent(installer, dest));
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err.rfind("The installer file " + installer + " is damaged or incomplete: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(TreeListing(dest), "");
    }
}

TEST_F(SilentInstall, TrailerVariantsLocateThePayload) {
    const std::string payload = PackTree(app);
    const std::string size = std::to_string(payload.size());
    // A payload of exactly 3 blocks: the last read brings only the trailer.
    const std::string blocks = PadGzipHeader(payload, 3 * 8192);
    struct Case {
        const char *name;
        std::string bytes;
    } cases[] = {
        {"blanks around the digits", InstallerBytes(payload, "\n " + size + " \n")},
        {"any final byte", InstallerBytes(payload, "\n" + size + "Z")},
        {"a length that is a multiple of 8192", InstallerBytes(blocks)},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string installer = tmp / ("variant" + std::to_string(n));
        WriteFile(installer, c.bytes, 0755);
        const std::string dest = tmp / ("dest" + std::to_string(n++));
        const Result r = RunCommand(Silent(installer, dest));
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(TreeListing(dest), TreeListing(app));
    }
}

TEST_F(SilentInstall, DestinationIsTakenLiterallyNeverRunByTheShell) {
    const std::string installer = DemoInstaller();
    mkdir((tmp / "cwd").c_str(), 0755);
    const std::string name = "a b%s%n'q\"$(touch PWNED)`touch PWNED`;touch PWNED&|*?";
    Command c = Silent(installer, tmp / name);
    c.cwd = tmp / "cwd";
    const Result r = RunCommand(c);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(TreeListing(tmp / name), TreeListing(app));
    EXPECT_FALSE(Exists(tmp / "cwd/PWNED"));
    EXPECT_FALSE(Exists(tmp / name + "/PWNED"));
    EXPECT_FALSE(Exists(tmp / "PWNED"));
}

TEST_F(SilentInstall, TarOptionsFromTheEnvironmentCannotSteerTheExtraction) {
    const std::string installer = DemoInstaller();
    mkdir((tmp / "elsewhere").c_str(), 0755);
    Command c = Silent(installer, tmp / "dest");
    c.env["TAR_OPTIONS"] = "-C " + tmp / "elsewhere";
    const Result r = RunCommand(c);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(TreeListing(tmp / "dest"), TreeListing(app));
    EXPECT_EQ(TreeListing(tmp / "elsewhere"), "");
}

TEST_F(SilentInstall, RelativeDestinationIsCheckedAsTypedAndInstalledInPlace) {
    const std::string installer = DemoInstaller();
    mkdir((tmp / "work").c_str(), 0755);
    mkdir((tmp / "work/opt").c_str(), 0755);

    Command c = Silent(installer, "opt/Sonaris8");
    c.cwd = tmp / "work";
    Result r = RunCommand(c);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(TreeListing(tmp / "work/opt/Sonaris8"), TreeListing(app));

    c.argv[2] = "missing/Sonaris8";
    r = RunCommand(c);
    EXPECT_TRUE(TwoLines(r.err, CannotMake("missing/Sonaris8"), {"directory missing does not exist"}));
    EXPECT_EQ(r.exitStatus, 1);
}

}  // namespace

namespace {

// Payloads as packagers make them with the system's tars, in every form those write: each installs
// quietly, and the tree is the packager's.
TEST_F(SilentInstall, PayloadsOfTheSystemsTarsInstallAsTheyAre) {
    // Long names (a POSIX prefix, a GNU long name), a name outside ASCII, links of both kinds.
    const std::string deep = "share/" + std::string(70, 'd');
    mkdir((app + "/" + deep).c_str(), 0755);
    WriteFile(app + "/" + deep + "/" + std::string(90, 'f'), "long\n");
    WriteFile(app + "/share/caf\xc3\xa9", "non-ASCII\n");
    ASSERT_EQ(symlink("caf\xc3\xa9", (app + "/share/link").c_str()), 0);
    ASSERT_EQ(link((app + "/share/caf\xc3\xa9").c_str(), (app + "/share/hard").c_str()), 0);
    const struct {
        const char *name;
        const char *command;  // run in the tree, writes the payload
        std::function<void(const std::string &tree)> change;
    } cases[] = {
        {"GNU tar's default", "tar -czf - .", nullptr},
        {"--format=gnu", "tar --format=gnu -czf - .", nullptr},
        {"--format=ustar", "tar --format=ustar -czf - .", nullptr},
        {"--format=posix", "tar --format=posix -czf - .", nullptr},
        {"names without \"./\"", "tar -czf - *", nullptr},
        {"bsdtar", "bsdtar -czf - .", nullptr},
        {"bsdtar, names without \"./\"", "bsdtar -czf - *", nullptr},
        {"the launcher first", "tar --no-recursion -czf - sonaris $(find . -mindepth 1 ! -name sonaris)", nullptr},
        {"no launcher", "tar -czf - .", [](const std::string &t) { unlink((t + "/sonaris").c_str()); }},
        {"a launcher of mode 0644", "tar -czf - .", [](const std::string &t) { chmod((t + "/sonaris").c_str(), 0644); }},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tree = tmp / ("tree" + std::to_string(n));
        ASSERT_EQ(RunArgs({"cp", "-a", app, tree}).exitStatus, 0);
        if (c.change) c.change(tree);
        Command pack;
        pack.argv = {"/bin/sh", "-c", std::string("cd \"$1\" && ") + c.command, "sh", tree};
        // In a UTF-8 locale, as a packager works: bsdtar marks names it cannot read as UTF-8 with
        // a pax hdrcharset record, which GNU tar warns that it ignores.
        pack.env = {{"LC_ALL", "C.UTF-8"}};
        const Result packed = RunCommand(pack);
        ASSERT_EQ(packed.exitStatus, 0) << packed.err;
        const std::string installer = WriteInstaller(tmp / ("installer" + std::to_string(n)), packed.out);
        const std::string dest = tmp / ("dest" + std::to_string(n++));
        const Result r = RunCommand(Silent(installer, dest));
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.err + r.out, "");
        EXPECT_EQ(TreeListing(dest), TreeListing(tree));
    }
}

// A directory shared through its group, or open to all, and owned by someone else: the packer's
// payload leaves the directory itself alone, so nobody installs there.
TEST_F(SilentInstall, APackedTreeInstallsIntoADirectoryTheUserMayWriteButDoesNotOwn) {
    ASSERT_EQ(RunArgs({PackerPath(), "--quiet", app, tmp / "packed"}).exitStatus, 0);
    mkdir((tmp / "bin").c_str(), 0755);
    const std::string installer = CopyProgram(tmp / "packed", tmp / "bin");
    for (const mode_t mode : {02775, 0777}) {
        SCOPED_TRACE(mode);
        const std::string dest = tmp / ("shared" + std::to_string(mode));
        mkdir(dest.c_str(), 0700);
        ASSERT_EQ(chown(dest.c_str(), 0, kNobody), 0);
        chmod(dest.c_str(), mode);
        Command c = Silent(installer, dest);
        c.unprivileged = true;
        const Result r = RunCommand(c);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.err, "");
        // Directories made in a set-group-ID one inherit its bit, as the system makes them.
        std::string listing = TreeListing(dest);
        for (std::size_t at; (at = listing.find(" d 2755")) != std::string::npos;) listing.replace(at, 7, " d 0755");
        EXPECT_EQ(listing, TreeListing(app));
        struct stat st;
        ASSERT_EQ(stat(dest.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_mode & 07777, mode);
    }
}

}  // namespace
