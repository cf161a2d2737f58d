// What a SOURCE file is when it is not the gzip'd tar the packer takes, told by its first bytes
// (not its name), and how to turn it into something the packer takes.
#ifndef SONARIS_PACK_SOURCEKIND_H
#define SONARIS_PACK_SOURCEKIND_H

#include "format/tarheader.h"

#include <cstddef>
#include <string>

// How many of the file's first bytes SourceMismatch needs (a tar header's).
const std::size_t kSourceProbeSize = tarheader::kBlock;

// Empty when `bytes` (the first `n` of the file at `source`, all of it when shorter) begin as gzip
// data; else the message: what the file is and the commands that convert or unpack it.
std::string SourceMismatch(const unsigned char *bytes, std::size_t n, const std::string &source);

#endif
