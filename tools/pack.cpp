// The packer's commands: gathering members from a directory or a gzip'd tar, writing the installer
// file, and reading installers back for --list and --verify.
#include "tools/pack.h"
#include "format/contract.h"
#include "posix/error.h"
#include "posix/path.h"
#include "tools/fdio.h"
#include "tools/outputfile.h"
#include "tools/owners.h"
#include "format/payloadguard.h"
#include "tools/payloadwriter.h"
#include "tools/tarreader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <vector>

namespace {

const char kOnlyWhatPacks[] = "; only directories, regular files and symbolic links can be packed";

bool SameFile(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// A symbolic link's target, as long as lstat said.
std::string ReadLink(const std::string &path, const struct stat &st) {
    std::string target(static_cast<std::size_t>(st.st_size) + 1, '\0');
    const ssize_t n = readlink(path.c_str(), target.data(), target.size());
    if (n < 0) throw SystemError(path, "cannot read the symbolic link");
    if (static_cast<std::size_t>(n) >= target.size()) throw PackError(path + ": changed while being packed");
    target.resize(static_cast<std::size_t>(n));
    return target;
}

std::string RealPath(const std::string &path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) throw SystemError(path, "cannot resolve");
    return resolved;
}

// ---- the output ----

// OUTPUT must not replace what the pack reads, nor land where a later pack of SOURCE would take it in.
void CheckOutput(const PackOptions &o, const struct stat &image, const struct stat &source) {
    struct stat st;
    if (stat(o.output.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) throw PackError(o.output + ": is a directory");
        if (SameFile(st, image)) throw PackError(o.output + ": would overwrite the program image " + o.image);
        if (SameFile(st, source)) throw PackError(o.output + ": would overwrite the source " + o.source);
    }
    if (S_ISDIR(source.st_mode)) {
        const std::string where = RealPath(DirectoryOf(o.output));
        const std::string root = RealPath(o.source);
        if (where == root || where.rfind(root == "/" ? root : root + "/", 0) == 0)
            throw PackError(o.output + ": lies inside the source directory " + o.source +
                            ", where it would be packed too");
    }
}

// ---- a directory source ----

void WalkDirectory(const std::string &root, const std::string &name, std::vector<Member> &members) {
    const std::string path = name.empty() ? root : root + "/" + name;
    Dir dir(opendir(path.c_str()));
    if (!dir) throw SystemError(path, "cannot read the directory");
    std::vector<std::string> names;
    errno = 0;
    while (const struct dirent *entry = readdir(dir.get())) {
        const std::string child = entry->d_name;
        if (child != "." && child != "..") names.push_back(child);
        errno = 0;
    }
    if (errno != 0) throw SystemError(path, "cannot read the directory");
    dir.reset();

    for (const std::string &child : names) {
        Member m;
        m.name = name.empty() ? child : name + "/" + child;
        m.path = root + "/" + m.name;
        struct stat st;
        if (lstat(m.path.c_str(), &st) != 0) throw SystemError(m.path, "cannot examine");
        m.type = TypeOfMode(st.st_mode);
        if (m.type != MemberType::Directory && m.type != MemberType::File && m.type != MemberType::Symlink)
            throw PackError(m.path + ": " + DescribeType(m.type) + kOnlyWhatPacks);
        m.permissions = m.type == MemberType::Symlink ? 0777 : st.st_mode & 0777;
        m.mtime = st.st_mtime;
        if (m.type == MemberType::File) {
            m.size = static_cast<std::uint64_t>(st.st_size);
            // Names of one file: all but the first in the payload become hard links to it.
            if (st.st_nlink > 1) m.identity = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
        } else if (m.type == MemberType::Symlink) {
            m.link = ReadLink(m.path, st);
        }
        members.push_back(m);
        if (m.type == MemberType::Directory) WalkDirectory(root, m.name, members);
    }
}

std::vector<Member> CollectDirectory(const std::string &source, const struct stat &st) {
    std::vector<Member> members(1);
    members[0].type = MemberType::Directory;
    members[0].permissions = st.st_mode & 0777;
    members[0].mtime = st.st_mtime;
    WalkDirectory(source, "", members);
    return members;
}

// ---- an archive source ----

// The archive's members, with their content spooled to `spool` so that they can be written in
// the payload's order.
std::vector<Member> CollectArchive(const std::string &source, std::FILE *spool) {
    Fd fd(open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) throw SystemError(source, "cannot open");
    struct stat st;
    if (fstat(fd.get(), &st) != 0) throw SystemError(source, "cannot examine");
    TarReader reader(fd.get(), 0, static_cast<std::uint64_t>(st.st_size), false, source, "the archive");

    std::vector<Member> members;
    std::map<std::string, std::size_t> index;
    std::uint64_t spooled = 0;
    while (struct archive_entry *entry = reader.Next()) {
        const char *rawName = archive_entry_pathname(entry);
        if (rawName == nullptr) throw PackError(source + ": a member's name cannot be read");
        const std::string where = source + ": " + rawName;
        const CanonicalName canonical = Canonicalize(rawName);
        if (canonical.fault) throw PackError(where + ": " + canonical.fault);
        if (index.count(canonical.name)) throw PackError(where + ": appears twice in the archive");

        const MemberType type = TypeOfEntry(entry);
        Member m;
        m.name = canonical.name;
        m.permissions = archive_entry_perm(entry) & 0777;
        m.mtime = archive_entry_mtime(entry);
        if (type == MemberType::HardLink) {
            // Another name for content already read; the payload links the names as the archive does.
            const CanonicalName target = Canonicalize(archive_entry_hardlink(entry));
            const auto it = target.fault ? index.end() : index.find(target.name);
            if (it == index.end() || members[it->second].type != MemberType::File)
                throw PackError(where + ": a hard link to " + archive_entry_hardlink(entry) +
                                ", which the archive does not hold as a regular file before it");
            Member &file = members[it->second];
            if (file.identity.empty()) file.identity = file.name;
            m.identity = file.identity;
            m.size = file.size;
            m.spoolOffset = file.spoolOffset;
        } else if (type == MemberType::Directory) {
            m.type = MemberType::Directory;
        } else if (type == MemberType::Symlink) {
            m.type = MemberType::Symlink;
            const char *target = archive_entry_symlink(entry);
            m.link = target ? target : "";
            m.permissions = 0777;
        } else if (type == MemberType::File) {
            if (m.name.empty()) throw PackError(where + ": names the top directory but is a regular file");
            m.spoolOffset = spooled;
            reader.ReadData([&](const char *data, std::size_t n) {
                if (std::fwrite(data, 1, n, spool) != n) throw SystemError(source, "cannot spool the archive's content");
                spooled += n;
            });
            m.size = spooled - m.spoolOffset;
        } else {
            throw PackError(where + ": " + DescribeType(type) + kOnlyWhatPacks);
        }
        index[m.name] = members.size();
        members.push_back(m);
    }
    reader.Finish();
    if (std::fflush(spool) != 0) throw SystemError(source, "cannot spool the archive's content");

    // Directories the archive leaves implicit ("./" among them) are made as tar would make them.
    std::int64_t newest = 0;
    for (const Member &m : members) newest = std::max(newest, m.mtime);
    for (std::size_t i = 0, n = members.size(); i < n; ++i) {
        std::string name = members[i].name;
        while (!name.empty()) {
            const std::string parent = ParentOf(name);
            const auto it = index.find(parent);
            if (it != index.end()) {
                if (members[it->second].type != MemberType::Directory)
                    throw PackError(source + ": " + members[i].name + ": lies under " + parent +
                                    ", which is not a directory");
                break;
            }
            Member dir;
            dir.name = parent;
            dir.type = MemberType::Directory;
            dir.permissions = 0755;
            dir.mtime = newest;
            index[parent] = members.size();
            members.push_back(dir);
            name = parent;
        }
    }
    return members;
}

// ---- the payload ----

// "./" first, then byte order, which puts every directory ahead of its contents; the launcher last.
void SortMembers(std::vector<Member> &members) {
    std::sort(members.begin(), members.end(), [](const Member &a, const Member &b) {
        const bool aLast = a.name == kLauncherName, bLast = b.name == kLauncherName;
        if (aLast != bLast) return bLast;
        return a.name < b.name;
    });
}

// Every name of a file after its first in the payload becomes a hard link to that first, as tar
// makes them; the launcher stays a regular file of its own.
void LinkNames(std::vector<Member> &members) {
    std::map<std::string, std::string> first;  // identity -> the name that carries the content
    for (Member &m : members) {
        if (m.type != MemberType::File || m.identity.empty() || m.name == kLauncherName) continue;
        const auto known = first.emplace(m.identity, m.name);
        if (known.second) continue;
        m.type = MemberType::HardLink;
        m.link = known.first->second;
    }
}

// The members in payload order, held to the contract the installer holds them to, and to the
// packer's own habit: an executable launcher at the top, written last.
void CheckContract(const std::vector<Member> &members, const std::string &source) {
    ContractChecker contract;
    for (const Member &m : members) {
        if (m.name.empty()) continue;  // the destination is not the payload's to change
        Entry entry;
        entry.name = ArchiveName(m.name, m.type == MemberType::Directory);
        entry.type = m.type;
        entry.permissions = m.permissions;
        entry.link = m.type == MemberType::HardLink ? ArchiveName(m.link, false) : m.link;
        const std::string breach = contract.Add(entry);
        if (!breach.empty()) throw PackError(source + ": " + breach);
    }
    std::string breach = contract.Finish();
    const std::vector<std::string> launcher = LauncherWarnings(contract.judged());
    if (breach.empty() && !launcher.empty()) breach = launcher.front();
    if (!breach.empty()) throw PackError(source + ": " + breach);
}

void CopyImage(int image, const std::string &imagePath, int out, const std::string &outPath) {
    char chunk[1 << 16];
    for (;;) {
        const ssize_t n = ReadSome(image, chunk, sizeof chunk);
        if (n < 0) throw SystemError(imagePath, "cannot read");
        if (n == 0) break;
        WriteAll(out, chunk, static_cast<std::size_t>(n), outPath);
    }
}

// ---- installers ----

struct InstallerFile {
    File file;
    Trailer trailer;
    int fd() const { return fileno(file.get()); }
};

InstallerFile OpenInstaller(const std::string &path) {
    InstallerFile f;
    f.file.reset(std::fopen(path.c_str(), "rb"));
    if (!f.file) throw SystemError(path, "cannot open");
    struct stat st;
    if (fstat(f.fd(), &st) != 0) throw SystemError(path, "cannot examine");
    if (!S_ISREG(st.st_mode)) throw PackError(path + ": is not a regular file");
    f.trailer = ReadTrailer(f.file.get());
    if (!f.trailer.ok()) throw PackError(path + ": " + DescribeTrailerFault(f.trailer.fault));
    return f;
}

std::string ModeString(MemberType type, unsigned mode) {
    char s[] = "?---------";
    switch (type) {
    case MemberType::Directory: s[0] = 'd'; break;
    case MemberType::File: s[0] = '-'; break;
    case MemberType::HardLink: s[0] = 'h'; break;
    case MemberType::Symlink: s[0] = 'l'; break;
    case MemberType::CharDevice: s[0] = 'c'; break;
    case MemberType::BlockDevice: s[0] = 'b'; break;
    case MemberType::Fifo: s[0] = 'p'; break;
    case MemberType::Socket: s[0] = 's'; break;
    case MemberType::Unknown: break;
    }
    const char kLetters[] = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i)
        if (mode & (0400u >> i)) s[i + 1] = kLetters[i];
    if (mode & S_ISUID) s[3] = (mode & S_IXUSR) ? 's' : 'S';
    if (mode & S_ISGID) s[6] = (mode & S_IXGRP) ? 's' : 'S';
    if (mode & S_ISVTX) s[9] = (mode & S_IXOTH) ? 't' : 'T';
    return s;
}

// A name from libarchive as one line of text, whole.
std::string Whole(const char *name) { return name ? Printable(name, std::string::npos) : "?"; }

// The installer's own check (payloadguard.h) over the whole payload, inflated here as gunzip
// inflates it for the installer: what it admits installs, and nothing else does. The packer is
// stricter than gunzip on the gzip layer: one member, nothing but zeros behind it. Returns the
// members as the check judged them.
std::vector<Judged> CheckAsTheInstallerWill(const InstallerFile &f, const std::string &installer, ProgressLine *progress) {
    if (progress) progress->Start("verifying", f.trailer.payloadLength);
    GzipSource gzip(f.fd(), f.trailer.payloadOffset, f.trailer.payloadLength, true);
    if (progress) gzip.OnRead([progress](std::uint64_t n) { progress->Advance(n); });
    // Held to what root may install: extended attributes and ACLs that could grant are refused.
    ContractChecker::Where where;
    where.privileged = true;
    PayloadGuard guard(where);
    std::vector<unsigned char> chunk(256 << 10);
    for (;;) {
        const ssize_t n = gzip.Read(chunk.data(), chunk.size());
        if (n < 0) {
            if (gzip.followedByOther())
                throw PackError(installer + ": the payload's gzip member is followed by bytes that are not gzip data");
            throw PackError(installer + ": the payload " + gzip.fault());
        }
        if (n == 0) break;
        if (guard.Inspect(chunk.data(), static_cast<std::size_t>(n)) != PayloadGuard::Verdict::Admit)
            throw PackError(installer + ": " + guard.reason());
    }
    if (guard.End() != PayloadGuard::Verdict::Admit) throw PackError(installer + ": " + guard.reason());
    return guard.judged();
}

}  // namespace

void Pack(const PackOptions &options) {
    // "app/" and "app" name the same tree; messages should not say "app//bin".
    PackOptions o = options;
    while (o.source.size() > 1 && o.source.back() == '/') o.source.pop_back();

    Fd image(open(o.image.c_str(), O_RDONLY | O_CLOEXEC));
    if (!image) throw SystemError(o.image, "cannot open the program image");
    struct stat imageStat, sourceStat;
    if (fstat(image.get(), &imageStat) != 0) throw SystemError(o.image, "cannot examine");
    if (!S_ISREG(imageStat.st_mode) || imageStat.st_size == 0)
        throw PackError(o.image + ": is not a program image (not a regular file, or empty)");
    if (stat(o.source.c_str(), &sourceStat) != 0) throw SystemError(o.source, "cannot examine");
    if (!S_ISDIR(sourceStat.st_mode) && !S_ISREG(sourceStat.st_mode))
        throw PackError(o.source + ": is neither a directory nor a gzip'd tar");
    CheckOutput(o, imageStat, sourceStat);

    std::vector<Member> members;
    File spool;
    if (S_ISDIR(sourceStat.st_mode)) {
        members = CollectDirectory(o.source, sourceStat);
    } else {
        spool.reset(std::tmpfile());
        if (!spool) throw SystemError(o.source, "cannot make a spool file for the archive's content");
        members = CollectArchive(o.source, spool.get());
    }
    SortMembers(members);
    LinkNames(members);
    CheckContract(members, o.source);
    if (o.sourceDateEpoch)
        for (Member &m : members) m.mtime = std::min(m.mtime, *o.sourceDateEpoch);

    OutputFile out(o.output);
    CopyImage(image.get(), o.image, out.fd(), o.output);
    PayloadWriter writer(out.fd(), o.payloadLimit, o.output, o.source, o.jobs);
    if (o.progress) {
        std::uint64_t content = 0;
        // A hard link's content is stored once, with the file it links to.
        for (const Member &m : members)
            if (m.type == MemberType::File) content += m.size;
        o.progress->Start("packing", content);
        writer.OnContent([&o](std::uint64_t n) { o.progress->Advance(n); });
    }
    for (const Member &m : members) {
        if (m.name.empty()) continue;  // no "./": the destination's owner and mode stay the user's
        if (m.type == MemberType::Directory) {
            writer.AddDirectory(m);
        } else if (m.type != MemberType::File) {
            writer.AddLink(m);
        } else if (spool) {
            writer.AddFile(m, fileno(spool.get()), m.spoolOffset, o.source + ": " + ArchiveName(m.name, false));
        } else {
            // The tree may have changed since it was walked; take only what still fits the header.
            Fd file(open(m.path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            if (!file) throw SystemError(m.path, "cannot read");
            struct stat st;
            if (fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) != m.size)
                throw PackError(m.path + ": changed while being packed");
            writer.AddFile(m, file.get(), 0, m.path);
        }
    }
    const std::uint64_t length = writer.Finish();
    if (o.progress) o.progress->Clear();
    const std::string trailer = FormatTrailer(static_cast<std::uint32_t>(length));
    WriteAll(out.fd(), trailer.data(), trailer.size(), o.output);
    out.Commit(0755);
}

void List(const std::string &installer, std::FILE *out) {
    InstallerFile f = OpenInstaller(installer);
    TarReader reader(f.fd(), f.trailer.payloadOffset, f.trailer.payloadLength, true, installer, "the payload");
    while (struct archive_entry *entry = reader.Next()) {
        const MemberType type = TypeOfEntry(entry);
        std::string line = ModeString(type, archive_entry_mode(entry) & 07777);
        char size[32];
        std::snprintf(size, sizeof size, " %12lld ", static_cast<long long>(archive_entry_size(entry)));
        line += size + Whole(archive_entry_pathname(entry));
        if (type == MemberType::Symlink) line += " -> " + Whole(archive_entry_symlink(entry));
        if (type == MemberType::HardLink) line += " link to " + Whole(archive_entry_hardlink(entry));
        std::fprintf(out, "%s\n", line.c_str());
    }
    reader.Finish();
    if (std::fflush(out) != 0) throw SystemError("standard output", "cannot write");
}

std::string Verify(const std::string &installer, ProgressLine *progress, std::vector<std::string> *warnings) {
    InstallerFile f = OpenInstaller(installer);
    if (f.trailer.payloadOffset == 0) throw PackError(installer + ": no program image stands in front of the payload");
    const std::vector<Judged> members = CheckAsTheInstallerWill(f, installer, progress);
    if (progress) progress->Clear();
    if (warnings) *warnings = LauncherWarnings(members);
    return installer + ": sound: " + std::to_string(members.size()) + " members in a payload of " +
           std::to_string(f.trailer.payloadLength) + " bytes behind a program image of " +
           std::to_string(f.trailer.payloadOffset) + " bytes";
}
