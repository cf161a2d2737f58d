// What a payload may hold, for the packer, its --verify and the installer's own check alike:
// "./" first, each directory ahead of its contents, every name once and none under a symbolic link;
// directories, regular files, symbolic links that stay inside the tree, hard links to a regular
// file packed earlier; the executable launcher "sonaris" last at the top.
#ifndef SONARIS_FORMAT_CONTRACT_H
#define SONARIS_FORMAT_CONTRACT_H

#include <sys/types.h>

#include <cstddef>
#include <map>
#include <set>
#include <string>

// The launcher's name at the top of the tree; the installer starts it after extracting.
extern const char kLauncherName[];

enum class MemberType { Directory, File, HardLink, Symlink, CharDevice, BlockDevice, Fifo, Socket, Unknown };

MemberType TypeOfMode(mode_t mode);
// "a symbolic link", "a fifo", ...
const char *DescribeType(MemberType type);

// A name as one line of a message: control characters and backslashes escaped, cut after `limit`
// bytes.
std::string Printable(const std::string &name, std::size_t limit = 1024);

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

// Why a symbolic link at `canonical` may not point at `target`, worded to follow "member NAME is ";
// "" when the target is relative, not empty, and cannot climb out of the tree: ".." only at its
// start, and no more of them than the link's depth below the top.
std::string SymlinkFault(const std::string &canonical, const std::string &target);

// One member as the payload's header gives it.
struct Entry {
    std::string name;  // as the payload holds it
    MemberType type = MemberType::Unknown;
    std::string kind;  // for Unknown: what it is ("a pax extended header")
    unsigned permissions = 0;
    std::string link;  // a symbolic link's target, or the name a hard link links to
};

// Checks members in payload order.
class ContractChecker {
public:
    // The first breach of the contract this member makes, worded to follow the file's name; "" if none.
    std::string Add(const Entry &entry);
    // What the payload as a whole lacks; "" if nothing.
    std::string Finish() const;
    std::size_t members() const { return count_; }

private:
    struct Seen {
        MemberType type;
        std::string raw;  // the name as the payload gave it
    };
    std::map<std::string, Seen> seen_;  // by canonical name
    std::set<std::string> files_;             // the regular files, by the names the payload gave them
    std::size_t count_ = 0;
    bool launcherSeen_ = false;
    std::string launcherRaw_;
};

#endif
