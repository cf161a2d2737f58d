// Where the fields of a 512-byte tar header stand (POSIX ustar and GNU alike), and its type flags.
#ifndef SONARIS_FORMAT_TARHEADER_H
#define SONARIS_FORMAT_TARHEADER_H

#include <cstddef>

namespace tarheader {

constexpr std::size_t kBlock = 512;

constexpr std::size_t kName = 0, kNameSize = 100;
constexpr std::size_t kMode = 100, kModeSize = 8;
constexpr std::size_t kUid = 108, kGid = 116, kIdSize = 8;
constexpr std::size_t kSize = 124, kSizeSize = 12;
constexpr std::size_t kMtime = 136, kMtimeSize = 12;
constexpr std::size_t kChecksum = 148, kChecksumSize = 8;
constexpr std::size_t kTypeFlag = 156;
constexpr std::size_t kLinkName = 157, kLinkNameSize = 100;
constexpr std::size_t kMagic = 257, kMagicSize = 6;  // "ustar\0" in POSIX headers, "ustar " in GNU ones
constexpr std::size_t kUname = 265, kGname = 297, kOwnerNameSize = 32;  // ustar and GNU headers
constexpr std::size_t kPrefix = 345, kPrefixSize = 155;  // POSIX headers only

// Type flags.
constexpr unsigned char kOldFile = '\0';
constexpr unsigned char kFile = '0';
constexpr unsigned char kHardLink = '1';
constexpr unsigned char kSymlink = '2';
constexpr unsigned char kCharDevice = '3';
constexpr unsigned char kBlockDevice = '4';
constexpr unsigned char kDirectory = '5';
constexpr unsigned char kFifo = '6';
constexpr unsigned char kLongName = 'L';  // GNU: the data is the next header's name
constexpr unsigned char kLongLink = 'K';  // GNU: the data is the next header's link name
constexpr unsigned char kGnuSparse = 'S';  // GNU: a sparse file, its map in the header and behind it

}  // namespace tarheader

#endif
