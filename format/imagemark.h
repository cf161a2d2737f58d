// What makes a program the installer's image for the packer: a section of this name holding this
// text. A section, not a string anywhere in the file, so that a program merely quoting the text
// (the packer itself) is not taken for the installer.
#ifndef SONARIS_IMAGE_MARK_H
#define SONARIS_IMAGE_MARK_H

#define SONARIS_IMAGE_MARK_SECTION ".sonaris-image"
#define SONARIS_IMAGE_MARK "sonaris-installer program image"

#endif
