// Where the fields of a 512-byte tar header stand (POSIX ustar and GNU alike), its type flags, and
// its checksum.
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
constexpr std::size_t kVersion = 263, kVersionSize = 2;
constexpr std::size_t kUname = 265, kGname = 297, kOwnerNameSize = 32;  // ustar and GNU headers
constexpr std::size_t kPrefix = 345, kPrefixSize = 155;  // POSIX headers only

// The magic and version together, as each format writes them.
constexpr char kPosixMagic[] = "ustar\0" "00";
constexpr char kGnuMagic[] = "ustar  ";  // with its NUL
constexpr std::size_t kMagicVersionSize = kMagicSize + kVersionSize;
// What POSIX and GNU magics begin with.
constexpr char kUstar[] = "ustar";
constexpr std::size_t kUstarSize = sizeof kUstar - 1;

// A GNU sparse header: the real size, the first pieces of the map, and whether extension blocks
// follow. A piece is an offset and a length; an extension block holds more of them, then its own
// flag for another block.
constexpr std::size_t kGnuRealSize = 483, kGnuRealSizeSize = 12;
constexpr std::size_t kGnuSparseMap = 386, kGnuSparsePieces = 4;
constexpr std::size_t kGnuIsExtended = 482;
constexpr std::size_t kSparseOffsetSize = 12, kSparseLengthSize = 12;
constexpr std::size_t kSparsePieceSize = kSparseOffsetSize + kSparseLengthSize;
constexpr std::size_t kSparseExtensionPieces = 21;
constexpr std::size_t kSparseExtensionIsExtended = kSparseExtensionPieces * kSparsePieceSize;

// Type flags.
constexpr unsigned char kOldFile = '\0';
constexpr unsigned char kFile = '0';
constexpr unsigned char kHardLink = '1';
constexpr unsigned char kSymlink = '2';
constexpr unsigned char kCharDevice = '3';
constexpr unsigned char kBlockDevice = '4';
constexpr unsigned char kDirectory = '5';
constexpr unsigned char kFifo = '6';
constexpr unsigned char kContiguous = '7';
constexpr unsigned char kPaxLocal = 'x';   // pax: records for the next member
constexpr unsigned char kPaxGlobal = 'g';  // pax: records for every member behind
constexpr unsigned char kLongName = 'L';  // GNU: the data is the next header's name
constexpr unsigned char kLongLink = 'K';  // GNU: the data is the next header's link name
constexpr unsigned char kGnuSparse = 'S';  // GNU: a sparse file, its map in the header and behind it
constexpr unsigned char kGnuDumpDir = 'D';    // GNU: a directory listing
constexpr unsigned char kGnuMultiVolume = 'M';  // GNU: a member continued from the volume before
constexpr unsigned char kGnuVolumeLabel = 'V';

// The sums of a header's bytes with the checksum field counted as blanks: the bytes taken unsigned,
// as tars write the checksum, and signed, as some old tars did and every tar still accepts.
struct HeaderSums {
    unsigned long unsignedSum = 0;
    long signedSum = 0;
};
inline HeaderSums SumHeader(const unsigned char *h) {
    HeaderSums sums;
    for (std::size_t i = 0; i < kBlock; ++i) {
        const unsigned char c = i >= kChecksum && i < kChecksum + kChecksumSize ? ' ' : h[i];
        sums.unsignedSum += c;
        sums.signedSum += static_cast<signed char>(c);
    }
    return sums;
}

}  // namespace tarheader

#endif
