// The error dialog, and the breaking of its message's lines where they would not fit the screen.
#include "installer/errordialog.h"
#include "installer/installer.h"
#include "installer/owners.h"
#include "installer/textlocale.h"
#include "installer/window.h"

#include <Xm/MessageB.h>

#include <algorithm>
#include <cstdlib>
#include <string>

// The error symbol, the message and one OK button, modal for the whole application. OK hides it
// through the dialog's own automatic unmanaging.
void CreateErrorDialog() {
    InstallerWidgetsRec &iw = InstallerWidgets;
    iw.errorDialog = XmCreateErrorDialog(iw.toplevel, const_cast<char *>("ErrorDialog"), nullptr, 0);
    XtVaSetValues(XtParent(iw.errorDialog), XmNtitle, "Error", nullptr);
    XtVaSetValues(iw.errorDialog, XmNdialogStyle, XmDIALOG_FULL_APPLICATION_MODAL, XmNnoResize, True, nullptr);
    XtUnmanageChild(XmMessageBoxGetChild(iw.errorDialog, XmDIALOG_HELP_BUTTON));
    XtUnmanageChild(XmMessageBoxGetChild(iw.errorDialog, XmDIALOG_CANCEL_BUTTON));
    // In UTF-8 the message (a destination, say) draws in the locale's characters, as the field does.
    Widget label = XmMessageBoxGetChild(iw.errorDialog, XmDIALOG_MESSAGE_LABEL);
    if (XmRenderTable table = LocaleRenderTable(iw.errorDialog, kFallbackFontPixels)) {
        XtVaSetValues(label, XmNrenderTable, table, nullptr);
        XmRenderTableFree(table);
    }
}

namespace {

// What the dialog takes beside its message (the symbol, margins, spacing): a first guess, which
// the dialog's own wish for a width then puts right.
const int kBesideMessage = 80;
// Narrower than this a message is not made, whatever the dialog wants.
const int kNarrowest = 120;

int TextWidth(XmRenderTable table, const std::string &text) {
    return XmStringWidth(table, MakeXmString(text.c_str()).get());
}

// Where the character at `at` ends, in the window's character type.
std::size_t CharacterEnd(const std::string &text, std::size_t at) {
    const int n = std::mblen(text.c_str() + at, text.size() - at);
    return at + static_cast<std::size_t>(n > 0 ? n : 1);
}

// The longest start of `word` no wider than `width`: up to a "/" where one falls in its second
// half, else where a character ends; at least one character.
std::size_t Fitting(XmRenderTable table, const std::string &word, int width) {
    std::size_t fits = CharacterEnd(word, 0), slash = 0;
    for (std::size_t end = fits; end < word.size();) {
        const std::size_t next = CharacterEnd(word, end);
        if (TextWidth(table, word.substr(0, next)) > width) break;
        end = fits = next;
        if (word[end - 1] == '/') slash = end;
    }
    return 2 * slash >= fits ? slash : fits;
}

// One line of a message broken at blanks into lines no wider than `width`, a word wider than that
// broken where it must be; blanks where the line is not broken stay as they are.
void WrapLine(XmRenderTable table, const std::string &line, int width, std::string &out) {
    std::string current;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t wordAt = line.find_first_not_of(' ', at);
        if (wordAt == std::string::npos) {
            current += line.substr(at);  // blanks at the end take no room that shows
            break;
        }
        const std::size_t wordEnd = std::min(line.find(' ', wordAt), line.size());
        const std::string blanks = line.substr(at, wordAt - at), word = line.substr(wordAt, wordEnd - wordAt);
        at = wordEnd;
        if (TextWidth(table, current + blanks + word) <= width) {
            current += blanks + word;
            continue;
        }
        std::string piece = current.empty() ? blanks + word : word;
        if (!current.empty()) out += current + "\n";
        while (piece.size() > 1 && TextWidth(table, piece) > width) {
            const std::size_t cut = Fitting(table, piece, width);
            out += piece.substr(0, cut) + "\n";
            piece.erase(0, cut);
        }
        current = piece;
    }
    out += current;
}

std::string Wrapped(XmRenderTable table, const std::string &message, int width) {
    std::string out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = message.find('\n', start);
        WrapLine(table, message.substr(start, end - start), width, out);
        if (end == std::string::npos) return out;
        out += '\n';
        start = end + 1;
    }
}

// The message in the dialog, its lines broken only where the dialog would grow wider than the
// screen (a long path, tar's lines): the messages' own lines stay whole.
void SetErrorMessage(const char *message) {
    const InstallerWidgetsRec &iw = InstallerWidgets;
    Widget label = XmMessageBoxGetChild(iw.errorDialog, XmDIALOG_MESSAGE_LABEL);
    XmRenderTable table = nullptr;
    XtVaGetValues(label, XmNrenderTable, &table, nullptr);
    const int screen = WidthOfScreen(XtScreen(iw.toplevel));
    int room = std::max(screen - kBesideMessage, kNarrowest);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const std::string text = table ? Wrapped(table, message, room) : message;
        XtVaSetValues(iw.errorDialog, XmNmessageString, MakeXmString(text.c_str()).get(), nullptr);
        if (!table) return;
        // What the dialog takes beside its widest line, known now: the room that fills the screen.
        XtWidgetGeometry wanted{};
        XtQueryGeometry(iw.errorDialog, nullptr, &wanted);
        const int fills = std::max(screen - (wanted.width - TextWidth(table, text)), kNarrowest);
        if (fills == room || (attempt > 0 && wanted.width <= screen)) return;
        room = fills;
    }
}

}  // namespace

void ShowErrorDialog(const char *message) {
    SetErrorMessage(message);
    XtManageChild(InstallerWidgets.errorDialog);
}
