#include "format/contract.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <cstdio>
#include <vector>

namespace {

const char kOnlyWhatInstalls[] =
    "; only directories, regular files, symbolic links and hard links may be installed";

bool HasControl(const std::string &s) {
    return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// Calls `each(start, end)` for every stretch of `path` between slashes, empty ones included, from
// the first to the last; stops early where `each` returns false.
template <typename Each>
void ForEachComponent(const std::string &path, Each each) {
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        if (!each(start, slash)) return;
        start = slash + 1;
    }
}

// The components of a path, without empty and "." ones.
std::vector<std::string> Components(const std::string &path) {
    std::vector<std::string> parts;
    ForEachComponent(path, [&](std::size_t start, std::size_t end) {
        const std::string part = path.substr(start, end - start);
        if (!part.empty() && part != ".") parts.push_back(part);
        return true;
    });
    return parts;
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

namespace {

const char kAttributeRemedy[] = " (GNU tar stores none unless told to; bsdtar --no-xattrs --no-acls leaves them out)";

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

}  // namespace

bool IsAttributeKeyword(const std::string &keyword) {
    for (const char *prefix : {"SCHILY.xattr.", "LIBARCHIVE.xattr.", "SCHILY.acl.", "RHT.security."})
        if (keyword.compare(0, std::strlen(prefix), prefix) == 0 && keyword.size() > std::strlen(prefix)) return true;
    return false;
}

std::string AttributeFault(const std::string &keyword, const std::string &value, bool privileged) {
    // tar run by anyone else restores only what that user may set anyway.
    if (!privileged) return "";
    if (keyword.compare(0, 11, "SCHILY.acl.") == 0) {
        // NFSv4 ACLs (SCHILY.acl.ace) name principals the way no Linux file system takes them.
        if ((keyword == "SCHILY.acl.access" || keyword == "SCHILY.acl.default") && OnlyOwnerEntries(value)) return "";
        return "carries an ACL (" + Printable(keyword, 64) +
               ") granting access to others than its owner, which tar run by root may restore" + kAttributeRemedy;
    }
    std::string name;
    if (keyword.compare(0, 13, "SCHILY.xattr.") == 0) name = keyword.substr(13);
    if (keyword.compare(0, 17, "LIBARCHIVE.xattr.") == 0) name = Unescaped(keyword.substr(17));
    if (keyword.compare(0, 13, "RHT.security.") == 0) name = keyword.substr(4);
    // user.* is data about the file the user may set on any file of their own. security.* holds
    // file capabilities and SELinux and Smack labels (an executable's label can choose the domain
    // it runs in), trusted.* root's own records, system.* ACLs in binary form: root restoring any
    // of them for a supplier could grant access or privilege.
    if (name.compare(0, 5, "user.") == 0 && name.size() > 5) return "";
    return "carries the extended attribute " + Printable(name, 64) +
           ", which could grant access or privilege where tar run by root restores it" + kAttributeRemedy;
}

CanonicalName Canonicalize(const std::string &raw) {
    CanonicalName result;
    if (raw.empty()) {
        result.fault = "has an empty name";
        return result;
    }
    if (HasControl(raw)) {
        result.fault = "has a control character in its name";
        return result;
    }
    if (raw[0] == '/') {
        result.fault = "has an absolute name";
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
    const char *fault = nullptr;
    bool climbs = false;
    ForEachComponent(rest, [&](std::size_t start, std::size_t end) {
        const std::size_t length = end - start;
        climbs = length == 2 && rest.compare(start, 2, "..") == 0;
        if (fault == nullptr && length == 0) fault = "has an empty component";
        if (fault == nullptr && length == 1 && rest[start] == '.') fault = "has a \".\" component";
        return !climbs;
    });
    if (climbs) {
        result.fault = "has a \"..\" component";
        return result;
    }
    result.fault = fault;
    if (fault == nullptr) result.name = rest;
    return result;
}

std::string ArchiveName(const std::string &canonical, bool directory) {
    if (canonical.empty()) return "./";
    return "./" + canonical + (directory ? "/" : "");
}

std::string ParentOf(const std::string &canonical) {
    const std::size_t slash = canonical.rfind('/');
    return slash == std::string::npos ? std::string() : canonical.substr(0, slash);
}

std::string SymlinkFault(const std::string &canonical, const std::string &target) {
    const std::string to = "a symbolic link to " + Printable(target);
    if (target.empty()) return "a symbolic link with an empty target";
    if (HasControl(target)) return to + ", a target with a control character";
    if (target[0] == '/')
        return to + ", an absolute target: make it relative, so that it works wherever the tree is installed";
    // Leading ".." climb from the link's directory; the link's depth is how far that may go.
    std::size_t climbs = 0;
    bool descended = false;
    for (const std::string &part : Components(target)) {
        if (part != "..") {
            descended = true;
        } else if (descended) {
            return to + ", with \"..\" after the start of its target";
        } else {
            ++climbs;
        }
    }
    const std::size_t depth = static_cast<std::size_t>(std::count(canonical.begin(), canonical.end(), '/'));
    if (climbs > depth) return to + ", which leads out of the tree";
    return "";
}

std::string ContractChecker::OnDisk(const std::string &name, MemberType type, const std::string &raw) {
    // tar follows a symbolic link that stands in the destination wherever the name goes through it,
    // and keeps one standing where a directory member comes (it finds a directory behind it), so an
    // earlier installation's link, or one made by hand, could lead the files out. Each path is
    // looked at once: what the payload itself puts there is judged by name.
    std::string path;
    for (std::size_t start = 0; start <= name.size();) {
        std::size_t slash = name.find('/', start);
        if (slash == std::string::npos) slash = name.size();
        path = name.substr(0, slash);
        start = slash + 1;
        const bool own = slash == name.size();
        if (own && type != MemberType::Directory) break;
        const auto member = seen_.find(path);
        if (member != seen_.end() && !own) continue;  // judged when it came
        auto it = looked_.find(path);
        if (it == looked_.end()) {
            struct stat st;
            const bool link = fstatat(where_.destination, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                              S_ISLNK(st.st_mode);
            it = looked_.emplace(path, link).first;
        }
        if (!it->second) continue;
        if (own) return "member " + raw + " is a directory where the destination holds a symbolic link";
        return "member " + raw + " would go through " + Printable(path) +
               ", a symbolic link that stands in the destination";
    }
    return "";
}

namespace {

// Whether tar run by root, taking a "./" member's owner, group and mode for the destination
// itself, would let anyone but root write there: an owner other than root may always change the
// mode of what it owns. Root is the number 0 under the name "root" or none.
bool WritableByOthers(const Entry &top) {
    const bool rootOwner = top.uid == 0 && (top.uname.empty() || top.uname == "root");
    const bool rootGroup = top.gid == 0 && (top.gname.empty() || top.gname == "root");
    return !rootOwner || (!rootGroup && (top.permissions & S_IWGRP)) || (top.permissions & S_IWOTH);
}

}  // namespace

std::string ContractChecker::Add(const Entry &entry) {
    const std::string raw = Printable(entry.name);
    const CanonicalName canonical = Canonicalize(entry.name);
    if (entry.name.empty()) return "a member has an empty name";
    if (canonical.fault) return "member " + raw + " " + canonical.fault;
    const std::string &name = canonical.name;
    const MemberType type = entry.type;
    if (type != MemberType::Directory && type != MemberType::File && type != MemberType::Symlink &&
        type != MemberType::HardLink) {
        const std::string kind = type == MemberType::Unknown && !entry.kind.empty() ? entry.kind : DescribeType(type);
        return "member " + raw + " is " + kind + kOnlyWhatInstalls;
    }
    if (canonical.directory && type != MemberType::Directory)
        return "member " + raw + " has a directory's name but is " + DescribeType(type);
    const unsigned setId = entry.permissions & (S_ISUID | S_ISGID);
    if (setId)
        return "member " + raw + " has the " +
               (setId == (S_ISUID | S_ISGID) ? "setuid and setgid bits" : setId == S_ISUID ? "setuid bit" : "setgid bit");
    if (name.empty() && where_.root && WritableByOthers(entry))
        return "member " + raw + " would make the destination writable by others";
    if (seen_.count(name)) return "member " + raw + " appears twice";
    // A name under a link or a file of the payload: tar would follow the link, or fail.
    for (std::size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
        const auto it = seen_.find(name.substr(0, slash));
        if (it == seen_.end() || it->second.type == MemberType::Directory) continue;
        return "member " + raw + " lies under " + Printable(it->second.raw) + ", which is " +
               (it->second.type == MemberType::Symlink ? "a symbolic link" : "not a directory");
    }
    std::string link = entry.link;
    if (type == MemberType::Symlink) {
        const std::string fault = SymlinkFault(name, entry.link);
        if (!fault.empty()) return "member " + raw + " is " + fault;
    } else if (type == MemberType::HardLink) {
        // tar links to the name the header gives, which must be a file this payload made.
        const std::string to = "member " + raw + " is a hard link to " + Printable(entry.link);
        const CanonicalName target = Canonicalize(entry.link);
        const auto it = target.fault || target.directory ? seen_.end() : seen_.find(target.name);
        if (it == seen_.end()) return to + ", which no member before it is";
        if (it->second.type != MemberType::File)
            return to + ", which is " + DescribeType(it->second.type) + ", not a regular file";
        link = target.name;
    }
    if (where_.destination >= 0 && !name.empty()) {
        const std::string fault = OnDisk(name, type, raw);
        if (!fault.empty()) return fault;
    }
    seen_[name] = Seen{type, entry.name};
    judged_.push_back(Judged{name, type, link, entry.permissions & 07777});
    return "";
}

std::string ContractChecker::Finish() const {
    if (judged_.empty()) return "the payload holds no members";
    return "";
}

std::vector<std::string> LauncherWarnings(const std::vector<Judged> &members) {
    const std::string launcher = "the launcher " + ArchiveName(kLauncherName, false);
    const auto it = std::find_if(members.begin(), members.end(), [](const Judged &m) { return m.name == kLauncherName; });
    if (it == members.end()) return {"the payload holds no launcher " + ArchiveName(kLauncherName, false)};
    std::vector<std::string> warnings;
    if (it->type != MemberType::File) {
        warnings.push_back(launcher + " is not a regular file");
    } else if (!(it->permissions & S_IXUSR)) {
        char mode[16];
        std::snprintf(mode, sizeof mode, "%04o", it->permissions & 07777);
        warnings.push_back(launcher + " is not executable (mode " + mode + ")");
    }
    if (it + 1 != members.end()) warnings.push_back(launcher + " is not the last member");
    return warnings;
}
