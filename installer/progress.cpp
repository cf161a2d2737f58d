// The progress bar: the filled part in the bar's foreground, the rest in its background, and the
// whole-number percentage in white. Repaints only when the filled width changes.
#include "installer.h"

#include <Xm/Xm.h>

#include <cstdio>
#include <cstring>

static int nLastFilled = 0;

void DrawProgressBar(Widget w, XtPointer, XtPointer) noexcept {
    Dimension width = 0, height = 0;
    Pixel foreground = 0, background = 0;
    XtVaGetValues(w, XmNwidth, &width, XmNheight, &height, XmNforeground, &foreground, XmNbackground,
                  &background, nullptr);

    const int filled = static_cast<int>(InstallerWidgets.progress * static_cast<double>(width) / 100.0);
    if (filled == nLastFilled) return;
    nLastFilled = filled;

    Display *display = XtDisplay(w);
    Window window = XtWindow(w);
    GC gc = InstallerWidgets.gc;
    XSetForeground(display, gc, background);
    XFillRectangle(display, window, gc, filled + 1, 0, width, height);
    XSetForeground(display, gc, foreground);
    XFillRectangle(display, window, gc, 0, 0, static_cast<unsigned>(filled), height);

    char text[16];
    std::snprintf(text, sizeof text, "%d%%", static_cast<int>(InstallerWidgets.progress));
    const int length = static_cast<int>(std::strlen(text));

    int x, y;
    if (XFontStruct *font = InstallerWidgets.font) {
        y = font->ascent + (static_cast<int>(height) - font->ascent - font->descent) / 2;
        x = (static_cast<int>(width) - XTextWidth(font, text, length)) / 2;
    } else {
        x = width / 2;
        y = height / 2;
    }
    XSetForeground(display, gc, WhitePixelOfScreen(XtScreen(w)));
    XDrawString(display, window, gc, x, y, text, length);
}
