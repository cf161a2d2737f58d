#include "contract.h"

#include <sys/stat.h>

#include <cstdio>

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

std::string ContractChecker::Add(const std::string &raw, MemberType type, unsigned permissions) {
    const bool first = count_++ == 0;
    const CanonicalName canonical = Canonicalize(raw);
    if (canonical.fault) return "member " + raw + " " + canonical.fault;
    const std::string &name = canonical.name;

    if (first && (!name.empty() || type != MemberType::Directory)) return "the first member is " + raw + ", not ./";
    if (type != MemberType::Directory && type != MemberType::File)
        return "member " + raw + " is " + DescribeType(type) + "; only directories and regular files may be installed";
    if (seen_.count(name)) return "member " + raw + " appears twice";
    if (!name.empty()) {
        const std::string parent = ParentOf(name);
        const auto it = seen_.find(parent);
        if (it == seen_.end())
            return "member " + raw + " is not preceded by its directory " + ArchiveName(parent, true);
        if (!it->second)
            return "member " + raw + " lies under " + ArchiveName(parent, false) + ", which is not a directory";
    }
    if (launcherSeen_) return "the launcher " + launcherRaw_ + " is not the last member: " + raw + " follows it";
    seen_[name] = type == MemberType::Directory;

    if (name == kLauncherName) {
        launcherSeen_ = true;
        launcherRaw_ = raw;
        if (type != MemberType::File) return "the launcher " + raw + " is not a regular file";
        if (!LauncherExecutable(permissions)) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", permissions & 07777);
            return "the launcher " + raw + " is not executable (mode " + mode + ")";
        }
    }
    return "";
}

std::string ContractChecker::Finish() const {
    if (count_ == 0) return "the payload holds no members";
    if (!launcherSeen_) return std::string("the payload holds no launcher ./") + kLauncherName;
    return "";
}
