// What a payload may hold, for the packer, its --verify and the installer's own check alike.
//
// Members are judged in payload order, on their names as tar will use them: against the members
// met before (NameTree keeps them compactly) and, where the destination is known, against what
// stands in it. The rules themselves are stated once, in docs/format.md.
#ifndef SONARIS_FORMAT_RULES_H
#define SONARIS_FORMAT_RULES_H

#include "format/reasons.h"
#include "posix/io.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
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
// "member NAME" for messages, the name Printable; "a member with an empty name" for "".
std::string MemberLabel(const std::string &name);
// The set-id bits among `mode`'s, which must hold one: "setuid bit", "setgid bit" or "setuid and
// setgid bits".
const char *SetIdBits(unsigned mode);

// Why a pax record that asks tar to restore an extended attribute or an ACL may not be installed
// with the member `label` names; none where it may. `keyword` is the record's (SCHILY.xattr.NAME,
// LIBARCHIVE.xattr.NAME, SCHILY.acl.access, ...); `privileged` says the installation runs as root,
// where bsdtar restores them unasked; a tar run by anyone else cannot grant with them.
BrokenRule AttributeFault(const std::string &label, const std::string &keyword, const std::string &value, bool privileged);
// Whether `keyword` is one of those records.
bool IsAttributeKeyword(const std::string &keyword);

// A member name in the form the packer keeps: relative, without "./" in front and without a
// trailing slash; "" is the top directory. For a name not in that form, `rule` says which rule it
// breaks and `name` stays empty; `directory` tells a closing "/".
struct CanonicalName {
    std::string name;
    Rule rule = Rule::Sound;
    bool directory = false;
    bool ok() const { return rule == Rule::Sound; }
};
CanonicalName Canonicalize(const std::string &raw);
// The name stored in the payload: "./bin/", "./bin/sonaris-player".
std::string ArchiveName(const std::string &canonical, bool directory);

// Why a symbolic link at `canonical` may not point at `target` (the texts take the member's label
// and the target); none when the target is relative, not empty, and cannot climb out of the tree:
// ".." only at its start, and no more of them than the link's depth below the top.
Rule SymlinkFault(const std::string &canonical, const std::string &target);

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

// The names a check has met, as a tree of components: each node is a component under its parent,
// its bytes in one arena, found through an open-addressing hash of (parent, component), with
// sixteen bits of flags for the caller: some 50 bytes a name, where a map of whole names needs
// hundreds, so that a check of a million members stays small.
class NameTree {
public:
    static constexpr std::uint32_t kTop = 0;  // "", there from the start
    static constexpr std::uint32_t kNone = UINT32_MAX;

    NameTree();
    // The node of `component` under `parent`, or kNone.
    std::uint32_t Find(std::uint32_t parent, const char *component, std::size_t n) const;
    // The same, made where missing.
    std::uint32_t Insert(std::uint32_t parent, const char *component, std::size_t n);
    // Makes the node, which must be missing.
    std::uint32_t Make(std::uint32_t parent, const char *component, std::size_t n);
    std::uint16_t &flags(std::uint32_t node) { return At(node).flags; }
    std::uint16_t flags(std::uint32_t node) const { return At(node).flags; }
    std::size_t size() const { return count_; }

private:
    struct Node {
        std::uint32_t parent, length;
        std::uint32_t chunk, at;  // where the component's bytes stand in the arena
        std::uint16_t flags;      // in the padding the four words leave: no larger than one byte
    };
    static constexpr unsigned kPageBits = 12;
    static constexpr std::size_t kChunk = kMiB;

    Node &At(std::uint32_t node) { return pages_[node >> kPageBits][node & ((1u << kPageBits) - 1)]; }
    const Node &At(std::uint32_t node) const { return pages_[node >> kPageBits][node & ((1u << kPageBits) - 1)]; }
    bool Is(const Node &node, std::uint32_t parent, const char *component, std::size_t n) const;
    static std::uint64_t Hash(std::uint32_t parent, const char *component, std::size_t n);
    void Grow();

    // Pages and chunks never move, so that growing costs no copy of what is there.
    std::vector<std::unique_ptr<Node[]>> pages_;
    std::vector<std::unique_ptr<char[]>> chunks_;
    std::size_t chunkFill_ = kChunk;
    // A node's number + 1; 0 is empty. Four bytes a slot: a tag of the hash beside it would save
    // reads of nodes but cost a tenth of the memory at a million names.
    std::vector<std::uint32_t> slots_;
    std::uint32_t count_ = 0;
};

// Checks members in payload order.
class PayloadRules {
public:
    struct Where {
        // The destination as a directory descriptor, for the look at what already stands in it;
        // -1 for none (the packer).
        int destination = -1;
        // The installation runs as root: tar may restore extended attributes and ACLs, which
        // could grant access or privilege.
        bool privileged = false;
    };
    // Where a name leads once installed, through the payload's links (KeepLinks): to a member of
    // the tree (`name`, "" for the top, and its `type`; for a file, who may execute it, the 0111
    // bits), out of it, or to nothing it holds.
    struct Way {
        enum class End { Member, Out, Nothing };
        End end = End::Nothing;
        std::string name;
        MemberType type = MemberType::Unknown;
        unsigned execute = 0;
    };
    // The member named kLauncherName, as far as the packer's habits ask.
    struct Launcher {
        bool present = false;
        MemberType type = MemberType::Unknown;
        unsigned permissions = 0;
        bool last = false;  // no member came after it
        std::string link;   // a symbolic link's target
        Way way;            // where it leads, once installed (KeepLinks)
    };
    PayloadRules() = default;
    explicit PayloadRules(Where where) : where_(where) {}

    // The first rule this member breaks, or none where it breaks none. A member refused is not
    // recorded, so the check may go on with the next and find every problem of a tree.
    BrokenRule Add(const Entry &entry);
    // What the payload as a whole lacks (it holds no member), or none.
    BrokenRule Finish() const;
    // Whether a member so far has the canonical name (the top always has), and of what type.
    bool Holds(const std::string &canonical, MemberType *type = nullptr) const;
    std::size_t members() const { return members_; }
    Launcher launcher() const;
    // Keeps every admitted member for judged(), as tar extracts it: the name and a hard link's
    // target canonical ("" for the top), the 07777 bits. Empty otherwise: a list of a million
    // members is more than a check needs.
    void KeepJudged() { keep_ = true; }
    const std::vector<Entry> &judged() const { return judged_; }
    // Keeps every admitted symbolic link's target, for Lead() and the launcher's way.
    void KeepLinks() { keepLinks_ = true; }
    // Where the admitted member `canonical` leads (KeepLinks): a link through the links of the tree,
    // up to 40 of them, as the system follows them.
    Way Lead(const std::string &canonical) const;
    bool privileged() const { return where_.privileged; }

private:
    BrokenRule OnDisk(const std::string &name, MemberType type, const std::string &given);

    Where where_;
    // Per name: the member's type + 1 (0: only a directory on the way to members), whether its
    // name came with "./" in front, and what the look at the destination found.
    // For a file, kExecuteBits hold its 0111 bits, shifted by kExecuteShift.
    enum : std::uint16_t {
        kTypeBits = 0x0f,
        kDotSlash = 0x10,
        kLooked = 0x20,
        kLinkOnDisk = 0x40,
        kExecuteShift = 7,
        kExecuteBits = 0x7 << kExecuteShift
    };
    static MemberType TypeOf(std::uint16_t flags) { return static_cast<MemberType>((flags & kTypeBits) - 1); }
    NameTree names_;
    // The member being added, component by component: where each ends in its name, and its node
    // (kNone while unknown). Between members, the nodes of last_, the member recorded last.
    std::vector<std::size_t> ends_;
    std::vector<std::uint32_t> path_;
    std::string last_;
    std::size_t members_ = 0;
    Launcher launcher_;
    std::size_t launcherAt_ = 0;
    bool keep_ = false;
    std::vector<Entry> judged_;
    bool keepLinks_ = false;
    std::unordered_map<std::uint32_t, std::string> links_;  // node -> target
};

// The packer's and the rules' words for the launcher, one home for each text: "the launcher
// ./sonaris"; "... is not a regular file"; "... is not executable (mode 0644)"; for a launcher that
// is a symbolic link (KeepLinks), "... is a symbolic link to bin/real that leads to ./bin/real".
std::string LauncherLabel();
std::string LauncherNotAFile();
std::string LauncherNotExecutable(unsigned permissions);
std::string LinkedLauncherLeadsTo(const PayloadRules::Launcher &launcher);

// What the packer's habits ask of the launcher and the payload does not give: no launcher, one
// that is not an executable regular file or a link that leads to one (KeepLinks), one that is not
// the last member. Each says whether it will run, and as whom it will not. Empty if nothing.
std::vector<std::string> LauncherWarnings(const PayloadRules::Launcher &launcher);
// For a launcher that is a symbolic link (KeepLinks): "the launcher ./sonaris is a symbolic link
// to bin/real that leads to nothing in the tree", out of it, or to what is no file; "" where it
// leads to a file, executable or not, and for a launcher that is no link.
std::string LinkedLauncherFault(const PayloadRules::Launcher &launcher);

#endif
