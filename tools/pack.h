// The packer's three commands. Each throws PackError with a message that names what is wrong.
#ifndef SONARIS_PACK_PACK_H
#define SONARIS_PACK_PACK_H

#include "tools/programimage.h"
#include "tools/progressline.h"
#include "format/trailer.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

struct PackOptions {
    std::string source;  // an application directory or a gzip'd tar of one
    std::string output;  // the installer file to make
    std::string image;   // the program image that goes in front of the payload
    std::optional<std::int64_t> sourceDateEpoch;  // clamps member times when set
    std::uint64_t payloadLimit = kMaxPayloadLength;
    unsigned jobs = 1;                   // threads that compress
    ProgressLine *progress = nullptr;    // shows how far packing has come, when set
    // Gets what will break once the tree is installed, one line each, when set.
    std::vector<std::string> *warnings = nullptr;
};

// Builds OUTPUT from the image, the payload made of SOURCE, and the trailer; returns the count of
// the payload's members. Every problem of the tree is named in one PackError, each with its fix.
std::size_t Pack(const PackOptions &options);

// Prints what the program image is (ImageLine), then the payload's members, one a line: mode,
// size, name.
void List(const std::string &installer, std::FILE *out);

struct Verification {
    std::string summary;  // "INSTALLER: sound: N members in a payload of ..."
    ImageKind image;
    std::vector<std::string> warnings;  // what the payload lacks of the packer's habits (the launcher)
};

// Checks the trailer, the gzip stream and the payload with the installer's own check, and that
// the program image is the installer's.
Verification Verify(const std::string &installer, ProgressLine *progress = nullptr);

#endif
