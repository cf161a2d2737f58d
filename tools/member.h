// One member as the packer keeps it, from the source's walk or archive until the payload has it.
#ifndef SONARIS_PACK_MEMBER_H
#define SONARIS_PACK_MEMBER_H

#include "format/rules.h"

#include <cstdint>
#include <string>

struct Member {
    std::string name;  // canonical (see rules.h); "" is the top directory
    MemberType type = MemberType::File;  // a directory, a regular file, or a link
    unsigned permissions = 0;            // the 0777 bits
    std::int64_t mtime = 0;
    std::uint64_t size = 0;
    std::string link;  // a symbolic link's target; a hard link's: the name of the file it links to
    std::string identity;  // equal for the names of one file (its device and inode, say); "" for a lone name
    std::string path;               // a directory source: the file to copy
    std::uint64_t spoolOffset = 0;  // an archive source: where the content stands in the spool
};

#endif
