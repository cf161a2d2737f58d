// The packer's progress line: on a terminal (a pseudo-terminal here, read through its master) while
// packing and verifying, cleared at the end and before a failure's message; never on anything else,
// and never with --quiet.
#include "tests/fixtures.h"
#include "tests/pack_support.h"
#include "tools/progressline.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

using namespace fixtures;

namespace {

// The packer's own arguments run on a terminal, with SOURCE_DATE_EPOCH unset and, given a limit,
// files limited to `fileLimit` bytes (SIGXFSZ ignored, so that the write fails instead).
Result OnTerminal(const std::vector<std::string> &argv, unsigned short columns = 80, rlim_t fileLimit = 0) {
    Command c;
    c.argv = argv;
    c.unset = {"SOURCE_DATE_EPOCH"};
    if (fileLimit) {
        c.limits[RLIMIT_FSIZE] = fileLimit;
        c.ignoredSignals = {SIGXFSZ};
    }
    return RunOnTerminal(c, columns);
}

// What stays on the screen: carriage returns go back to the start of the line and overwrite it,
// line feeds start a new one; trailing blanks are dropped and empty lines left out.
std::string Screen(const std::string &bytes) {
    std::vector<std::string> lines(1);
    std::size_t column = 0;
    for (char c : bytes) {
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            lines.emplace_back();
            column = 0;
        } else {
            std::string &line = lines.back();
            if (line.size() <= column) line.resize(column + 1, ' ');
            line[column++] = c;
        }
    }
    std::string screen;
    for (std::string &line : lines) {
        line.erase(line.find_last_not_of(' ') + 1);
        if (!line.empty()) screen += line + "\n";
    }
    return screen;
}

// The progress lines drawn: each text between two carriage returns (other text ends in a line feed).
std::vector<std::string> Draws(const std::string &bytes) {
    std::vector<std::string> draws;
    for (std::size_t at = bytes.find('\r'); at != std::string::npos;) {
        const std::size_t end = bytes.find_first_of("\r\n", at + 1);
        if (end == std::string::npos) break;
        if (bytes[end] == '\r') {
            std::string text = bytes.substr(at + 1, end - at - 1);
            text.erase(text.find_last_not_of(' ') + 1);
            if (!text.empty()) draws.push_back(text);
        }
        at = bytes.find('\r', end);
    }
    return draws;
}

class Progress : public ::testing::Test {
protected:
    TempDir tmp;
    std::string app = tmp / "app";
    std::string installer = tmp / "installer";

    void SetUp() override {
        CopyDemoApp(app);
        WriteFile(app + "/noise", RandomBytes(4 << 20));
    }
};

// Whether `line` reads "LABEL: DONE of TOTAL UNIT, P%, RATE/s, TIME left", as FormatProgress
// (tested below) writes it.
bool IsProgressLine(const std::string &line, const std::string &label) {
    if (line.rfind(label + ": ", 0) != 0) return false;
    double done, total;
    char unit[4], rate[16], left[16];
    unsigned percent;
    char end;
    const int n = std::sscanf(line.c_str() + label.size() + 2, "%lf of %lf %3[kMGB], %u%%, %15[^,], %15s left%c",
                              &done, &total, unit, &percent, rate, left, &end);
    return n == 6 && done <= total && percent <= 100 && std::string(rate).find("B/s") != std::string::npos;
}

// What packing `output` from the test's tree leaves on a terminal: the default image's warning, if
// any, then "OUTPUT: SIZE MB, N members, x86-64, glibc V or later".
std::string PackedScreen(const std::string &output, const std::string &tree) {
    struct stat st;
    if (stat(output.c_str(), &st) != 0 || st.st_size < 1000000 || st.st_size >= 1000000000) return "no output";
    char size[32];
    std::snprintf(size, sizeof size, "%.1f MB", static_cast<double>(st.st_size) / 1e6);
    const std::string listing = TreeListing(tree);
    const std::string glibc = NeededGlibc(PackerDefaultImage());
    return GlibcWarning(PackerDefaultImage(), output) + output + ": " + size + ", " +
           std::to_string(std::count(listing.begin(), listing.end(), '\n')) + " members, x86-64, " +
           (glibc.empty() ? "static" : "glibc " + glibc + " or later") + "\n";
}

TEST_F(Progress, ShowsOnATerminalWhilePackingAndVerifyingAndIsClearedAtTheEnd) {
    const std::string packer = PackerPath();
    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::vector<std::string> labels;  // in the order they appear
        std::string screen;               // what is left once the program has ended, or how it begins
        std::string packed;               // the installer file made, which the screen sums up
        unsigned short columns = 80;
    } cases[] = {
        {"packing", {packer, "--jobs", "2", app, installer}, {"packing"}, "", installer},
        {"verifying", {packer, "--verify", installer}, {"verifying"}, installer + ": sound: ", ""},
        {"a narrow terminal", {packer, app, tmp / "narrow"}, {"packing"}, "", tmp / "narrow", 30},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Result t = OnTerminal(c.args, c.columns);
        EXPECT_EQ(t.exitStatus, 0) << t.out;
        const std::string screen = Screen(t.out);
        if (!c.packed.empty()) {
            EXPECT_EQ(screen, PackedScreen(c.packed, app));
        } else {
            EXPECT_EQ(screen.substr(0, c.screen.size()), c.screen) << screen;
        }

        const std::vector<std::string> draws = Draws(t.out);
        ASSERT_FALSE(draws.empty()) << t.out;
        std::size_t label = 0;
        for (const std::string &d : draws) {
            // A line as wide as the terminal would wrap, and could not be redrawn in place.
            EXPECT_LT(d.size(), c.columns) << d;
            if (c.columns < 80) continue;
            while (label < c.labels.size() && d.rfind(c.labels[label] + ": ", 0) != 0) ++label;
            ASSERT_LT(label, c.labels.size()) << d << " out of order";
            EXPECT_TRUE(IsProgressLine(d, c.labels[label])) << d;
        }
        EXPECT_EQ(label, c.labels.size() - 1) << "the last label never showed";
    }
}

TEST_F(Progress, IsClearedBeforeTheMessageOfAFailure) {
    ASSERT_EQ(OnTerminal({PackerPath(), app, installer}).exitStatus, 0);
    std::string damaged = ReadFile(installer);
    damaged[damaged.size() - 100000] ^= 1;
    WriteFile(tmp / "damaged", damaged);
    // The disk fills a megabyte into the payload, behind the image the packer puts in front.
    const std::string image = ReadFile(PackerDefaultImage());
    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::string screen;
        rlim_t fileLimit = 0;
    } cases[] = {
        {"packing onto a full disk", {PackerPath(), app, tmp / "full"},
         "sonaris-pack: " + tmp / "full" + ": cannot write: File too large\n", image.size() + (1 << 20)},
        {"verifying a damaged payload", {PackerPath(), "--verify", tmp / "damaged"},
         "sonaris-pack: " + tmp / "damaged" + ": the payload fails its CRC-32 check: the data is damaged\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Result t = OnTerminal(c.args, 80, c.fileLimit);
        EXPECT_EQ(t.exitStatus, 1);
        EXPECT_FALSE(Draws(t.out).empty()) << "no progress was shown before the failure";
        EXPECT_EQ(Screen(t.out), c.screen) << t.out;
    }
}

TEST_F(Progress, NeverShowsWithQuietOrWhenStandardErrorIsNoTerminal) {
    ASSERT_EQ(OnTerminal({PackerPath(), "--quiet", app, installer}).exitStatus, 0);
    for (const std::vector<std::string> &args : {std::vector<std::string>{"--quiet", app, tmp / "quiet"},
                                                 std::vector<std::string>{"--quiet", "--verify", installer}}) {
        std::vector<std::string> argv = {PackerPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        const Result t = OnTerminal(argv);
        EXPECT_EQ(t.exitStatus, 0);
        EXPECT_EQ(t.out.find('\r'), std::string::npos) << t.out;
        EXPECT_EQ(t.out.find("packing"), std::string::npos) << t.out;
        EXPECT_EQ(t.out.find(" members, "), std::string::npos) << t.out;
    }
    // Standard error a pipe; standard output the same pipe or another.
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{app, tmp / "piped"}, std::vector<std::string>{"--verify", installer}}) {
        Command c;
        c.argv = {PackerPath()};
        c.argv.insert(c.argv.end(), args.begin(), args.end());
        const Result r = RunCommand(c);
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(r.err, args[0] == app ? GlibcWarning(PackerDefaultImage(), args[1]) : "");
        EXPECT_EQ(r.out.find('\r'), std::string::npos);
    }
}

TEST(ProgressText, TellsDoneOfTotalPercentRateAndTimeLeft) {
    struct Case {
        const char *label;
        std::uint64_t done, total;
        double seconds;
        const char *expected;
    } cases[] = {
        {"packing", 0, 823400000, 0, "packing: 0.0 of 823.4 MB, 0%, -- B/s, --:-- left"},
        {"packing", 1000000, 823400000, 0.2, "packing: 1.0 of 823.4 MB, 0%, -- B/s, --:-- left"},
        {"packing", 412500000, 823400000, 6.5, "packing: 412.5 of 823.4 MB, 50%, 63.5 MB/s, 0:07 left"},
        {"packing", 823400000, 823400000, 13, "packing: 823.4 of 823.4 MB, 100%, 63.3 MB/s, 0:00 left"},
        {"verifying", 500, 1000, 1, "verifying: 0.5 of 1.0 kB, 50%, 500 B/s, 0:01 left"},
        {"verifying", 999, 1000, 1, "verifying: 1.0 of 1.0 kB, 99%, 999 B/s, 0:01 left"},
        {"packing", 0, 0, 1, "packing: 0 of 0 B, 100%, -- B/s, --:-- left"},
        {"packing", 1000000000, 10000000000, 1000, "packing: 1.0 of 10.0 GB, 10%, 1.0 MB/s, 2:30:00 left"},
        {"packing", 10, 700, 2, "packing: 10 of 700 B, 1%, 5 B/s, 2:18 left"},
    };
    for (const auto &c : cases) EXPECT_EQ(FormatProgress(c.label, c.done, c.total, c.seconds), c.expected);
}

}  // namespace
