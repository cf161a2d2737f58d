// The data compiled into the installer window: the logo's XPM, the licence text, the page texts.
#include "tests/fixtures.h"
#include "data/installer_data.h"

#include <gtest/gtest.h>
// After gtest: Xlib's None and Bool macros would break its templates.
#include <X11/xpm.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <set>
#include <string>

namespace {

struct XpmHeader {
    int width = 0, height = 0, colours = 0, charsPerPixel = 0;
};

XpmHeader ParseHeader() {
    XpmHeader h;
    char rest = 0;
    // Exactly four numbers: a hotspot or an XPMEXT would add more.
    EXPECT_EQ(std::sscanf(LogoXpm[0], "%d %d %d %d %c", &h.width, &h.height, &h.colours, &h.charsPerPixel, &rest),
              4)
        << LogoXpm[0];
    return h;
}

bool IsHexColour(const std::string &value) {
    return value.size() == 7 && value[0] == '#' &&
           value.find_first_not_of("0123456789ABCDEFabcdef", 1) == std::string::npos;
}

TEST(Logo, IsAHundredByTwoThirtySixWithTwoHundredFiftyFiveColoursOfTwoCharacters) {
    const XpmHeader h = ParseHeader();
    EXPECT_EQ(h.width, 100);
    EXPECT_EQ(h.height, 236);
    EXPECT_EQ(h.colours, 255);
    EXPECT_EQ(h.charsPerPixel, 2);
    // Header, colour table and pixel rows, nothing after them.
    EXPECT_EQ(std::size(LogoXpm), std::size_t(1 + h.colours + h.height));
}

TEST(Logo, ColourTableHasDistinctKeysAndExactlyOneNone) {
    const XpmHeader h = ParseHeader();
    std::set<std::string> keys, values;
    int nones = 0;
    for (int i = 1; i <= h.colours; ++i) {
        const std::string entry = LogoXpm[i];
        SCOPED_TRACE("colour " + std::to_string(i) + ": \"" + entry + "\"");
        ASSERT_GT(entry.size(), 5u);
        EXPECT_EQ(entry.substr(2, 3), "\tc ");  // key, tab, the colour-visual letter, blank
        const std::string key = entry.substr(0, 2), value = entry.substr(5);
        EXPECT_TRUE(keys.insert(key).second) << "key used twice";
        if (value == "None") {
            ++nones;
            EXPECT_EQ(key, "  ");
        } else {
            EXPECT_TRUE(IsHexColour(value));
            EXPECT_TRUE(values.insert(value).second) << "colour given twice";
        }
    }
    EXPECT_EQ(nones, 1);
}

TEST(Logo, EveryRowHoldsExactlyItsPixelsInDefinedKeys) {
    const XpmHeader h = ParseHeader();
    std::set<std::string> keys;
    for (int i = 1; i <= h.colours; ++i)
        keys.insert(std::string(LogoXpm[i], 2));
    for (int y = 0; y < h.height; ++y) {
        const char *row = LogoXpm[1 + h.colours + y];
        SCOPED_TRACE("row " + std::to_string(y));
        ASSERT_EQ(std::strlen(row), std::size_t(h.width * h.charsPerPixel));
        for (int x = 0; x < h.width; ++x)
            ASSERT_TRUE(keys.count(std::string(row + 2 * x, 2))) << "pixel " << x;
    }
}

TEST(Logo, LibXpmReadsItAsDeclared) {
    XpmImage image{};
    XpmInfo info{};
    info.valuemask = XpmReturnExtensions;  // so that libXpm reports any it finds
    ASSERT_EQ(XpmCreateXpmImageFromData(const_cast<char **>(LogoXpm), &image, &info), XpmSuccess);
    EXPECT_EQ(image.width, 100u);
    EXPECT_EQ(image.height, 236u);
    EXPECT_EQ(image.ncolors, 255u);
    EXPECT_EQ(image.cpp, 2u);
    EXPECT_EQ(info.valuemask & XpmHotspot, 0ul);
    EXPECT_EQ(info.nextensions, 0u);
    XpmFreeXpmImage(&image);
    XpmFreeXpmInfo(&info);
}

TEST(License, IsPlainAsciiInNewlineEndedLinesOfAtMostFortyCharacters) {
    const std::string text = LicenseText;
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.front(), '\n') << "the first line is empty";
    EXPECT_EQ(text.back(), '\n') << "the last line is ended";
    int line = 1;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1, ++line) {
        const std::string l = text.substr(start, end - start);
        EXPECT_LE(l.size(), 40u) << "line " << line << ": " << l;  // a tab counts as one
        for (char c : l)
            EXPECT_TRUE(c == '\t' || (c >= ' ' && c <= '~'))
                << "line " << line << " holds byte " << int(static_cast<unsigned char>(c));
    }
}

TEST(License, IsLicenseTxtByteForByte) {
    // The build turns the file into a string literal; every quote, backslash and tab must survive.
    EXPECT_EQ(std::string(LicenseText), fixtures::ReadFile(fixtures::SourceDir() + "/data/license.txt"));
}

TEST(PageTexts, ReadWordForWord) {
    EXPECT_STREQ(Page1TopText,
                 "Installation and use of the Sonaris 8 requires\n"
                 "acceptance of the following terms and conditions:");
    EXPECT_STREQ(Page1BottomText,
                 "Click \"Accept\" to accept the terms of the license agreement\n"
                 "and continue with the Sonaris 8 Setup program.");
}

}  // namespace
