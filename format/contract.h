// What a payload may hold: "./" first, each directory ahead of its contents, only directories and
// regular files under relative names, and the executable launcher "sonaris" last at the top.
#ifndef SONARIS_FORMAT_CONTRACT_H
#define SONARIS_FORMAT_CONTRACT_H

#include <sys/types.h>

#include <cstddef>
#include <map>
#include <string>

// The launcher's name at the top of the tree; the installer starts it after extracting.
extern const char kLauncherName[];

enum class MemberType { Directory, File, HardLink, Symlink, CharDevice, BlockDevice, Fifo, Socket, Unknown };

MemberType TypeOfMode(mode_t mode);
// "a symbolic link", "a fifo", ...
const char *DescribeType(MemberType type);

// A member name in the form the packer keeps: relative, without "." or empty components and
// without a trailing slash; "" is the top directory. `fault` is set instead for a name that would
// land outside the destination.
struct CanonicalName {
    std::string name;
    const char *fault = nullptr;
};
CanonicalName Canonicalize(const std::string &raw);
// The name stored in the payload: "./", "./bin/", "./bin/sonaris-player".
std::string ArchiveName(const std::string &canonical, bool directory);
std::string ParentOf(const std::string &canonical);

// The launcher must be something its owner (the installing user, after extraction) can run.
bool LauncherExecutable(unsigned permissions);

// Checks members in archive order against the contract.
class ContractChecker {
public:
    // The first breach of the contract found so far, worded to follow the file's name; "" if none.
    std::string Add(const std::string &raw, MemberType type, unsigned permissions);
    std::string Finish() const;
    std::size_t members() const { return count_; }

private:
    std::map<std::string, bool> seen_;  // canonical name -> is a directory
    std::size_t count_ = 0;
    bool launcherSeen_ = false;
    std::string launcherRaw_;
};

#endif
