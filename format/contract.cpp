#include "contract.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const char kOnlyWhatInstalls[] =
    "; only directories, regular files, symbolic links and hard links may be installed";

// The components of a path, without empty and "." ones.
std::vector<std::string> Components(const std::string &path) {
    std::vector<std::string> parts;
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        const std::string part = path.substr(start, slash - start);
        if (!part.empty() && part != ".") parts.push_back(part);
        start = slash + 1;
    }
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
    if (!raw.empty() && raw[0] == '/') {
        result.fault = "has an absolute name";
        return result;
    }
    std::size_t start = 0;
    while (start <= raw.size()) {
        std::size_t slash = raw.find('/', start);
        if (slash == std::string::npos) slash = raw.size();
        const std::string part = raw.substr(start, slash - start);
        if (part == "..") {
            result.fault = "has a \"..\" component";
            return result;
        }
        if (!part.empty() && part != ".") {
            if (!result.name.empty()) result.name += '/';
            result.name += part;
        }
        start = slash + 1;
    }
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

bool LauncherExecutable(unsigned permissions) { return (permissions & S_IXUSR) != 0; }

std::string SymlinkFault(const std::string &canonical, const std::string &target) {
    const std::string to = "a symbolic link to " + Printable(target);
    if (target.empty()) return "a symbolic link with an empty target";
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

std::string ContractChecker::Add(const Entry &entry) {
    const bool first = count_++ == 0;
    const std::string raw = Printable(entry.name);
    const CanonicalName canonical = Canonicalize(entry.name);
    if (canonical.fault) return "member " + raw + " " + canonical.fault;
    const std::string &name = canonical.name;
    MemberType type = entry.type;
    // tar makes a directory of an old-style regular file whose name ends in "/".
    if (type == MemberType::File && !entry.name.empty() && entry.name.back() == '/') type = MemberType::Directory;

    if (first && (!name.empty() || type != MemberType::Directory)) return "the first member is " + raw + ", not ./";
    if (type != MemberType::Directory && type != MemberType::File && type != MemberType::Symlink &&
        type != MemberType::HardLink) {
        const std::string kind = type == MemberType::Unknown && !entry.kind.empty() ? entry.kind : DescribeType(type);
        return "member " + raw + " is " + kind + kOnlyWhatInstalls;
    }
    if (seen_.count(name)) return "member " + raw + " appears twice";
    if (!name.empty()) {
        // Every directory is a member ahead of its contents: tar then replaces whatever stands at
        // its name in the destination (a link an earlier installation left, say) before going in.
        const std::string parent = ParentOf(name);
        const auto it = seen_.find(parent);
        if (it == seen_.end())
            return "member " + raw + " is not preceded by its directory " + ArchiveName(parent, true);
        if (it->second.type == MemberType::Symlink)
            return "member " + raw + " lies under " + Printable(it->second.raw) + ", which is a symbolic link";
        if (it->second.type != MemberType::Directory)
            return "member " + raw + " lies under " + Printable(it->second.raw) + ", which is not a directory";
    }
    if (launcherSeen_) return "the launcher " + launcherRaw_ + " is not the last member: " + raw + " follows it";
    seen_[name] = Seen{type, entry.name};

    if (name == kLauncherName) {
        launcherSeen_ = true;
        launcherRaw_ = raw;
        if (type != MemberType::File) return "the launcher " + raw + " is not a regular file";
        if (!LauncherExecutable(entry.permissions)) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", entry.permissions & 07777);
            return "the launcher " + raw + " is not executable (mode " + mode + ")";
        }
    }
    if (type == MemberType::Symlink) {
        const std::string fault = SymlinkFault(name, entry.link);
        if (!fault.empty()) return "member " + raw + " is " + fault;
    } else if (type == MemberType::HardLink && !files_.count(entry.link)) {
        // tar links to the name exactly as the header gives it.
        const std::string to = "member " + raw + " is a hard link to " + Printable(entry.link);
        const CanonicalName target = Canonicalize(entry.link);
        const auto it = target.fault ? seen_.end() : seen_.find(target.name);
        if (it == seen_.end() || it->first == name) return to + ", which no member before it is";
        if (it->second.type != MemberType::File)
            return to + ", which is " + DescribeType(it->second.type) + ", not a regular file";
        return to + ", not to the name the file was packed under, " + Printable(it->second.raw);
    } else if (type == MemberType::File) {
        files_.insert(entry.name);
    }
    return "";
}

std::string ContractChecker::Finish() const {
    if (count_ == 0) return "the payload holds no members";
    if (!launcherSeen_) return std::string("the payload holds no launcher ./") + kLauncherName;
    return "";
}
