// What a payload may hold, for the packer, its --verify and the installer's own check alike.
//
// Only what every tar reads the same way is admitted: relative names without ".", ".." or empty
// components (one leading "./" and a closing "/" on a directory aside) and without control
// bytes; directories, regular files, symbolic links that stay inside the tree, hard links to a
// regular file of the payload met earlier. Then what is hostile is refused, judged on the names as
// tar will use them: the same name twice, a name through a link or a file of the payload, set-id
// bits, and, where the destination is known, a name through a symbolic link that stands in it.
#ifndef SONARIS_FORMAT_CONTRACT_H
#define SONARIS_FORMAT_CONTRACT_H

#include <sys/types.h>

#include <cstddef>
#include <map>
#include <cstdint>
#include <string>
#include <vector>

// The launcher's name at the top of the tree; the installer starts it after extracting.
extern const char kLauncherName[];

enum class MemberType { Directory, File, HardLink, Symlink, CharDevice, BlockDevice, Fifo, Socket, Unknown };

MemberType TypeOfMode(mode_t mode);
// "a symbolic link", "a fifo", ...
const char *DescribeType(MemberType type);

// A name as one line of a message: control characters and backslashes escaped, cut after `limit`
// bytes.
std::string Printable(const std::string &name, std::size_t limit = 1024);

// A member name in the form the packer keeps: relative, without "./" in front and without a
// trailing slash; "" is the top directory. `fault` is set instead for a name that is not in the
// canonical form (worded to follow "member NAME "); `directory` tells a closing "/".
struct CanonicalName {
    std::string name;
    const char *fault = nullptr;
    bool directory = false;
};
CanonicalName Canonicalize(const std::string &raw);
// The name stored in the payload: "./bin/", "./bin/sonaris-player".
std::string ArchiveName(const std::string &canonical, bool directory);
std::string ParentOf(const std::string &canonical);

// Why a symbolic link at `canonical` may not point at `target`, worded to follow "member NAME is ";
// "" when the target is relative, not empty, and cannot climb out of the tree: ".." only at its
// start, and no more of them than the link's depth below the top.
std::string SymlinkFault(const std::string &canonical, const std::string &target);

// One member as the payload's headers give it, pax records applied.
struct Entry {
    std::string name;  // as the payload holds it
    MemberType type = MemberType::Unknown;
    std::string kind;  // for Unknown: what it is ("a sparse file")
    unsigned permissions = 0;  // the 07777 bits
    std::string link;  // a symbolic link's target, or the name a hard link links to
    // The owner and group as the header gives them; tar run by root takes the names where the
    // system knows them, else the numbers.
    std::uint64_t uid = 0, gid = 0;
    std::string uname = "", gname = "";
};

// A member as the check judged it, and as tar extracts it: canonical name ("" for the top), the
// type, a symbolic link's target or a hard link's canonical target, the 07777 bits.
struct Judged {
    std::string name;
    MemberType type;
    std::string link;
    unsigned permissions;
};

// Checks members in payload order.
class ContractChecker {
public:
    struct Where {
        // The destination as a directory descriptor, for the look at what already stands in it;
        // -1 for none (the packer).
        int destination = -1;
        // Whether root installs; tar then keeps the destination's owner and mode and takes no
        // member's owner, so nothing about owners is refused.
        bool root = false;
    };
    ContractChecker() = default;
    explicit ContractChecker(Where where) : where_(where) {}

    // The first breach of the contract this member makes, worded as a sentence's end; "" if none.
    std::string Add(const Entry &entry);
    // What the payload as a whole lacks; "" if nothing.
    std::string Finish() const;
    std::size_t members() const { return judged_.size(); }
    const std::vector<Judged> &judged() const { return judged_; }

private:
    std::string OnDisk(const std::string &name, MemberType type, const std::string &raw);

    Where where_;
    struct Seen {
        MemberType type;
        std::string raw;  // the name as the payload gave it, for messages
    };
    std::map<std::string, Seen> seen_;  // by canonical name
    std::map<std::string, bool> looked_;      // destination paths looked at: true where a symbolic link stands
    std::vector<Judged> judged_;
};

// What the packer's habits ask of the launcher and `members` do not give: no launcher, one that
// is not an executable regular file, one that is not the last member. Empty if nothing.
std::vector<std::string> LauncherWarnings(const std::vector<Judged> &members);

#endif
