// The window in the user's character type: which locales it takes, what the destination field shows,
// and that typed and pasted destinations install at exactly the UTF-8 bytes shown.
#include <gtest/gtest.h>

#include "combobox/DtComboBox.h"
#include "tests/fixtures.h"
#include "installer/installer.h"
#include "tests/messages.h"
#include "tests/window_support.h"
#include "tests/wizard_support.h"
#include "tests/xtoolkit.h"

#include <X11/Xatom.h>
#include <X11/keysym.h>
#include <Xm/MessageB.h>
#include <Xm/TextF.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>

using namespace fixtures;

namespace {

const char kXLocaleData[] = "/usr/share/X11/locale";
const char kHome[] = "/home/J\xc3\xbcrgen Gr\xc3\xb6\xc3\x9f" "e \xe9\x9f\xb3\xe6\xa5\xbd";  // Jürgen Größe 音楽

// The type of the font `w` draws its default text with (XmFONT_IS_XFT for a fontconfig face).
XmFontType FontType(Widget w) {
    XmRendition rendition = XmRenderTableGetRendition(xtoolkit::Resource<XmRenderTable>(w, XmNrenderTable),
                                                      const_cast<char *>(XmFONTLIST_DEFAULT_TAG));
    XmFontType type = XmFONT_IS_FONT;
    Arg arg;
    XtSetArg(arg, XmNfontType, &type);
    XmRenditionRetrieve(rendition, &arg, 1);
    XmRenditionFree(rendition);
    return type;
}

// In a child run as nobody (so that /usr/local is closed and the home proposal comes first), with
// `env` set ("" unsets), standard error caught and, given an empty directory `hideXLocaleWith`,
// without the X library's locale data: the character type and the numeric locale the window runs
// with, whether the field holds the home proposal's bytes, how many characters it counts in them
// (in a multibyte locale), the field's font type, and what was printed.
std::string BuildAndReport(const std::map<std::string, std::string> &env, const std::string &hideXLocaleWith) {
    return windowtest::InChild([&] {
        setenv("HOME", kHome, 1);
        for (const auto &[name, value] : env) {
            if (value.empty()) unsetenv(name.c_str());
            else setenv(name.c_str(), value.c_str(), 1);
        }
        // A minimal system has no X locale data: an empty directory over it, in a mount namespace.
        if (!hideXLocaleWith.empty() &&
            (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             mount(hideXLocaleWith.c_str(), kXLocaleData, nullptr, MS_BIND, nullptr) != 0))
            return std::string("cannot hide ") + kXLocaleData;
        if (!fixtures::BecomeNobody()) return std::string("cannot become nobody");
        const std::string errors = "/tmp/sonaris-locale-test-" + std::to_string(getpid());
        dup2(open(errors.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600), 2);
        windowtest::Build({"sonaris-installer"});

        const Widget field = windowtest::DestinationField();
        const std::string value = xtoolkit::TextValue(field);
        wchar_t *wide = XmTextFieldGetStringWcs(field);
        const XmFontType type = FontType(field);
        std::string report = std::setlocale(LC_CTYPE, nullptr);
        report += std::string("|") + std::setlocale(LC_NUMERIC, nullptr);
        report += std::string("|") + (value == std::string(getenv("HOME")) + "/Sonaris8" ? "proposal" : value);
        report += "|" + (MB_CUR_MAX > 1 ? std::to_string(wcslen(wide)) : "-") + "|" + std::to_string(type);
        XtFree(reinterpret_cast<char *>(wide));
        report += "|" + ReadFile(errors);
        unlink(errors.c_str());
        return report;
    });
}

TEST(CharacterType, FollowsAUtf8LocaleThatXSupportsAndNothingElse) {
    TempDir empty, faceless;
    WriteFile(faceless / "fonts.conf", "<fontconfig></fontconfig>\n");
    const std::string asCharacters = "|proposal|30|2|";  // "/home/Jürgen Größe 音楽/Sonaris8", in Xft
    const std::string asBytes = "C|C|proposal|-|0|";
    struct Case {
        const char *name;
        std::map<std::string, std::string> env;
        bool withoutXLocaleData;
        std::string expected;
    } cases[] = {
        {"LC_ALL", {{"LC_ALL", "de_DE.UTF-8"}}, false, "de_DE.UTF-8|C" + asCharacters},
        {"LC_CTYPE", {{"LC_ALL", ""}, {"LC_CTYPE", "ja_JP.UTF-8"}, {"LANG", "C"}}, false,
         "ja_JP.UTF-8|C" + asCharacters},
        {"LANG, numbers stay C", {{"LC_ALL", ""}, {"LANG", "de_DE.UTF-8"}}, false, "de_DE.UTF-8|C" + asCharacters},
        {"no face at all: the fallback font", {{"LC_ALL", "de_DE.UTF-8"}, {"FONTCONFIG_FILE", faceless / "fonts.conf"}},
         false, "de_DE.UTF-8|C|proposal|30|0|"},
        {"LC_ALL=C over LANG", {{"LC_ALL", "C"}, {"LANG", "de_DE.UTF-8"}}, false, asBytes},
        {"Latin-1 locale", {{"LC_ALL", "de_DE"}}, false, asBytes},
        {"locale the C library lacks", {{"LC_ALL", "xx_XX.UTF-8"}}, false, asBytes},
        {"no X locale data", {{"LC_ALL", "de_DE.UTF-8"}}, true, asBytes},
        {"home not in UTF-8", {{"LC_ALL", "de_DE.UTF-8"}, {"HOME", "/home/M\xfcller"}}, false, asBytes},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // Only root may hide the X locale data, and only root's nobody finds /usr/local closed.
        if (geteuid() != 0) GTEST_SKIP() << "needs root";
        EXPECT_EQ(BuildAndReport(c.env, c.withoutXLocaleData ? empty.path() : ""), c.expected);
    }
}

// In de_DE.UTF-8 the error dialog shows a UTF-8 destination in its characters, through a face that
// has them, and the extraction's failure on its own two lines, wider than the window in that face;
// fontconfig, made to complain of its configuration, says nothing on standard error.
TEST(CharacterType, TheErrorDialogShowsAUtf8DestinationAsItsCharacters) {
    TempDir tmp;
    WriteFile(tmp / "fonts.conf",
              "<fontconfig><include ignore_missing=\"yes\">/etc/fonts/fonts.conf</include>"
              "<element-of-a-newer-fontconfig/></fontconfig>\n");
    const std::string dest = tmp / "M\xc3\xbcller \xe9\x9f\xb3\xe6\xa5\xbd/Sonaris8";  // Müller 音楽: no parent
    const std::string report = windowtest::InChild([&] {
        setenv("HOME", tmp.path().c_str(), 1);
        setenv("LC_ALL", "de_DE.UTF-8", 1);
        setenv("FONTCONFIG_FILE", (tmp / "fonts.conf").c_str(), 1);
        const std::string errors = tmp / "errors";
        dup2(open(errors.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600), 2);
        windowtest::Build({InstallerPath()});
        windowtest::InstallInto(dest);
        const XmFontType type = FontType(XmMessageBoxGetChild(InstallerWidgets.errorDialog, XmDIALOG_MESSAGE_LABEL));
        const std::string shown = messages::Flowed(windowtest::ShownError());
        ShowError(messages::kExtractionFailed.c_str());
        return shown + "|" + std::to_string(type) + "|" + windowtest::ShownError() + "|" + ReadFile(errors);
    });
    const std::string shown = report.substr(0, report.find('|'));
    EXPECT_TRUE(messages::TwoLines(shown, messages::CannotMake(dest), {"does not exist"}, true));
    EXPECT_EQ(report.substr(shown.size()),
              "|" + std::to_string(XmFONT_IS_XFT) + "|" + messages::kExtractionFailed + "|");
}

// What the destination field shows, as pixels, once it has stopped changing.
std::vector<unsigned long> FieldImage(Window shell) {
    std::vector<unsigned long> pixels, before;
    do {
        before = pixels;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        pixels = xwindows::Pixels(shell, 140, 40, 300, 12);
    } while (pixels != before);
    return pixels;
}

// The real installer, typed at with XTest and pasted into from xclip's CLIPBOARD.
class Utf8Destination : public testing::Test {
protected:
    TempDir tmp;
    std::string marker = tmp / "launcher-ran";

    // xclip stays behind to serve the selection, until another client owns it.
    void SetClipboard(const std::string &text) {
        Display *d = xwindows::TestDisplay();
        const Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
        const Window before = XGetSelectionOwner(d, clipboard);
        WriteFile(tmp / "clip", text);
        Command c;
        c.argv = {"sh", "-c", "xclip -selection clipboard -i \"$0\" >/dev/null 2>&1", tmp / "clip"};
        c.env = {{"DISPLAY", XServer::Shared().display()}};
        ASSERT_EQ(RunCommand(c).exitStatus, 0);
        ASSERT_TRUE(xwindows::Eventually([&] {
            const Window owner = XGetSelectionOwner(d, clipboard);
            return owner != None && owner != before;
        }));
    }

    std::string MakeInstaller() { return fixtures::MakeInstaller(tmp / "tree", tmp / "installer"); }
};

// Each case types the temporary directory, then its own part by keys (with a Ctrl+Q among them)
// or by Ctrl+V; the launcher reports where it was installed.
TEST_F(Utf8Destination, TypedAndPastedTextInstallsAtExactlyItsBytes) {
    const std::string installer = MakeInstaller();
    WriteFile(tmp / "fonts.conf", "<fontconfig></fontconfig>\n");
    struct Case {
        const char *name;
        std::map<std::string, std::string> env;
        bool paste;
        std::string text, installed;
    } cases[] = {
        {"de typed", {{"LC_ALL", "de_DE.UTF-8"}}, false, "M\xc3\xbcller Stra\xc3\x9f" "e cab", ""},
        {"ja typed", {{"LC_ALL", "ja_JP.UTF-8"}}, false,
         "\xe9\x9f\xb3\xe6\xa5\xbd \xd0\x97\xd0\xb2\xd1\x83\xd0\xba", ""},  // 音楽 Звук
        {"de pasted", {{"LC_ALL", "de_DE.UTF-8"}}, true, "Clip Gr\xc3\xb6\xc3\x9f" "e\t\xe9\x9f\xb3\xe6\xa5\xbd\n",
         "Clip Gr\xc3\xb6\xc3\x9f" "e\xe9\x9f\xb3\xe6\xa5\xbd"},
        {"ja pasted, a C1 control in it", {{"LC_ALL", "ja_JP.UTF-8"}}, true,
         "\xe9\x9f\xb3\xe6\xa5\xbd\xc2\x85 clip", "\xe9\x9f\xb3\xe6\xa5\xbd clip"},
        {"input method not running", {{"LC_ALL", "de_DE.UTF-8"}, {"XMODIFIERS", "@im=nonesuch"}}, false,
         "Gr\xc3\xb6\xc3\x9f" "e", ""},
        {"no face at all: the fallback font", {{"LC_ALL", "ja_JP.UTF-8"}, {"FONTCONFIG_FILE", tmp / "fonts.conf"}},
         false, "\xe9\x9f\xb3\xe6\xa5\xbd \xc3\xbc", ""},
        {"C locale pasted", {{"LC_ALL", "C"}}, true, "clip\tboard\n", "clipboard"},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dest = tmp / ("d" + std::to_string(++n) + " ");
        const std::string installed = dest + (c.installed.empty() ? c.text : c.installed);
        if (c.paste) SetClipboard(c.text);
        Command command;
        command.argv = {installer};
        command.env = c.env;
        command.env["HOME"] = tmp.path();
        command.env["LAUNCHER_MARKER"] = marker;
        wizard::Installer run(command);
        ASSERT_TRUE(run.TypeDestination(dest));
        const Window w = run.MainWindow();
        if (c.paste) {
            // The text arrives when the clipboard's owner has answered: Finish waits for it.
            const std::vector<unsigned long> before = FieldImage(w);
            xwindows::Key("v", XK_Control_L);
            EXPECT_TRUE(xwindows::Eventually([&] { return FieldImage(w) != before; }));
        } else {
            const std::size_t half = std::min(c.text.find(' '), c.text.size());
            xwindows::Type(c.text.substr(0, half));
            xwindows::Key("q", XK_Control_L);
            xwindows::Type(c.text.substr(half));
        }
        wizard::ClickFinish(w);
        EXPECT_EQ(run.Wait(), kLauncherStatus);
        const auto runs = Launches(marker);
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(runs[0].at("argv0"), installed + "//sonaris");
        unlink(marker.c_str());
    }
}

}  // namespace
