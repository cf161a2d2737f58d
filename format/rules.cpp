#include "format/rules.h"

#include "posix/path.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

namespace {

bool HasControl(const std::string &s) {
    return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

}  // namespace

const char kLauncherName[] = "sonaris";

MemberType TypeOfMode(mode_t mode) {
    if (S_ISDIR(mode)) return MemberType::Directory;
    if (S_ISREG(mode)) return MemberType::File;
    if (S_ISLNK(mode)) return MemberType::Symlink;
    if (S_ISCHR(mode)) return MemberType::CharDevice;
    if (S_ISBLK(mode)) return MemberType::BlockDevice;
    if (S_ISFIFO(mode)) return MemberType::Fifo;
    if (S_ISSOCK(mode)) return MemberType::Socket;
    return MemberType::Unknown;
}

const char *DescribeType(MemberType type) {
    switch (type) {
    case MemberType::Directory: return "a directory";
    case MemberType::File: return "a regular file";
    case MemberType::HardLink: return "a hard link";
    case MemberType::Symlink: return "a symbolic link";
    case MemberType::CharDevice: return "a character device";
    case MemberType::BlockDevice: return "a block device";
    case MemberType::Fifo: return "a fifo";
    case MemberType::Socket: return "a socket";
    case MemberType::Unknown: break;
    }
    return "of an unknown type";
}

std::string Printable(const std::string &name, std::size_t limit) {
    std::string out;
    for (unsigned char c : name.substr(0, limit)) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\%03o", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return name.size() > limit ? out + "..." : out;
}

std::string MemberLabel(const std::string &name) {
    return name.empty() ? "a member with an empty name" : "member " + Printable(name);
}

const char *SetIdBits(unsigned mode) {
    const unsigned bits = mode & (S_ISUID | S_ISGID);
    return bits == (S_ISUID | S_ISGID) ? "setuid and setgid bits" : bits == S_ISUID ? "setuid bit" : "setgid bit";
}

namespace {

// libarchive writes an attribute's name with "%XX" for bytes outside printable ASCII and for "%" and "=".
std::string Unescaped(const std::string &name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '%' && i + 2 < name.size() && std::isxdigit(static_cast<unsigned char>(name[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(name[i + 2]))) {
            out += static_cast<char>(std::stoi(name.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += name[i];
        }
    }
    return out;
}

// An ACL in its text form ("user::rw-,user:alice:rwx:1000,group::r--,mask::rwx,other::r--", entries
// also split by line breaks): true when every entry is the owner's, the owning group's, others' or
// the mask, which grant nothing the mode does not.
bool OnlyOwnerEntries(const std::string &acl) {
    std::size_t start = 0;
    while (start <= acl.size()) {
        std::size_t end = acl.find_first_of(",\n", start);
        if (end == std::string::npos) end = acl.size();
        std::string entry = acl.substr(start, end - start);
        start = end + 1;
        while (!entry.empty() && entry.front() == ' ') entry.erase(0, 1);
        if (entry.empty()) continue;
        const std::size_t colon = entry.find(':');
        if (colon == std::string::npos) return false;
        const std::string tag = entry.substr(0, colon);
        const bool ownTag = tag == "user" || tag == "u" || tag == "group" || tag == "g" || tag == "other" ||
                            tag == "o" || tag == "mask" || tag == "m";
        // "other:r--" and "mask:rwx" may come without the empty qualifier.
        const std::size_t next = entry.find(':', colon + 1);
        const bool qualified = next != std::string::npos && next != colon + 1 && tag != "other" && tag != "o" &&
                               tag != "mask" && tag != "m";
        if (!ownTag || qualified) return false;
    }
    return true;
}

// What the rest of an attribute record's keyword names.
enum class Names { Acl, Attribute, EscapedAttribute, SecurityAttribute };

struct AttributePrefix {
    const char *prefix;
    Names names;
};

// The pax records that carry extended attributes and ACLs: star's and GNU tar's, libarchive's,
// and the security.* records of Red Hat's tar (its name after "RHT.").
const AttributePrefix kAttributePrefixes[] = {
    {"SCHILY.xattr.", Names::Attribute},
    {"LIBARCHIVE.xattr.", Names::EscapedAttribute},
    {"SCHILY.acl.", Names::Acl},
    {"RHT.security.", Names::SecurityAttribute},
};

// The prefix `keyword` begins with, something behind it; null for none.
const AttributePrefix *FindPrefix(const std::string &keyword) {
    for (const AttributePrefix &p : kAttributePrefixes) {
        const std::size_t n = std::strlen(p.prefix);
        if (keyword.size() > n && keyword.compare(0, n, p.prefix) == 0) return &p;
    }
    return nullptr;
}

}  // namespace

bool IsAttributeKeyword(const std::string &keyword) { return FindPrefix(keyword) != nullptr; }

BrokenRule AttributeFault(const std::string &label, const std::string &keyword, const std::string &value, bool privileged) {
    // tar run by anyone else restores only what that user may set anyway.
    if (!privileged) return {};
    const AttributePrefix *p = FindPrefix(keyword);
    const std::string rest = p ? keyword.substr(std::strlen(p->prefix)) : std::string();
    if (p && p->names == Names::Acl) {
        // NFSv4 ACLs (SCHILY.acl.ace) name principals the way no Linux file system takes them.
        if ((rest == "access" || rest == "default") && OnlyOwnerEntries(value)) return {};
        return Say(Rule::Acl, {label, Printable(keyword, 64)});
    }
    std::string name;
    if (p && p->names == Names::Attribute) name = rest;
    if (p && p->names == Names::EscapedAttribute) name = Unescaped(rest);
    if (p && p->names == Names::SecurityAttribute) name = "security." + rest;
    // user.* is data about the file the user may set on any file of their own. security.* holds
    // file capabilities and SELinux and Smack labels (an executable's label can choose the domain
    // it runs in), trusted.* root's own records, system.* ACLs in binary form: root restoring any
    // of them for a supplier could grant access or privilege.
    static const char kUser[] = "user.";
    if (name.size() > sizeof kUser - 1 && name.compare(0, sizeof kUser - 1, kUser) == 0) return {};
    return Say(Rule::Attribute, {label, Printable(name, 64)});
}

CanonicalName Canonicalize(const std::string &raw) {
    CanonicalName result;
    if (raw.empty()) {
        result.rule = Rule::NoName;
        return result;
    }
    if (HasControl(raw)) {
        result.rule = Rule::ControlInName;
        return result;
    }
    if (raw[0] == '/') {
        result.rule = Rule::AbsoluteName;
        return result;
    }
    // Every tar takes "./" and "." for the top, and one leading "./" for nothing.
    std::string rest = raw == "." ? std::string() : raw.compare(0, 2, "./") == 0 ? raw.substr(2) : raw;
    if (!rest.empty() && rest.back() == '/') {
        result.directory = true;
        rest.pop_back();
    }
    if (rest.empty()) {
        result.directory = true;
        return result;
    }
    Rule fault = Rule::Sound;
    bool climbs = false;
    ForEachComponent(rest, [&](std::size_t start, std::size_t end) {
        const std::size_t length = end - start;
        climbs = length == 2 && rest.compare(start, 2, "..") == 0;
        if (fault == Rule::Sound && length == 0) fault = Rule::EmptyPart;
        if (fault == Rule::Sound && length == 1 && rest[start] == '.') fault = Rule::DotPart;
        return !climbs;
    });
    if (climbs) {
        result.rule = Rule::DotDotPart;
        return result;
    }
    result.rule = fault;
    if (fault == Rule::Sound) result.name = rest;
    return result;
}

std::string ArchiveName(const std::string &canonical, bool directory) {
    if (canonical.empty()) return "./";
    return "./" + canonical + (directory ? "/" : "");
}

Rule SymlinkFault(const std::string &canonical, const std::string &target) {
    if (target.empty()) return Rule::LinkEmpty;
    if (HasControl(target)) return Rule::LinkControl;
    if (target[0] == '/') return Rule::LinkAbsolute;
    // Leading ".." climb from the link's directory; the link's depth is how far that may go.
    std::size_t climbs = 0;
    bool descended = false;
    for (const std::string &part : Components(target)) {
        if (part != "..") {
            descended = true;
        } else if (descended) {
            return Rule::LinkDownThenUp;
        } else {
            ++climbs;
        }
    }
    const std::size_t depth = static_cast<std::size_t>(std::count(canonical.begin(), canonical.end(), '/'));
    return climbs > depth ? Rule::LinkOut : Rule::Sound;
}

// ---- the names met ----

NameTree::NameTree() : slots_(1024, 0) {
    pages_.emplace_back(new Node[std::size_t{1} << kPageBits]);
    At(kTop) = Node{kNone, 0, 0, 0, 0};
    count_ = 1;  // the top is found by its number, never through the slots
}

std::uint64_t NameTree::Hash(std::uint32_t parent, const char *component, std::size_t n) {
    std::uint64_t h = 0xcbf29ce484222325ull ^ (parent * 0x9e3779b97f4a7c15ull);
    for (std::size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(component[i])) * 0x100000001b3ull;
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    return h ^ (h >> 33);
}

bool NameTree::Is(const Node &node, std::uint32_t parent, const char *component, std::size_t n) const {
    return node.parent == parent && node.length == n && std::memcmp(chunks_[node.chunk].get() + node.at, component, n) == 0;
}

std::uint32_t NameTree::Find(std::uint32_t parent, const char *component, std::size_t n) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = Hash(parent, component, n) & mask;; i = (i + 1) & mask) {
        const std::uint32_t slot = slots_[i];
        if (slot == 0) return kNone;
        if (Is(At(slot - 1), parent, component, n)) return slot - 1;
    }
}

void NameTree::Grow() {
    std::vector<std::uint32_t> slots(slots_.size() * 2, 0);
    const std::size_t mask = slots.size() - 1;
    for (const std::uint32_t slot : slots_) {
        if (slot == 0) continue;
        const Node &node = At(slot - 1);
        std::size_t i = Hash(node.parent, chunks_[node.chunk].get() + node.at, node.length) & mask;
        while (slots[i] != 0) i = (i + 1) & mask;
        slots[i] = slot;
    }
    slots_.swap(slots);
}

std::uint32_t NameTree::Insert(std::uint32_t parent, const char *component, std::size_t n) {
    const std::uint32_t found = Find(parent, component, n);
    return found != kNone ? found : Make(parent, component, n);
}

std::uint32_t NameTree::Make(std::uint32_t parent, const char *component, std::size_t n) {
    // Linear probing stays short below three quarters full.
    if ((std::size_t{count_} + 1) * 4 > slots_.size() * 3) Grow();
    if ((count_ & ((1u << kPageBits) - 1)) == 0) pages_.emplace_back(new Node[std::size_t{1} << kPageBits]);
    // A chunk is allocated whole but only touched as it fills; a long component gets one of its own.
    if (n > kChunk / 4) {
        chunks_.emplace_back(new char[n]);
        chunkFill_ = kChunk;
    } else if (chunkFill_ + n > kChunk) {
        chunks_.emplace_back(new char[kChunk]);
        chunkFill_ = 0;
    }
    const std::uint32_t chunk = static_cast<std::uint32_t>(chunks_.size() - 1);
    const std::uint32_t at = n > kChunk / 4 ? 0 : static_cast<std::uint32_t>(chunkFill_);
    if (n > 0) std::memcpy(chunks_[chunk].get() + at, component, n);
    if (n <= kChunk / 4) chunkFill_ += n;
    const std::uint32_t node = count_++;
    At(node) = Node{parent, static_cast<std::uint32_t>(n), chunk, at, 0};
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = Hash(parent, component, n) & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = node + 1;
    return node;
}

// ---- the checker ----

namespace {

// The node of a canonical name, or NameTree::kNone where no name met so far has it.
std::uint32_t Lookup(const NameTree &names, const std::string &canonical) {
    std::uint32_t node = NameTree::kTop;
    ForEachComponent(canonical, [&](std::size_t start, std::size_t end) {
        node = names.Find(node, canonical.data() + start, end - start);
        return node != NameTree::kNone;
    });
    return node;
}

// Where the component that ends at `ends[i]` begins, `ends` holding each end ForEachComponent gives.
std::size_t StartOf(const std::vector<std::size_t> &ends, std::size_t i) { return i == 0 ? 0 : ends[i - 1] + 1; }

// The 0111 bits of `permissions` in three bits, and back.
unsigned PackedExecute(unsigned permissions) {
    return (permissions >> 4 & 04) | (permissions >> 2 & 02) | (permissions & 01);
}
unsigned UnpackedExecute(unsigned packed) { return (packed & 04) << 4 | (packed & 02) << 2 | (packed & 01); }

std::string JoinedParts(const std::vector<std::string> &parts) {
    std::string path;
    for (const std::string &part : parts) path += (path.empty() ? "" : "/") + part;
    return path;
}

}  // namespace

BrokenRule PayloadRules::OnDisk(const std::string &name, MemberType type, const std::string &given) {
    // tar follows a symbolic link that stands in the destination wherever the name goes through it,
    // and keeps one standing where a directory member comes (it finds a directory behind it), so an
    // earlier installation's link, or one made by hand, could lead the files out. Each path is
    // looked at once: what the payload itself puts there is judged by name.
    for (std::size_t i = 0; i < ends_.size(); ++i) {
        const std::size_t start = StartOf(ends_, i), end = ends_[i];
        const bool own = end == name.size();
        if (own && type != MemberType::Directory) break;
        std::uint32_t &node = path_[i];
        if (node == NameTree::kNone) node = names_.Make(i == 0 ? NameTree::kTop : path_[i - 1], name.data() + start, end - start);
        if ((names_.flags(node) & kTypeBits) && !own) continue;  // judged when it came
        if (!(names_.flags(node) & kLooked)) {
            struct stat st;
            const bool link = fstatat(where_.destination, name.substr(0, end).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                              S_ISLNK(st.st_mode);
            names_.flags(node) |= kLooked | (link ? kLinkOnDisk : 0);
        }
        if (!(names_.flags(node) & kLinkOnDisk)) continue;
        // Named as the destination holds it, for the one who clears it.
        const std::string there = Printable(name.substr(0, end));
        if (own) return Say(Rule::LinkWhereDirectory, {there});
        return Say(Rule::LinkOnTheWay, {there, MemberLabel(given)});
    }
    return {};
}

BrokenRule PayloadRules::Add(const Entry &entry) {
    // Messages only: most members pass.
    const auto member = [&entry] { return MemberLabel(entry.name); };
    const CanonicalName canonical = Canonicalize(entry.name);
    if (!canonical.ok()) return Say(canonical.rule, {member()});
    const std::string &name = canonical.name;
    const MemberType type = entry.type;
    if (type != MemberType::Directory && type != MemberType::File && type != MemberType::Symlink &&
        type != MemberType::HardLink) {
        const std::string kind = type == MemberType::Unknown && !entry.kind.empty() ? entry.kind : DescribeType(type);
        return Say(Rule::NotInstallable, {member(), kind});
    }
    if (canonical.directory && type != MemberType::Directory)
        return Say(Rule::FileWithDirectoryName, {member(), DescribeType(type)});
    if (entry.permissions & (S_ISUID | S_ISGID)) return Say(Rule::SetId, {member(), SetIdBits(entry.permissions)});
    // The nodes of the name's components as far as they are known, the directories it shares with
    // the member before taken from that one (payload order keeps neighbours together); the first
    // member among its directories that is not a directory.
    ends_.clear();
    if (!name.empty())
        ForEachComponent(name, [&](std::size_t, std::size_t end) {
            ends_.push_back(end);
            return true;
        });
    std::size_t shared = 0;
    while (shared < ends_.size() && shared < path_.size() && ends_[shared] <= last_.size() &&
           (ends_[shared] == last_.size() || last_[ends_[shared]] == '/') &&
           name.compare(0, ends_[shared], last_, 0, ends_[shared]) == 0)
        ++shared;
    last_.clear();  // path_ is the new name's from here; last_ is set again once it is recorded
    path_.resize(ends_.size());
    std::uint32_t node = NameTree::kTop;
    std::size_t underEnd = std::string::npos;
    std::uint32_t under = NameTree::kNone;
    for (std::size_t i = 0; i < ends_.size(); ++i) {
        const std::size_t start = StartOf(ends_, i);
        if (i < shared) {
            node = path_[i];
        } else if (node != NameTree::kNone) {
            node = names_.Find(node, name.data() + start, ends_[i] - start);
        }
        path_[i] = node;
        const std::uint16_t flags = node == NameTree::kNone ? 0 : names_.flags(node);
        if (ends_[i] != name.size() && under == NameTree::kNone && (flags & kTypeBits) &&
            TypeOf(flags) != MemberType::Directory) {
            under = node;
            underEnd = ends_[i];
        }
    }
    if (node != NameTree::kNone && (names_.flags(node) & kTypeBits)) return Say(Rule::Twice, {member()});
    // A name under a link or a file of the payload: tar would follow the link, or fail.
    if (under != NameTree::kNone) {
        const std::uint16_t flags = names_.flags(under);
        const std::string underRaw = (flags & kDotSlash ? "./" : "") + name.substr(0, underEnd);
        return Say(TypeOf(flags) == MemberType::Symlink ? Rule::UnderLink : Rule::UnderFile,
                   {member(), Printable(underRaw)});
    }
    std::string link = entry.link;
    if (type == MemberType::Symlink) {
        const Rule fault = SymlinkFault(name, entry.link);
        if (fault != Rule::Sound) return Say(fault, {member(), Printable(entry.link)});
    } else if (type == MemberType::HardLink) {
        // tar links to the name the header gives, which must be a file this payload made.
        const CanonicalName target = Canonicalize(entry.link);
        const std::uint32_t it = !target.ok() || target.directory ? NameTree::kNone : Lookup(names_, target.name);
        const std::uint16_t flags = it == NameTree::kNone ? 0 : names_.flags(it);
        if (!(flags & kTypeBits)) return Say(Rule::HardLinkMissing, {member(), Printable(entry.link)});
        if (TypeOf(flags) != MemberType::File)
            return Say(Rule::HardLinkNotFile, {member(), Printable(entry.link), DescribeType(TypeOf(flags))});
        link = target.name;
    }
    if (where_.destination >= 0 && !name.empty()) {
        BrokenRule fault = OnDisk(name, type, entry.name);
        if (fault) return fault;
    }

    // Recorded: the name's directories as nodes, the name with its type.
    std::uint32_t parent = NameTree::kTop;
    for (std::size_t i = 0; i < ends_.size(); ++i) {
        const std::size_t start = StartOf(ends_, i);
        if (path_[i] == NameTree::kNone) path_[i] = names_.Make(parent, name.data() + start, ends_[i] - start);
        parent = path_[i];
    }
    last_ = name;
    const bool dotSlash = !name.empty() && entry.name.compare(0, 2, "./") == 0;
    const unsigned execute = type == MemberType::File || type == MemberType::HardLink
                                 ? PackedExecute(entry.permissions) << kExecuteShift
                                 : 0;
    names_.flags(parent) |= static_cast<std::uint16_t>((static_cast<unsigned>(type) + 1) | execute |
                                                       (dotSlash ? kDotSlash : 0));
    if (keepLinks_ && type == MemberType::Symlink) links_[parent] = entry.link;
    if (name == kLauncherName) {
        launcher_ = Launcher{true, type, entry.permissions & 07777, false,
                             type == MemberType::Symlink ? entry.link : std::string(), {}};
        launcherAt_ = members_;
    }
    ++members_;
    if (keep_) {
        judged_.push_back(entry);
        Entry &kept = judged_.back();
        kept.name = name;
        kept.type = type;
        kept.link = link;
        kept.permissions &= 07777;
    }
    return {};
}

BrokenRule PayloadRules::Finish() const {
    if (members_ == 0) return Say(Rule::NoMembers, {});
    return {};
}

bool PayloadRules::Holds(const std::string &canonical, MemberType *type) const {
    if (canonical.empty()) {
        if (type) *type = MemberType::Directory;
        return true;
    }
    const std::uint32_t node = Lookup(names_, canonical);
    if (node == NameTree::kNone || !(names_.flags(node) & kTypeBits)) return false;
    if (type) *type = TypeOf(names_.flags(node));
    return true;
}

PayloadRules::Launcher PayloadRules::launcher() const {
    Launcher l = launcher_;
    l.last = l.present && launcherAt_ + 1 == members_;
    if (l.present && keepLinks_) l.way = Lead(kLauncherName);
    return l;
}

PayloadRules::Way PayloadRules::Lead(const std::string &canonical) const {
    Way way;
    std::vector<std::string> at;  // what is reached, by its parts below the top
    std::deque<std::string> left;
    const std::vector<std::string> parts = Components(canonical);
    left.assign(parts.begin(), parts.end());
    std::uint16_t flags = 0;
    int links = 0;
    while (!left.empty()) {
        const std::string part = left.front();
        left.pop_front();
        if (part == "..") {
            if (at.empty()) {
                way.end = Way::End::Out;
                return way;
            }
            at.pop_back();
            continue;
        }
        at.push_back(part);
        way.name = JoinedParts(at);
        const std::uint32_t node = Lookup(names_, way.name);
        if (node == NameTree::kNone) return way;
        flags = names_.flags(node);
        const MemberType type = flags & kTypeBits ? TypeOf(flags) : MemberType::Directory;
        if (type == MemberType::Symlink) {
            const auto link = links_.find(node);
            if (++links > 40 || link == links_.end()) return way;
            at.pop_back();
            const std::vector<std::string> target = Components(link->second);
            left.insert(left.begin(), target.begin(), target.end());
            continue;
        }
        if (!left.empty() && type != MemberType::Directory) return way;
    }
    way.end = Way::End::Member;
    way.name = JoinedParts(at);
    flags = names_.flags(at.empty() ? NameTree::kTop : Lookup(names_, way.name));
    way.type = at.empty() || !(flags & kTypeBits) ? MemberType::Directory : TypeOf(flags);
    way.execute = UnpackedExecute((flags & kExecuteBits) >> kExecuteShift);
    return way;
}

std::string LauncherLabel() { return "the launcher " + ArchiveName(kLauncherName, false); }

std::string LauncherNotAFile() { return LauncherLabel() + " is not a regular file"; }

std::string LauncherNotExecutable(unsigned permissions) {
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", permissions & 07777);
    return LauncherLabel() + " is not executable (mode " + mode + ")";
}

namespace {

// "the launcher ./sonaris is a symbolic link to bin/real that leads"
std::string LinkedLauncherLeads(const PayloadRules::Launcher &l) {
    return LauncherLabel() + " is a symbolic link to " + Printable(l.link) + " that leads";
}

}  // namespace

std::string LinkedLauncherLeadsTo(const PayloadRules::Launcher &l) {
    return LinkedLauncherLeads(l) + " to " + Printable(ArchiveName(l.way.name, false));
}

std::string LinkedLauncherFault(const PayloadRules::Launcher &l) {
    if (!l.present || l.type != MemberType::Symlink) return "";
    const std::string it = LinkedLauncherLeads(l) + " ";
    const PayloadRules::Way &way = l.way;
    switch (way.end) {
    case PayloadRules::Way::End::Out: return it + "out of the tree";
    case PayloadRules::Way::End::Nothing: return it + "to nothing in the tree";
    case PayloadRules::Way::End::Member: break;
    }
    if (way.type == MemberType::File || way.type == MemberType::HardLink) return "";
    return it + "to " + Printable(ArchiveName(way.name, way.type == MemberType::Directory)) + ", " +
           DescribeType(way.type);
}

std::vector<std::string> LauncherWarnings(const PayloadRules::Launcher &l) {
    const std::string launcher = LauncherLabel();
    if (!l.present) return {"the payload holds no launcher " + ArchiveName(kLauncherName, false)};
    std::vector<std::string> warnings;
    // The installing user owns what tar makes and runs it by its owner's bit; root runs a file
    // anyone may execute.
    const auto runs = [&warnings](const std::string &file, unsigned execute, const std::string &otherwise) {
        if (execute & S_IXUSR) return;
        if (execute & (S_IXGRP | S_IXOTH))
            warnings.push_back(file + " only others than its owner may execute: it will run only when root installs");
        else
            warnings.push_back(otherwise);
    };
    const std::string fault = LinkedLauncherFault(l);
    if (!fault.empty()) {
        warnings.push_back(fault + ": it will not run");
    } else if (l.type == MemberType::Symlink) {
        const std::string file = LinkedLauncherLeadsTo(l) + ", which";
        runs(file, l.way.execute, file + " is not executable: it will not run");
    } else if (l.type != MemberType::File) {
        warnings.push_back(LauncherNotAFile());
    } else {
        char mode[16];
        std::snprintf(mode, sizeof mode, "%04o", l.permissions & 07777);
        runs(launcher + " (mode " + mode + ") is a file that", l.permissions, LauncherNotExecutable(l.permissions));
    }
    if (!l.last) warnings.push_back(launcher + " is not the last member");
    return warnings;
}
