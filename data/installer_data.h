// What the installer window compiles in: the side-panel logo and the texts of the licence page.
#ifndef SONARIS_INSTALLER_DATA_H
#define SONARIS_INSTALLER_DATA_H

#include <cstddef>

// The logo as XPM 3 data: the header string "100 236 255 2", 255 colour strings (one of them
// None) and 236 rows of 100 two-character pixels. libXpm's functions take `char **` but only read.
inline constexpr std::size_t LogoXpmStrings = 1 + 255 + 236;
extern const char *const LogoXpm[LogoXpmStrings];

// Page 1: two lines above the licence, two lines below it.
extern const char Page1TopText[];
extern const char Page1BottomText[];

// The licence agreement, pre-wrapped: every line ends in a newline and the text widget never wraps.
extern const char LicenseText[];

#endif
