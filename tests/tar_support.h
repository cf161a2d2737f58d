// Tar archives written header by header, for tests that need members no tar program would write
// (links that climb, devices, pax headers, damaged fields) or exactly the bytes they name.
#ifndef SONARIS_TESTS_TAR_SUPPORT_H
#define SONARIS_TESTS_TAR_SUPPORT_H

#include <string>
#include <utility>
#include <vector>

namespace tarfile {

// One member as its header says it: the type flag is the header's own byte ('0' file, '1' hard
// link, '2' symbolic link, '3' character device, '4' block device, '5' directory, '6' fifo,
// 'x' pax extended header, ...). Names longer than the header's 100 bytes get a GNU long-name
// record ('L', or 'K' for the link) in front.
struct TarMember {
    std::string name;
    char type = '0';
    unsigned mode = 0644;
    std::string content;  // the data behind the header; its length is the size field
    std::string link;     // the link field
    unsigned major = 0, minor = 0;
    std::string prefix;   // non-empty: a POSIX ustar header whose prefix field holds this
    // Bytes written over the header at an offset before its checksum is made: fields no tar writes.
    std::pair<std::size_t, std::string> overwrite = {0, ""};
};

TarMember Dir(const std::string &name, unsigned mode = 0755);
TarMember File(const std::string &name, const std::string &content = "data\n", unsigned mode = 0644);
TarMember Symlink(const std::string &name, const std::string &target);
TarMember HardLink(const std::string &name, const std::string &target);
TarMember Device(const std::string &name, char type, unsigned major, unsigned minor);
// A pax extended header whose records apply to the member behind it ('x'), or to all behind it ('g').
TarMember PaxHeader(const std::vector<std::pair<std::string, std::string>> &records, char type = 'x');
// `member` with `bytes` written over its header at `at`, the checksum made to fit again.
TarMember Mangled(TarMember member, std::size_t at, const std::string &bytes);
// The launcher the payload rules ask for, last at the top.
TarMember Launcher(const std::string &script);

// One 512-byte header (GNU magic, or POSIX ustar when the member has a prefix).
std::string TarHeader(const TarMember &member);
// The members in this order, each with its data padded to 512 bytes, two zero blocks, and
// padding to a whole 10240-byte record.
std::string TarArchive(const std::vector<TarMember> &members);
// What gunzip makes of a gzip'd archive, as far as it can: the tar stream the check reads.
std::string Gunzipped(const std::string &payload);

}  // namespace tarfile

#endif
