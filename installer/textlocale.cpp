// The character type the window runs with, and a font for the destination that can draw it.
#include "installer/textlocale.h"
#include "posix/fd.h"

#include <X11/Xft/Xft.h>
#include <X11/Xlocale.h>
#include <Xm/Xm.h>
#include <fcntl.h>
#include <fontconfig/fontconfig.h>
#include <langinfo.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool utf8 = false;

// The language of the character type's locale, as fontconfig names languages: "de_DE.UTF-8"
// gives "de-de", "ja_JP.UTF-8@x" "ja-jp".
std::string LocaleLanguage() {
    const char *name = std::setlocale(LC_CTYPE, nullptr);
    std::string language = name ? name : "";
    language = language.substr(0, language.find_first_of(".@"));
    for (char &c : language) {
        if (c == '_') c = '-';
        else if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return language;
}

// The program image carries a fontconfig of its own, which may be older or newer than the
// system's configuration files and says so on standard error for every element it does not know
// (the portable image's reads every file of the system's template directory,
// /usr/share/fontconfig/conf.avail, enabled or not, and a newer system's samples there use
// elements it does not know), as it complains where the system has no configuration at all.
// Nothing of that concerns the user: standard error goes to /dev/null while fontconfig loads.
class QuietStandardError {
public:
    QuietStandardError() : saved_(dup(STDERR_FILENO)) {
        const Fd null(open("/dev/null", O_WRONLY | O_CLOEXEC));
        if (saved_ && null) dup2(null.get(), STDERR_FILENO);
    }
    ~QuietStandardError() {
        if (saved_) dup2(saved_.get(), STDERR_FILENO);
    }

private:
    Fd saved_;
};

// The family of the installed sans-serif face fontconfig deems best for the locale's language: one
// that covers the language where the machine has one; "" where it has no face at all.
std::string FamilyForLanguage(const std::string &language) {
    {
        QuietStandardError quiet;
        if (!FcInit()) return "";
    }
    // Read once: a later rescan would read the configuration again, complaints and all, outside
    // the quiet.
    FcConfigSetRescanInterval(nullptr, 0);
    FcPattern *pattern = FcNameParse(reinterpret_cast<const FcChar8 *>("sans-serif"));
    if (!pattern) return "";
    if (!language.empty())
        FcPatternAddString(pattern, FC_LANG, reinterpret_cast<const FcChar8 *>(language.c_str()));
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result;
    FcPattern *match = FcFontMatch(nullptr, pattern, &result);
    FcPatternDestroy(pattern);
    std::string family;
    FcChar8 *name = nullptr, *file = nullptr;
    if (match && FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch &&
        FcPatternGetString(match, FC_FAMILY, 0, &name) == FcResultMatch)
        family = reinterpret_cast<const char *>(name);
    if (match) FcPatternDestroy(match);
    return family;
}

// The size in points that Xft draws `pixels` high on the display's default screen.
int PointsFor(Display *display, int pixels) {
    double dpi = 75;
    if (FcPattern *defaults = FcPatternCreate()) {
        XftDefaultSubstitute(display, DefaultScreen(display), defaults);
        FcPatternGetDouble(defaults, FC_DPI, 0, &dpi);
        FcPatternDestroy(defaults);
    }
    const int points = static_cast<int>(pixels * 72.0 / dpi + 0.5);
    return points > 0 ? points : 1;
}

}  // namespace

void UseLocaleCharacterType() {
    // Only the character type follows the user: messages, numbers and the rest stay as they are.
    const char *name = std::setlocale(LC_CTYPE, "");
    utf8 = name && std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0 && XSupportsLocale();
    // A home directory whose name is not UTF-8 could not be shown, nor proposed unchanged: the
    // text field would drop the bytes it cannot read. The C locale passes every byte through.
    const char *home = std::getenv("HOME");
    if (utf8 && home && std::mbstowcs(nullptr, home, 0) == static_cast<std::size_t>(-1)) utf8 = false;
    if (!utf8) {
        std::setlocale(LC_CTYPE, "C");
        return;
    }
    // The user's input method (XMODIFIERS), as every other program on the desktop uses it; where
    // that one is not running, Motif takes Xlib's own.
    XSetLocaleModifiers("");
}

XmRenderTable LocaleRenderTable(Widget w, int pixelSize) {
    if (!utf8) return nullptr;
    // Motif may keep the family name it is given: it lives as long as the process.
    static std::string family;
    family = FamilyForLanguage(LocaleLanguage());
    if (family.empty()) return nullptr;
    // Xft through fontconfig, as high as the fallback font; what the face has no glyph for shows
    // as a box, never as other characters. Motif takes the family and the size in points.
    Arg args[3];
    Cardinal n = 0;
    XtSetArg(args[n], XmNfontType, XmFONT_IS_XFT), ++n;
    XtSetArg(args[n], XmNfontName, family.c_str()), ++n;
    XtSetArg(args[n], XmNfontSize, PointsFor(XtDisplay(w), pixelSize)), ++n;
    XmRendition rendition = XmRenditionCreate(w, const_cast<char *>(XmFONTLIST_DEFAULT_TAG), args, n);
    XmRenderTable table = XmRenderTableAddRenditions(nullptr, &rendition, 1, XmMERGE_REPLACE);
    XmRenditionFree(rendition);
    return table;
}
