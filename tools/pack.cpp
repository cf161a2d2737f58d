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
#include "tools/programimage.h"
#include "tools/sourcekind.h"
#include "tools/tarreader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <unordered_map>
#include <vector>

namespace {

const char kOnlyWhatPacks[] = "; only directories, regular files and symbolic links can be packed";

bool SameFile(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

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

// One name read from a directory, standing either for the entry itself or for what lies below it
// ("c/"). The payload holds the whole names in byte order, in which a directory's contents follow
// the names that sort between "c" and "c/" ("c-1", "c.txt"); sorting each directory's names with
// those of its subdirectories' contents so keyed gives that order without holding the whole tree.
struct Child {
    std::string name;
    bool below = false;
    mode_t mode = 0;
    std::int64_t mtime = 0;
    std::uint64_t size = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    nlink_t links = 0;
};

bool Before(const Child &a, const Child &b) {
    const std::size_t n = std::min(a.name.size(), b.name.size());
    const int c = std::memcmp(a.name.data(), b.name.data(), n);
    if (c != 0) return c < 0;
    const auto next = [n](const Child &x) {
        return x.name.size() > n ? static_cast<int>(static_cast<unsigned char>(x.name[n])) : x.below ? '/' : -1;
    };
    return next(a) < next(b);
}

// Calls `each(member, directory, child)` for every member below `source` but its top, in payload
// order; `directory` is a descriptor of the member's directory and `child` its name there, open
// during the call. A directory's descriptor stays open while its contents are walked.
class TreeWalk {
public:
    using Each = std::function<void(Member &member, int directory, const char *child)>;
    TreeWalk(std::string source, Each each) : source_(std::move(source)), each_(std::move(each)) {}

    void Run() {
        Fd top(open(source_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!top) throw SystemError(source_, "cannot read the directory");
        Walk(std::move(top), "");
    }

private:
    std::string PathOf(const std::string &name) const { return source_ + "/" + name; }

    void Walk(Fd fd, const std::string &name) {
        const std::string path = name.empty() ? source_ : PathOf(name);
        Dir dir(fdopendir(fd.get()));
        if (!dir) throw SystemError(path, "cannot read the directory");
        fd.Release();
        const int at = dirfd(dir.get());
        std::vector<Child> children;
        errno = 0;
        while (const struct dirent *entry = readdir(dir.get())) {
            const char *child = entry->d_name;
            if (std::strcmp(child, ".") == 0 || std::strcmp(child, "..") == 0) {
                errno = 0;
                continue;
            }
            struct stat st;
            if (fstatat(at, child, &st, AT_SYMLINK_NOFOLLOW) != 0)
                throw SystemError(PathOf(name.empty() ? child : name + "/" + child), "cannot examine");
            const MemberType type = TypeOfMode(st.st_mode);
            if (type != MemberType::Directory && type != MemberType::File && type != MemberType::Symlink)
                throw PackError(PathOf(name.empty() ? child : name + "/" + child) + ": " + DescribeType(type) + kOnlyWhatPacks);
            Child c;
            c.name = child;
            c.mode = st.st_mode;
            c.mtime = st.st_mtime;
            c.size = static_cast<std::uint64_t>(st.st_size);
            c.dev = st.st_dev;
            c.ino = st.st_ino;
            c.links = st.st_nlink;
            children.push_back(c);
            if (type == MemberType::Directory) {
                Child below;
                below.name = child;
                below.below = true;
                children.push_back(below);
            }
            errno = 0;
        }
        if (errno != 0) throw SystemError(path, "cannot read the directory");
        std::sort(children.begin(), children.end(), Before);

        // The launcher goes last of all.
        const Child *launcher = nullptr;
        for (const Child &c : children) {
            if (name.empty() && !c.below && c.name == kLauncherName) {
                launcher = &c;
                continue;
            }
            const std::string member = name.empty() ? c.name : name + "/" + c.name;
            if (c.below) {
                Fd sub(openat(at, c.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                if (!sub) throw SystemError(PathOf(member), "cannot read the directory");
                Walk(std::move(sub), member);
            } else {
                Visit(c, at, member);
            }
        }
        if (launcher) Visit(*launcher, at, launcher->name);
    }

    void Visit(const Child &c, int at, const std::string &name) {
        Member m;
        m.name = name;
        m.path = PathOf(name);
        m.type = TypeOfMode(c.mode);
        m.permissions = m.type == MemberType::Symlink ? 0777 : c.mode & 0777;
        m.mtime = c.mtime;
        if (m.type == MemberType::File) {
            m.size = c.size;
            // Names of one file: all but the first in the payload become hard links to it.
            if (c.links > 1) m.identity = std::to_string(c.dev) + ":" + std::to_string(c.ino);
        } else if (m.type == MemberType::Symlink) {
            std::string target(static_cast<std::size_t>(c.size) + 1, '\0');
            const ssize_t n = readlinkat(at, c.name.c_str(), target.data(), target.size());
            if (n < 0) throw SystemError(m.path, "cannot read the symbolic link");
            if (static_cast<std::size_t>(n) >= target.size()) throw PackError(m.path + ": changed while being packed");
            target.resize(static_cast<std::size_t>(n));
            m.link = target;
        }
        each_(m, at, c.name.c_str());
    }

    std::string source_;
    Each each_;
};

// Every name of a file after its first in the payload becomes a hard link to that first, as tar
// makes them; the launcher stays a regular file of its own. Members come in payload order.
class NameLinker {
public:
    void Link(Member &m) {
        if (m.type != MemberType::File || m.identity.empty() || m.name == kLauncherName) return;
        const auto known = first_.emplace(m.identity, m.name);
        if (known.second) return;
        m.type = MemberType::HardLink;
        m.link = known.first->second;
    }

private:
    std::unordered_map<std::string, std::string> first_;  // identity -> the name that carries the content
};

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

// The members in payload order, held to the contract the installer holds them to, and to the
// packer's own habit: an executable launcher at the top, written last.
void Admit(ContractChecker &contract, const Member &m, const std::string &source) {
    Entry entry;
    entry.name = ArchiveName(m.name, m.type == MemberType::Directory);
    entry.type = m.type;
    entry.permissions = m.permissions;
    entry.link = m.type == MemberType::HardLink ? ArchiveName(m.link, false) : m.link;
    const std::string breach = contract.Add(entry);
    if (!breach.empty()) throw PackError(source + ": " + breach);
}

void Conclude(const ContractChecker &contract, const std::string &source) {
    std::string breach = contract.Finish();
    const std::vector<std::string> launcher = LauncherWarnings(contract.launcher());
    if (breach.empty() && !launcher.empty()) breach = launcher.front();
    if (!breach.empty()) throw PackError(source + ": " + breach);
}

void CheckContract(const std::vector<Member> &members, const std::string &source) {
    ContractChecker contract;
    for (const Member &m : members)
        if (!m.name.empty()) Admit(contract, m, source);  // the destination is not the payload's to change
    Conclude(contract, source);
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

// With `sound`, a trailer that does not fit is refused here.
InstallerFile OpenInstaller(const std::string &path, bool sound = true) {
    InstallerFile f;
    f.file.reset(std::fopen(path.c_str(), "rb"));
    if (!f.file) throw SystemError(path, "cannot open");
    struct stat st;
    if (fstat(f.fd(), &st) != 0) throw SystemError(path, "cannot examine");
    if (!S_ISREG(st.st_mode)) throw PackError(path + ": is not a regular file");
    f.trailer = ReadTrailer(f.file.get());
    if (sound && !f.trailer.ok()) throw PackError(path + ": " + DescribeTrailerFault(f.trailer.fault));
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
// stricter than gunzip on the gzip layer: one member, nothing but zeros behind it. Returns what
// it found of the members.
struct Checked {
    std::size_t members;
    ContractChecker::Launcher launcher;
};
Checked CheckAsTheInstallerWill(const InstallerFile &f, const std::string &installer, ProgressLine *progress) {
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
    return Checked{guard.contract().members(), guard.contract().launcher()};
}

// A source file must be a gzip'd tar; anything else is named by its first bytes, with the way to
// one.
void CheckSourceKind(const std::string &source) {
    const Fd fd(open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) throw SystemError(source, "cannot open");
    unsigned char probe[kSourceProbeSize];
    std::size_t n = 0;
    while (n < sizeof probe) {
        const ssize_t r = ReadAt(fd.get(), probe + n, sizeof probe - n, n);
        if (r < 0) throw SystemError(source, "cannot read");
        if (r == 0) break;
        n += static_cast<std::size_t>(r);
    }
    const std::string mismatch = SourceMismatch(probe, n, source);
    if (!mismatch.empty()) throw PackError(mismatch);
}

// How far into an installer file its program image reaches: to the payload when the trailer tells
// where that begins, else the whole file.
std::uint64_t ImageLimit(const InstallerFile &f) {
    struct stat st;
    if (f.trailer.ok()) return f.trailer.payloadOffset;
    return fstat(f.fd(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

}  // namespace

std::size_t Pack(const PackOptions &options) {
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
    if (S_ISREG(sourceStat.st_mode)) CheckSourceKind(o.source);
    CheckOutput(o, imageStat, sourceStat);

    OutputFile out(o.output);
    CopyImage(image.get(), o.image, out.fd(), o.output);
    PayloadWriter writer(out.fd(), o.payloadLimit, o.output, o.source, o.jobs);
    // Writes one member; a file's content comes from `content` at `offset`, opened on demand.
    const auto write = [&o, &writer](Member &m, auto &&content, std::uint64_t offset, const std::string &path) {
        if (o.sourceDateEpoch) m.mtime = std::min(m.mtime, *o.sourceDateEpoch);
        if (m.type == MemberType::Directory) {
            writer.AddDirectory(m);
        } else if (m.type != MemberType::File) {
            writer.AddLink(m);
        } else {
            writer.AddFile(m, content(), offset, path);
        }
    };
    if (S_ISDIR(sourceStat.st_mode)) {
        // Walked once, each member checked and written as it comes: a tree of a million files is
        // never held whole. Only a progress line needs the content's size first.
        if (o.progress && o.progress->shows()) {
            std::uint64_t content = 0;
            NameLinker linker;
            TreeWalk(o.source, [&](Member &m, int, const char *) {
                linker.Link(m);
                if (m.type == MemberType::File) content += m.size;
            }).Run();
            o.progress->Start("packing", content);
            writer.OnContent([&o](std::uint64_t n) { o.progress->Advance(n); });
        }
        ContractChecker contract;
        NameLinker linker;
        TreeWalk(o.source, [&](Member &m, int directory, const char *child) {
            linker.Link(m);
            Admit(contract, m, o.source);
            Fd file;
            write(
                m,
                [&] {
                    // The tree may have changed since it was walked; take only what still fits the header.
                    file = Fd(openat(directory, child, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
                    if (!file) throw SystemError(m.path, "cannot read");
                    struct stat st;
                    if (fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
                        static_cast<std::uint64_t>(st.st_size) != m.size)
                        throw PackError(m.path + ": changed while being packed");
                    return file.get();
                },
                0, m.path);
        }).Run();
        Conclude(contract, o.source);
    } else {
        File spool(std::tmpfile());
        if (!spool) throw SystemError(o.source, "cannot make a spool file for the archive's content");
        std::vector<Member> members = CollectArchive(o.source, spool.get());
        SortMembers(members);
        NameLinker linker;
        for (Member &m : members) linker.Link(m);
        CheckContract(members, o.source);
        if (o.progress) {
            std::uint64_t content = 0;
            // A hard link's content is stored once, with the file it links to.
            for (const Member &m : members)
                if (m.type == MemberType::File) content += m.size;
            o.progress->Start("packing", content);
            writer.OnContent([&o](std::uint64_t n) { o.progress->Advance(n); });
        }
        for (Member &m : members) {
            if (m.name.empty()) continue;  // no "./": the destination's owner and mode stay the user's
            write(m, [&] { return fileno(spool.get()); }, m.spoolOffset,
                  m.type == MemberType::File ? o.source + ": " + ArchiveName(m.name, false) : std::string());
        }
    }
    const std::uint64_t length = writer.Finish();
    if (o.progress) o.progress->Clear();
    const std::string trailer = FormatTrailer(static_cast<std::uint32_t>(length));
    WriteAll(out.fd(), trailer.data(), trailer.size(), o.output);
    out.Commit(0755);
    return writer.members();
}

void List(const std::string &installer, std::FILE *out) {
    InstallerFile f = OpenInstaller(installer, false);
    std::fprintf(out, "%s\n", ImageLine(ReadImageKind(f.fd(), ImageLimit(f), installer)).c_str());
    if (!f.trailer.ok()) throw PackError(installer + ": " + DescribeTrailerFault(f.trailer.fault));
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

Verdict Verify(const std::string &installer, ProgressLine *progress) {
    InstallerFile f = OpenInstaller(installer);
    if (f.trailer.payloadOffset == 0) throw PackError(installer + ": no program image stands in front of the payload");
    const Checked checked = CheckAsTheInstallerWill(f, installer, progress);
    if (progress) progress->Clear();
    Verdict verdict;
    verdict.image = ReadImageKind(f.fd(), f.trailer.payloadOffset, installer);
    if (!verdict.image.installer) {
        const std::string what = verdict.image.arch.empty()
                                     ? verdict.image.description + ", not an x86-64 or arm64 Linux program"
                                     : DescribeImage(verdict.image);
        throw PackError(installer + ": the program image is " + what +
                        ": pack the tree again with the installer's image (leave --image out, or give it a "
                        "sonaris-installer)");
    }
    verdict.warnings = LauncherWarnings(checked.launcher);
    verdict.summary = installer + ": sound: " + std::to_string(checked.members) + " members in a payload of " +
                      std::to_string(f.trailer.payloadLength) + " bytes behind a program image of " +
                      std::to_string(f.trailer.payloadOffset) + " bytes";
    return verdict;
}
