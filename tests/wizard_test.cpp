// The real installer program in its window, on the harness's X server.
#include <gtest/gtest.h>

#include "tests/fixtures.h"
#include "tests/wizard_support.h"

#include <X11/Xutil.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>

using namespace fixtures;
using namespace wizard;
using namespace xwindows;

namespace {

class WizardTest : public InstallerRuns {
protected:
    // An installer file for a small tree with the tests' launcher; `size` bytes of noise make it larger.
    std::string MakeInstaller(std::size_t size = 0, const std::string &launcher = MarkerLauncher()) {
        SmallApp app;
        app.noise = size;
        app.launcher = launcher;
        return fixtures::MakeInstaller(tmp / "tree", tmp / "installer", app);
    }

    // What the one run of the launcher recorded; nothing while it has not finished its record.
    std::map<std::string, std::string> Marker() {
        const auto runs = Launches(marker);
        EXPECT_LE(runs.size(), 1u) << "the launcher ran more than once";
        return runs.empty() ? std::map<std::string, std::string>{} : runs.back();
    }
};

TEST_F(WizardTest, OpensTheFixedWindowWithTitleAndDecorations) {
    Installer installer(Interactive());
    const Window w = installer.MainWindow();
    ASSERT_NE(w, 0u);
    const Geometry g = WindowGeometry(w);
    EXPECT_EQ(g.width, 489);
    EXPECT_EQ(g.height, 350);
    // Flags, functions, decorations, input mode, status: a border, a title bar, the window menu and
    // the minimise button; no resize handles, no maximise button.
    const std::vector<long> hints = LongProperty(w, "_MOTIF_WM_HINTS");
    ASSERT_GE(hints.size(), 3u);
    EXPECT_TRUE(hints[0] & 2);
    EXPECT_EQ(hints[2], 58);
    // For window managers that read only the size hints: minimum and maximum are the window's size.
    const std::vector<long> size = LongProperty(w, "WM_NORMAL_HINTS");
    ASSERT_GE(size.size(), 9u);
    EXPECT_EQ(size[0] & (PMinSize | PMaxSize), PMinSize | PMaxSize);
    EXPECT_EQ(std::vector<long>(size.begin() + 5, size.begin() + 9), (std::vector<long>{489, 350, 489, 350}));
}

TEST_F(WizardTest, ToolkitOptionsAndResourceFilesApply) {
    const std::string display = XServer::Shared().display();
    WriteFile(tmp / "SonarisInstaller", "SonarisInstaller.title: From the defaults file\n");
    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        const char *title;
        bool fallbackSize;
    } cases[] = {
        {"-display names the server", {"-display", display}, {{"DISPLAY", ":4711"}}, "Sonaris 8 Installer", true},
        {"-xrm overrides one line", {"-xrm", "SonarisInstaller.title: Another title"}, {}, "Another title", true},
        // An application-defaults file for the class replaces the whole fallback list.
        {"defaults file", {}, {{"XFILESEARCHPATH", tmp / "%N"}}, "From the defaults file", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Command command = Interactive(InstallerPath(), c.args);
        for (const auto &[k, v] : c.env) command.env[k] = v;
        Installer installer(command);
        const Window w = WaitForWindow(c.title);
        ASSERT_NE(w, 0u);
        const Geometry g = WindowGeometry(w);
        EXPECT_EQ(g.width == 489 && g.height == 350, c.fallbackSize);
    }
}

}  // namespace

namespace {

TEST_F(WizardTest, KeysMoveBetweenTheFirstTwoPages) {
    Installer installer(Interactive());
    const Window w = installer.MainWindow();
    ASSERT_NE(w, 0u);
    EXPECT_EQ(ShownPages(w), "1");
    // Each key, and the page it leads to ("": it stays). Page 1 opens with the focus on "Accept >":
    // the space bar presses it; A on page 2 moves the focus to Finish, B on page 1 does nothing.
    const std::pair<const char *, std::string> keys[] = {{"space", "2"}, {"b", "1"}, {"Return", "2"}, {"a", ""},
                                                         {"b", "1"},     {"b", ""},  {"a", "2"}};
    for (const auto &k : keys) {
        SCOPED_TRACE(k.first);
        Key(k.first);
        if (k.second.empty()) continue;
        EXPECT_TRUE(Eventually([&] { return ShownPages(w) == k.second; }));
    }
    Key("c");
    EXPECT_EQ(installer.Wait(), 0);
}

TEST_F(WizardTest, CancelQuitsAtOnceOnEveryPage) {
    const std::string installer = MakeInstaller(4 << 20);
    for (const char *page : {"1", "2", "3"}) {
        SCOPED_TRACE(page);
        Command c = Interactive(installer);
        c.unprivileged = true;  // F installs into the first proposal: the home one
        SlowPipeline(c);
        Installer running(c);
        const Window w = running.MainWindow();
        ASSERT_NE(w, 0u);
        if (std::string(page) == "2") Key("a");
        if (std::string(page) == "3") Key("f");
        ASSERT_TRUE(Eventually([&] { return ShownPages(w).find(page) != std::string::npos; }));
        Key("c");
        EXPECT_EQ(running.Wait(10), 0);
        EXPECT_FALSE(Exists(marker));
    }
}

TEST_F(WizardTest, FOnPageOneInstallsIntoTheFirstProposalAndHandsOver) {
    Command c = Interactive(MakeInstaller());
    c.unprivileged = true;  // /usr/local is not writable: the home directory comes first
    c.env["LAUNCHER_LINGER"] = "5";
    Installer installer(c);
    ASSERT_TRUE(installer.Press("f"));
    ASSERT_TRUE(Eventually([&] { return Marker().count("files"); }));
    auto launched = Marker();
    EXPECT_EQ(launched["argv0"], home + "/Sonaris8//sonaris");
    EXPECT_EQ(launched["args"], "inst");
    // The extraction ignored SIGPIPE for a while; the launcher gets it back at its default.
    EXPECT_EQ(std::stoull(launched["SigIgn"], nullptr, 16) & (1ull << (SIGPIPE - 1)), 0u);
    EXPECT_EQ(launched["files"], "2");
    EXPECT_EQ(ReadFile(home + "/.Corvalent_MedioraSDK_60"), "Bandwidth=10485800\nMaxBandwidth=10485800\n");
    // The window goes with the exec, while the launcher still runs in the installer's process.
    EXPECT_TRUE(WaitForWindowGone("Sonaris 8 Installer", std::chrono::seconds(3)));
    EXPECT_TRUE(installer.Running());
    EXPECT_EQ(installer.Wait(), kLauncherStatus);  // the launcher's own status
}

TEST_F(WizardTest, LettersTypeIntoTheDestinationFieldAndFinishInstallsThere) {
    const std::string dest = tmp / "fab cab";
    Installer installer(Interactive(MakeInstaller()));
    ASSERT_TRUE(installer.TypeDestination(dest));
    const Window w = installer.MainWindow();
    Key("Return");  // the field takes it: no page change, no installation
    const Window field = WindowAt(w, kFieldX, kFieldY);
    ASSERT_TRUE(Handled(field));
    EXPECT_EQ(ShownPages(w), "2");
    EXPECT_FALSE(Exists(dest));
    ClickFinish(w);
    ASSERT_TRUE(Eventually([&] { return Marker().count("files"); }));
    EXPECT_EQ(Marker()["argv0"], dest + "//sonaris");
    EXPECT_EQ(Marker()["args"], "inst");
    // Root writes nothing into a HOME that is nobody's.
    EXPECT_FALSE(Exists(home + "/.Corvalent_MedioraSDK_60"));
    EXPECT_EQ(installer.Wait(), kLauncherStatus);
}

TEST_F(WizardTest, NoSecondInstallationStartsWhileTheFirstRuns) {
    Command c = Interactive(MakeInstaller(4 << 20));
    c.unprivileged = true;
    SlowPipeline(c);
    Installer installer(c);
    ASSERT_TRUE(installer.Press("f"));
    const Window w = installer.MainWindow();
    ASSERT_TRUE(Eventually([&] { return ShownPages(w) == "13"; }));
    for (const char *key : {"f", "Return", "a", "b", "f", "Return"}) Key(key);
    // The label "Installing..." (62 x 18) is drawn again behind the keys.
    const Window label = FindBySize(w, 62, 18);
    ASSERT_NE(label, 0u);
    ASSERT_TRUE(Handled(label));
    EXPECT_EQ(ShownPages(w), "13");  // A and B do nothing while it installs
    EXPECT_EQ(installer.Wait(60), kLauncherStatus);
    EXPECT_EQ(ReadFile(tmp / "gunzip-starts"), "started\n");
    EXPECT_EQ(Marker()["files"], "3");
}

// The payload length an installer file's trailer gives.
long long PayloadLength(const std::string &installer) {
    return static_cast<long long>(PayloadOf(ReadFile(installer)).size());
}

// The filled width of the progress bar (353 x 30 pixels at 123,31 in the window), in a row the
// percentage never reaches.
int BarFilled(Window shell) {
    const std::vector<unsigned long> row = Pixels(shell, 123, 33, 353, 1);
    return row.empty() ? -1 : static_cast<int>(std::count(row.begin(), row.end(), 0x3131ceul));
}

TEST_F(WizardTest, ASlowPipelineLeavesTheWindowAliveWithTheBarAtWhatItHasTaken) {
    // gunzip takes the payload at about 1 MiB/s.
    Command c = Interactive(MakeInstaller(4 << 20));
    c.unprivileged = true;
    const std::string taken = tmp / "taken";
    SlowPipeline(c, 62, taken);
    const double perPixel = static_cast<double>(PayloadLength(c.argv[0])) / 353;
    auto Taken = [&] { return Exists(taken) ? std::strtoll(ReadFile(taken).c_str(), nullptr, 10) : 0; };
    Installer installer(c);
    ASSERT_TRUE(installer.Press("f"));
    const Window w = installer.MainWindow();
    ASSERT_TRUE(Eventually([&] { return Taken() > 0 && BarFilled(w) > 0; }));
    // The bar is what gunzip has read, to within one of its reads (64 KiB), an 8192-byte block and
    // a pixel: never the megabyte or two that the pipe and the stream buffers could hold. It may
    // never run ahead of gunzip; behind it, only until the installer's next turn, which a loaded
    // machine may delay.
    for (int i = 0; i < 15; ++i) {
        long long before = 0;
        int filled = 0;
        const bool caughtUp = Eventually(
            [&] {
                before = Taken();
                filled = BarFilled(w);
                const long long after = Taken();
                // A read that has returned may not be in the file yet: slowcat writes its count after it.
                EXPECT_LE((filled - 1) * perPixel, after + 65536 + 8192)
                    << "gunzip had read " << after << ", the bar shows " << filled;
                return (filled + 1) * perPixel >= before - 65536 - 8192;
            },
            std::chrono::seconds(2));
        EXPECT_TRUE(caughtUp) << "gunzip had read " << before << ", the bar shows " << filled;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_LT(Taken() + (1 << 20), PayloadLength(c.argv[0])) << "the copy ended before the pipe was full";
    // An exposure is answered: the label "Installing..." (62 x 18), cleared, is drawn again.
    const Window label = FindBySize(w, 62, 18);
    ASSERT_NE(label, 0u);
    const int text = DarkPixels(label);
    ASSERT_GT(text, 0);
    XClearArea(TestDisplay(), label, 0, 0, 0, 0, True);
    XSync(TestDisplay(), False);
    EXPECT_TRUE(Eventually([&] { return DarkPixels(label) == text; }, std::chrono::milliseconds(500)));
    // C ends it at once, though the pipeline takes nothing for a while: the copy never waits on a
    // full pipe longer than a turn, so the window is never kept from its keys.
    const auto pressed = std::chrono::steady_clock::now();
    Key("c");
    EXPECT_EQ(installer.Wait(10), 0);
    const auto latency = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - pressed);
    EXPECT_LT(latency.count(), 500);
}

TEST_F(WizardTest, FailedInstallationsLeaveTheDialogOverTheirPage) {
    Command c = Interactive(MakeInstaller(0, "#!/nonexistent/interpreter\n"));  // a launcher that cannot be executed
    struct Case {
        const char *name;
        std::string destination;
        const char *pages;
    } cases[] = {
        {"a refused destination", tmp / "missing/dest", "2"},
        {"a launcher that cannot run", tmp / "dest", "3"},
    };
    for (const auto &cs : cases) {
        SCOPED_TRACE(cs.name);
        Installer installer(c);
        ASSERT_TRUE(installer.TypeDestination(cs.destination, true));
        const Window w = installer.MainWindow();
        EXPECT_NE(WaitForWindow("Error"), 0u);
        EXPECT_EQ(ShownPages(w), cs.pages);
        EXPECT_TRUE(installer.Running());
        EXPECT_FALSE(Exists(marker));
        if (std::string(cs.pages) == "3") {
            // The bar stays full, in its fill colour, with "100%" in white.
            int white = 0;
            for (int x = 122; x < 470; ++x)
                for (int y = 32; y < 58; ++y) white += Pixel(w, x, y) == 0xffffff;
            EXPECT_EQ(Pixel(w, 125, 40), 0x3131ceu);
            EXPECT_EQ(Pixel(w, 465, 55), 0x3131ceu);
            EXPECT_GT(white, 20);
        }
    }
}

// HOMEs longer than the toolkit's own buffer, each installer image, root and nobody, each a fresh
// process: the window comes up and stays, proposes HOME/Sonaris8 (first for nobody, after
// /usr/local/Sonaris8 for root), installs there, writes the settings file into HOME and hands the
// launcher that HOME. One past the proposals' 4,096 bytes still brings the window up.
TEST_F(WizardTest, ALongHomeIsProposedUsedAndHandedOn) {
    std::vector<std::string> images = {InstallerPath()};
#ifndef SONARIS_DYNAMIC_IMAGE  // a sanitized build makes no portable images
    images.push_back(PortableImage());
    ASSERT_TRUE(Exists(images.back())) << "make portable";
#endif
    const std::string tree = tmp / "tree";
    MakeApp(tree);
    const std::string packed = PackTree(tree);
    // A directory whose path has exactly `length` bytes, made a component at a time.
    const auto longDirectory = [&](const std::string &under, std::size_t length) {
        std::string path = under;
        while (path.size() < length) {
            const std::size_t left = length - path.size() - 1;
            path += "/" + std::string(left > 200 && left < 203 ? 100 : std::min<std::size_t>(left, 200), 'h');
            mkdir(path.c_str(), 0755);
        }
        return path;
    };
    int n = 0;
    for (const std::string &image : images) {
        const std::string installer = tmp / ("installer" + std::to_string(n));
        WriteFile(installer, ReadFile(image) + packed + "\n" + std::to_string(packed.size()) + "\n", 0755);
        for (const std::size_t length : {1100, 4000, 5000}) {
            for (const bool root : {true, false}) {
                SCOPED_TRACE(image + ", HOME of " + std::to_string(length) + " bytes, " + (root ? "root" : "nobody"));
                const std::string under = tmp / std::to_string(n++);
                MakeDir(under, 0755);
                const std::string longHome = length > 4096 ? under + "/" + std::string(length - under.size() - 1, 'h')
                                                           : longDirectory(under, length);
                if (!root) chown(longHome.c_str(), kNobody, kNobody);
                Command c = Interactive(installer);
                c.env["HOME"] = longHome;
                c.unprivileged = !root;
                Installer running(c);
                const Window w = running.MainWindow();
                ASSERT_NE(w, 0u);
                ASSERT_TRUE(running.Press("a"));
                ASSERT_TRUE(Eventually([&] { return ShownPages(w) == "2"; }));
                if (length > 4096) {  // no home proposal; the window stays until it is cancelled
                    EXPECT_TRUE(Handled(WindowAt(w, kFieldX, kFieldY)));
                    ASSERT_TRUE(running.Press("c"));
                    EXPECT_EQ(running.Wait(), 0);
                    continue;
                }
                if (root) {
                    ASSERT_TRUE(ChooseProposal(w, 2));
                }
                ClickFinish(w);
                EXPECT_EQ(running.Wait(), kLauncherStatus);
                const auto runs = Launches(marker);
                unlink(marker.c_str());
                ASSERT_EQ(runs.size(), 1u);
                EXPECT_EQ(runs[0].at("argv0"), longHome + "/Sonaris8//sonaris");
                EXPECT_EQ(runs[0].at("home"), longHome);
                EXPECT_EQ(ReadFile(longHome + "/.Corvalent_MedioraSDK_60"),
                          "Bandwidth=10485800\nMaxBandwidth=10485800\n");
            }
        }
    }
}

}  // namespace
