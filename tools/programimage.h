// What a program image is, read from its ELF headers: the processor it is for (the packer chooses
// its default image by it), whether it is the installer's image (format/imagemark.h), and the
// newest C library it needs. An installer file's first bytes are its image's.
#ifndef SONARIS_PACK_PROGRAMIMAGE_H
#define SONARIS_PACK_PROGRAMIMAGE_H

#include <cstddef>
#include <cstdint>
#include <string>

// The processors installer files run on, by the names `uname -m` gives them.
extern const char *const kImageArches[2];  // "x86_64", "aarch64"

// The newest glibc the portable images need: the oldest they start on (cmake/GlibcFloor.cmake
// holds them to it).
extern const char kPortableGlibc[];  // "2.17"

struct ImageKind {
    std::string arch;         // one of kImageArches; empty when the image is none of their programs
    std::string description;  // "an x86-64 Linux program", "not an ELF file", ...
    bool installer = false;   // carries the installer's mark
    bool dynamic = false;     // has a program interpreter: the C library comes from the system
    std::string glibc;        // the highest GLIBC_ symbol version it needs ("2.17"); empty for none
};

// From the first `n` bytes of a file: the processor and description only.
ImageKind ClassifyImage(const unsigned char *bytes, std::size_t n);

// From the first `limit` bytes of `fd` (an installer file's image ends where its payload begins),
// which `path` names in messages; throws PackError where it cannot be read.
ImageKind ReadImageKind(int fd, std::uint64_t limit, const std::string &path);
// The whole file at `path`.
ImageKind ReadImageKind(const std::string &path);

// "an x86-64 Linux program", with " that is not an installer image" where it lacks the mark.
std::string DescribeImage(const ImageKind &kind);
// What it needs of the C library: "glibc 2.17 or later", "static", or "" when not a Linux program.
std::string DescribeGlibc(const ImageKind &kind);
// "x86-64", "arm64", or "" when not a Linux program.
std::string ProcessorName(const ImageKind &kind);
// --list's first line: "image: x86_64, an x86-64 Linux program, glibc 2.17 or later", or what the
// image is instead.
std::string ImageLine(const ImageKind &kind);
// Whether the image needs a newer glibc than the portable images do.
bool NeedsNewerGlibc(const ImageKind &kind);
// The widely run systems whose glibc is older than `glibc`, so that an image needing it does not
// start there: "RHEL 7 and 8, Debian 10 and 11, ..."; "" for none.
std::string SystemsBefore(const std::string &glibc);

// A processor's name as kImageArches names it: arm64 is aarch64.
std::string ImageArch(const std::string &processor);
// This machine's processor (uname), as kImageArches names it.
std::string MachineArch();

#endif
