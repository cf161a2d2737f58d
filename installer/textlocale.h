// The character type the window runs with: the user's where it is UTF-8 and the X library can
// handle it, C otherwise; and a font for the destination field that can draw it.
#ifndef SONARIS_TEXTLOCALE_H
#define SONARIS_TEXTLOCALE_H

#include <X11/Intrinsic.h>
#include <Xm/Xm.h>

// Before the display is opened: takes the user's character type (LC_ALL, LC_CTYPE or LANG) where
// it is UTF-8 and supported by the X library's locale data; otherwise stays in C, silently.
// Every other locale category stays C.
void UseLocaleCharacterType();
// In UTF-8 only: a render table for the destination field, its list and the error dialog's
// message that draws the locale's characters `pixelSize` high (a face for the locale's language where the machine has one), or
// null where the machine has no face for it and the field keeps the fallback font.
XmRenderTable LocaleRenderTable(Widget w, int pixelSize);

#endif
