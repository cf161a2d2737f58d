// Move-only owners for the C resources the packer holds: directory streams and
// libarchive's readers (descriptors and stdio streams: posix/). Destructors never throw; an explicit close reports its error.
#ifndef SONARIS_PACK_OWNERS_H
#define SONARIS_PACK_OWNERS_H

#include "posix/fd.h"
#include "posix/file.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <unistd.h>

#include <memory>
#include <utility>

struct DirCloser {
    void operator()(DIR *d) const noexcept { closedir(d); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

struct ArchiveReadFreer {
    void operator()(struct archive *a) const noexcept { archive_read_free(a); }
};
using ArchiveReader = std::unique_ptr<struct archive, ArchiveReadFreer>;

#endif
