// The progress bar: the filled part in the bar's foreground, the rest in its background, and the
// whole-number percentage in white. The extraction's calls repaint only when the filled width
// changes; an exposure repaints what the server cleared.
#include "installer/installer.h"

#include <Xm/Xm.h>

#include <cstdio>
#include <cstring>

static int nLastFilled = 0;

// True for the last Expose event of a series handed over by the drawing area's expose callback.
static bool IsExposure(XtPointer call_data) {
    const auto *cb = static_cast<const XmDrawingAreaCallbackStruct *>(call_data);
    return cb && cb->reason == XmCR_EXPOSE && cb->event && cb->event->type == Expose &&
           cb->event->xexpose.count == 0;
}

void DrawProgressBar(Widget w, XtPointer, XtPointer call_data) noexcept {
    Dimension width = 0, height = 0;
    Pixel foreground = 0, background = 0;
    XtVaGetValues(w, XmNwidth, &width, XmNheight, &height, XmNforeground, &foreground, XmNbackground,
                  &background, nullptr);

    const int filled = static_cast<int>(InstallerWidgets.progress * static_cast<double>(width) / 100.0);
    // An exposure at an unchanged, non-zero width repaints too: the server has cleared the bar.
    if (filled == nLastFilled && !(filled > 0 && IsExposure(call_data))) return;
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
