// Which processor a program image is for, read from its ELF header: the packer chooses its
// default image by processor and says which one an installer file holds (its first bytes are the
// image's).
#ifndef SONARIS_PACK_PROGRAMIMAGE_H
#define SONARIS_PACK_PROGRAMIMAGE_H

#include <cstddef>
#include <string>

// The processors installer files run on, by the names `uname -m` gives them.
extern const char *const kImageArches[2];  // "x86_64", "aarch64"

struct ImageKind {
    std::string arch;         // one of kImageArches; empty when the image is none of their programs
    std::string description;  // "an x86-64 Linux program", "not an ELF file", ...
};

// From the first `n` bytes of a file.
ImageKind ClassifyImage(const unsigned char *bytes, std::size_t n);

// From the start of the file at `path`; throws PackError where it cannot be read.
ImageKind ReadImageKind(const std::string &path);

// This machine's processor (uname), as kImageArches names it.
std::string MachineArch();

#endif
