#include "format/contract.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
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

std::string ContractChecker::Add(const Entry &entry) {
    const std::string raw = Printable(entry.name);
    const CanonicalName canonical = Canonicalize(entry.name);
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
