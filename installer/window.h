// The window's parts, called in order by the start-up.
#ifndef SONARIS_WINDOW_H
#define SONARIS_WINDOW_H

#include <X11/Intrinsic.h>

#include <string>
#include <vector>

// The height in pixels of the fallback resources' font of every text in the window; a macro as
// well, for the fallback resources spell it inside the font's name.
#define SONARIS_FALLBACK_FONT_PIXELS 12
const int kFallbackFontPixels = SONARIS_FALLBACK_FONT_PIXELS;

// Everything of the window up to and including mapping the shell; RunWindow adds the main loop.
void BuildWindow(int *argc, char **argv);

void BuildPage1(Pixmap logo);
void BuildPage2(Pixmap logo);
void BuildPage3(Pixmap logo);

// The destinations proposed on page 2, in list order.
std::vector<std::string> ProposedDestinations();

#endif
