// The mark by which the packer knows this program for the installer's image (format/imagemark.h).
#include "format/imagemark.h"

namespace {
__attribute__((used, section(SONARIS_IMAGE_MARK_SECTION))) const char kImageMark[] = SONARIS_IMAGE_MARK;
}
