// What the packer says of the program image it packs with, for the tests that link the packer's library.
#ifndef SONARIS_TESTS_PACK_SUPPORT_H
#define SONARIS_TESTS_PACK_SUPPORT_H

#include "tests/fixtures.h"
#include "tools/programimage.h"

#include <string>

// The packer's warning, with its line break, on packing `output` with the image `image` when that
// needs a newer glibc than the portable images' 2.17; "" otherwise.
inline std::string GlibcWarning(const std::string &image, const std::string &output) {
    const std::string needed = fixtures::NeededGlibc(image);
    if (needed.empty() || fixtures::VersionOf(needed) <= fixtures::VersionOf("2.17")) return "";
    return "sonaris-pack: warning: " + image + " needs glibc " + needed +
           " or later, newer than the portable images' 2.17, so " + output + " will not start on " +
           SystemsBefore(needed) +
           ", or any other system with an older glibc: run make portable and pack again, or give --image a "
           "portable image\n";
}

#endif
