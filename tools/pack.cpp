// Packing: gathering members from a directory or a gzip'd tar and writing the installer file.
#include "tools/pack.h"
#include "format/rules.h"
#include "tools/error.h"
#include "posix/path.h"
#include "tools/outputfile.h"
#include "tools/owners.h"
#include "format/payloadguard.h"
#include "tools/payloadwriter.h"
#include "tools/programimage.h"
#include "tools/sourcekind.h"
#include "tools/tarreader.h"
#include "tools/treewalk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <vector>

namespace {

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

// ---- what packing finds ----

// A report of many problems or warnings of a kind shows this many, then how many more.
const std::size_t kShown = 20;

// Lines of one kind: the first kShown kept, the rest counted.
class Lines {
public:
    void Add(std::string line) {
        if (lines_.size() < kShown) lines_.push_back(std::move(line));
        ++count_;
    }
    // One more line not shown, without its words.
    void Count() { ++count_; }
    bool shows() const { return lines_.size() < kShown; }
    std::size_t count() const { return count_; }
    const std::vector<std::string> &lines() const { return lines_; }
    // The lines, then "and N more `what`" for those not shown.
    void AppendTo(std::vector<std::string> &out, const std::string &what) const {
        out.insert(out.end(), lines_.begin(), lines_.end());
        if (count_ > lines_.size()) out.push_back("and " + std::to_string(count_ - lines_.size()) + " more " + what);
    }

private:
    std::vector<std::string> lines_;
    std::size_t count_ = 0;
};

std::string Joined(const std::vector<std::string> &parts, std::size_t from = 0) {
    std::string out;
    for (std::size_t i = from; i < parts.size(); ++i) out += (out.empty() ? "" : "/") + parts[i];
    return out;
}

// A path as a shell takes it.
std::string Quoted(const std::string &path) {
    static const char kPlain[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-./+,:@";
    if (!path.empty() && path.find_first_not_of(kPlain) == std::string::npos) return path;
    std::string out = "'";
    for (char c : path) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The target that leads from the directory `from` to `to`, both given by their parts below the top.
std::string RelativeTarget(const std::vector<std::string> &from, const std::vector<std::string> &to) {
    std::size_t same = 0;
    while (same < from.size() && same < to.size() && from[same] == to[same]) ++same;
    std::string out;
    for (std::size_t i = same; i < from.size(); ++i) out += "../";
    out += Joined(to, same);
    if (out.empty()) return ".";
    return out.back() == '/' ? out.substr(0, out.size() - 1) : out;
}

}  // namespace

std::string RepackFix(const BrokenRule &b) {
    switch (b.rule) {
    case Rule::Keyword:
        return "repack it without that record (GNU tar --pax-option=delete=" + b.args.at(1) + " leaves it out)";
    case Rule::SparseForm:
        return "repack it with GNU tar --sparse-version=1.0, which writes a form the installer takes";
    case Rule::Acl:
    case Rule::Attribute:
        return "repack it without extended attributes and ACLs (GNU tar stores none unless told to; bsdtar "
               "--no-xattrs --no-acls leaves them out)";
    default: return "";
    }
}

namespace {

// Holds the members of a tree to the installer's rules as they come, and gathers every problem,
// each with what the packager can do about it, and what will break once the tree is installed.
class TreeCheck {
public:
    TreeCheck(const PackOptions &o, bool directory) : source_(o.source), output_(o.output), directory_(directory) {
        rules_.KeepLinks();
        char real[PATH_MAX];
        if (directory && realpath(o.source.c_str(), real) != nullptr) root_ = Components(real);
    }

    // Holds `m` to the rules; false (the problem noted) where it breaks one.
    bool Admit(const Member &m) {
        Entry entry;
        entry.name = ArchiveName(m.name, m.type == MemberType::Directory);
        entry.type = m.type;
        entry.permissions = m.permissions;
        entry.link = m.type == MemberType::HardLink ? ArchiveName(m.link, false) : m.link;
        BrokenRule broken = rules_.Add(entry);
        if (broken) {
            Refuse(std::move(broken), m.name, m.link);
            return false;
        }
        if (m.type == MemberType::Symlink) links_.emplace(m.name, m.link);
        if (m.name.find('/') == std::string::npos) {
            ++tops_;
            top_ = m.name;
        }
        return true;
    }

    // What the installed tree will do otherwise than the source: a member others cannot read,
    // set-id bits that the payload does not keep. `mode` is the source's own.
    void Note(const std::string &name, MemberType type, unsigned mode) {
        // The top is not packed: the destination stays as it is.
        if (name.empty() || (type != MemberType::Directory && type != MemberType::File)) return;
        const bool directory = type == MemberType::Directory;
        const unsigned needed = directory ? S_IROTH | S_IXOTH : S_IROTH, bits = mode & (S_ISUID | S_ISGID);
        const bool closed = (mode & needed) != needed;
        if (!closed && !bits) return;
        // Most trees have none of these, some have them by the thousand: words only for those shown.
        const std::string label = MemberLabel(ArchiveName(name, directory));
        char octal[8], kept[8];
        std::snprintf(octal, sizeof octal, "%04o", mode & 07777);
        std::snprintf(kept, sizeof kept, "%04o", mode & 0777);
        if (closed && !closed_.shows()) {
            closed_.Count();
        } else if (closed) {
            closed_.Add(label + " is not readable by others (mode " + octal +
                        "): other users of the installed tree get \"Permission denied\"; " +
                        (directory ? "chmod o+rx" : "chmod o+r") + " it if they should read it");
        }
        if (bits && !setId_.shows()) {
            setId_.Count();
        } else if (bits) {
            const char *which = bits == (S_ISUID | S_ISGID) ? "setuid and setgid bits"
                                : bits == S_ISUID              ? "setuid bit"
                                                               : "setgid bit";
            setId_.Add(label + " has the " + which + " (mode " + octal +
                       "), which packing drops: it is installed with mode " + kept);
        }
    }

    // A rule broken by the member `name` (a link to `link`). Its fix waits for the whole tree: a
    // link's target may be a member that comes later.
    void Refuse(BrokenRule broken, const std::string &name = "", const std::string &link = "") {
        if (problems_.count() < kShown) pending_.push_back(Pending{std::move(broken), name, link, problems_.count()});
        Problem("");
    }
    // A line about the source as a whole, or with `named`, one that names its file itself
    // ("PATH: cannot read: ...").
    void Problem(std::string line, bool named = false) {
        if (problems_.count() < kShown) named_.push_back(named);
        problems_.Add(std::move(line));
    }
    bool failed() const { return problems_.count() > 0; }

    // Throws PackError with every problem found; returns what will break later otherwise.
    std::vector<std::string> Conclude() {
        const PayloadRules::Launcher launcher = rules_.launcher();
        const std::string where = directory_ ? "the tree" : "the archive";
        const std::string at = ArchiveName(kLauncherName, false);
        MemberType type = MemberType::Unknown;
        if (rules_.members() == 0) {
            Problem(where + " holds nothing to pack; put the application in it, with the launcher " +
                    kLauncherName + " at its top");
        } else if (!launcher.present && tops_ == 1 && rules_.Holds(top_, &type) && type == MemberType::Directory &&
                   rules_.Holds(top_ + "/" + kLauncherName)) {
            // tar -czf app.tgz tree, or a tree copied in whole: everything one folder too deep.
            const std::string folder = Quoted(top_);
            Problem(where + " holds no launcher " + at + ", but its only entry, the folder " + folder +
                    ", holds one: " +
                    (directory_ ? "pack that folder instead: sonaris-pack " + Quoted(source_ + "/" + top_) + " " +
                                      Quoted(output_)
                                : "pack that folder's contents instead: tar -C " + folder + " -czf " + Quoted(source_) +
                                      " ."));
        } else if (!launcher.present) {
            Problem(where + " holds no launcher " + at + "; put an executable file named " + kLauncherName +
                    " at its top: the installer starts it once it has installed the tree");
        } else if (launcher.type == MemberType::Symlink) {
            LinkedLauncher(launcher);
        } else if (launcher.type != MemberType::File) {
            Problem("the launcher " + at +
                    " is not a regular file; make it one, a script that starts the program, say");
        } else if (!(launcher.permissions & S_IXUSR)) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", launcher.permissions & 07777);
            Problem("the launcher " + at + " is not executable (mode " + mode + "); make it so" +
                    (directory_ ? ": chmod +x " + Quoted(source_ + "/" + kLauncherName) : std::string()));
        }
        if (failed()) throw PackError(Report());

        Lines dangling;
        for (const auto &[name, target] : links_) {
            if (rules_.Lead(name).end == PayloadRules::Way::End::Nothing)
                dangling.Add(MemberLabel(ArchiveName(name, false)) + " is a symbolic link to " + Printable(target) +
                             ", which leads to nothing in the tree: installed, it will point nowhere");
        }
        std::vector<std::string> warnings;
        closed_.AppendTo(warnings, "members not readable by others");
        setId_.AppendTo(warnings, "members whose set-id bits packing drops");
        dangling.AppendTo(warnings, "symbolic links to nothing in the tree");
        return warnings;
    }

private:
    // A launcher that is a symbolic link is packed where it leads to an executable file of the tree.
    void LinkedLauncher(const PayloadRules::Launcher &launcher) {
        const std::string fault = LinkedLauncherFault(launcher);
        if (!fault.empty()) {
            Problem(fault + "; make it lead to the program's executable file in the tree, or make the launcher that "
                            "file, a script that starts the program, say");
        } else if (!(launcher.way.execute & S_IXUSR)) {
            Problem("the launcher " + ArchiveName(kLauncherName, false) + " is a symbolic link to " +
                    Printable(launcher.link) + " that leads to " + Printable(ArchiveName(launcher.way.name, false)) +
                    ", which is not executable; make it so" +
                    (directory_ ? ": chmod +x " + Quoted(source_ + "/" + launcher.way.name) : std::string()));
        }
    }

    struct Pending {
        BrokenRule broken;
        std::string name, link;
        std::size_t line;  // its place among the problems
    };

    // Every problem on a line of its own, each with its fix; a lone one on the first line.
    std::string Report() {
        std::vector<std::string> lines = problems_.lines();
        for (const Pending &p : pending_) {
            if (p.line >= lines.size()) break;
            const std::string fix = Fix(p);
            lines[p.line] = p.broken.text + (fix.empty() ? "" : "; " + fix);
        }
        if (problems_.count() == 1) return (named_.front() ? "" : source_ + ": ") + lines.front();
        const std::size_t count = problems_.count();
        std::string report = source_ + ": " + std::to_string(count) + " problems keep it from being packed:";
        for (const std::string &line : lines) report += "\n  " + line;
        if (count > lines.size()) report += "\n  and " + std::to_string(count - lines.size()) + " more";
        return report;
    }

    std::string Fix(const Pending &p) const {
        const BrokenRule &b = p.broken;
        const std::string archive =
            "make the archive from inside the tree's folder: tar -C FOLDER -czf " + Quoted(source_) + " .";
        switch (b.rule) {
        case Rule::LinkAbsolute:
        case Rule::LinkOut:
        case Rule::LinkDownThenUp: return LinkFix(p.name, p.link);
        case Rule::LinkEmpty: return "give it a target or remove it";
        case Rule::LinkControl: return "give it a target without control characters";
        case Rule::ControlInName: return "rename it without control characters";
        case Rule::NotInstallable: return "remove it from the tree";
        case Rule::Twice: return "keep one of them";
        case Rule::UnderLink:
        case Rule::UnderFile: return "store " + b.args.at(1) + " as a directory, or leave out what lies under it";
        case Rule::HardLinkMissing: return "store the file it links to ahead of it";
        case Rule::HardLinkNotFile: return "make it a copy of what it links to, or a symbolic link";
        case Rule::NoName:
        case Rule::AbsoluteName:
        case Rule::EmptyPart:
        case Rule::DotPart:
        case Rule::DotDotPart:
        case Rule::FileWithDirectoryName: return archive;
        default: return RepackFix(b);
        }
    }

    // What a link whose target leads out of the tree, or goes there by a detour, should be.
    std::string LinkFix(const std::string &name, const std::string &target) const {
        const std::vector<std::string> dir = Components(ParentOf(name));
        // Where it points: below the top where that is known, else as an absolute path.
        std::vector<std::string> at = target[0] == '/' ? std::vector<std::string>() : dir;
        bool inside = target[0] != '/';
        if (inside && !root_.empty()) {
            at.insert(at.begin(), root_.begin(), root_.end());
            inside = false;
        }
        for (const std::string &part : Components(target)) {
            if (part != "..") {
                at.push_back(part);
            } else if (!at.empty()) {
                at.pop_back();
            } else if (inside) {
                return CopyFix();  // out of an archive's tree, to nowhere known
            }
        }
        const std::string path = Quoted(source_ + "/" + name);
        const auto make = [&](const std::vector<std::string> &to) {
            const std::string relative = RelativeTarget(dir, to);
            return "make it " + relative + (directory_ ? " (ln -sfn " + Quoted(relative) + " " + path + ")" : "");
        };
        if (inside) return make(at);
        if (at.size() >= root_.size() && !root_.empty() && std::equal(root_.begin(), root_.end(), at.begin()))
            return make(std::vector<std::string>(at.begin() + static_cast<long>(root_.size()), at.end()));
        // A path where the tree is to be installed, say: the longest end of it that the tree holds.
        for (std::size_t i = 1; target[0] == '/' && i < at.size(); ++i) {
            const std::string within = Joined(at, i);
            if (within != name && rules_.Holds(within))
                return "if it means the tree's own " + Printable(within) + ", " +
                       make(std::vector<std::string>(at.begin() + static_cast<long>(i), at.end())) + "; else " +
                       CopyFix();
        }
        return CopyFix();
    }

    static std::string CopyFix() {
        return "copy what it points to into the tree, and link to the copy with a relative target";
    }

    std::string source_, output_;
    bool directory_;
    std::vector<std::string> root_;  // where a directory source really lies
    PayloadRules rules_;
    Lines problems_;
    std::vector<bool> named_;  // of the problems shown
    std::vector<Pending> pending_;
    Lines closed_, setId_;
    std::map<std::string, std::string> links_;  // name -> target, of every link admitted
    std::size_t tops_ = 0;  // members at the top
    std::string top_;       // the last of them
};

// ---- an archive source ----

// The archive's members, with their content spooled to `spool` so that they can be written in
// the payload's order. What cannot be packed is told to `check` and left out.
std::vector<Member> CollectArchive(const std::string &source, std::FILE *spool, TreeCheck &check) {
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
        const std::string label = MemberLabel(rawName);
        const CanonicalName canonical = Canonicalize(rawName);
        if (!canonical.ok()) {
            check.Refuse(Say(canonical.rule, {label}));
            continue;
        }
        if (index.count(canonical.name)) {
            check.Refuse(Say(Rule::Twice, {label}));
            continue;
        }

        const MemberType type = TypeOfEntry(entry);
        check.Note(canonical.name, type, archive_entry_mode(entry) & 07777);
        Member m;
        m.name = canonical.name;
        m.permissions = archive_entry_perm(entry) & 0777;
        m.mtime = archive_entry_mtime(entry);
        if (type == MemberType::HardLink) {
            // Another name for content already read; the payload links the names as the archive does.
            const CanonicalName target = Canonicalize(archive_entry_hardlink(entry));
            const auto it = !target.ok() ? index.end() : index.find(target.name);
            if (it == index.end() || members[it->second].type != MemberType::File) {
                check.Refuse(Say(Rule::HardLinkMissing, {label, Printable(archive_entry_hardlink(entry))}));
                continue;
            }
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
            if (m.name.empty()) {
                check.Refuse(Say(Rule::FileWithDirectoryName, {label, DescribeType(type)}));
                continue;
            }
            m.spoolOffset = spooled;
            reader.ReadData([&](const char *data, std::size_t n) {
                if (std::fwrite(data, 1, n, spool) != n) throw SystemError(source, "cannot spool the archive's content");
                spooled += n;
            });
            m.size = spooled - m.spoolOffset;
        } else {
            check.Refuse(Say(Rule::NotInstallable, {label, DescribeType(type)}));
            continue;
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
            if (it != index.end()) break;  // a file or link there is the check's to name
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

void CopyImage(int image, const std::string &imagePath, int out, const std::string &outPath) {
    char chunk[kCopyChunk];
    for (;;) {
        const ssize_t n = ReadSome(image, chunk, sizeof chunk);
        if (n < 0) throw SystemError(imagePath, "cannot read");
        if (n == 0) break;
        WriteAll(out, chunk, static_cast<std::size_t>(n), outPath);
    }
}

// A source file must be a gzip'd tar; anything else is named by its first bytes, with the way to
// one.
void CheckSourceKind(const std::string &source) {
    const Fd fd(open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) throw SystemError(source, "cannot open");
    unsigned char probe[kSourceProbeSize];
    const ssize_t n = ReadFullyAt(fd.get(), probe, sizeof probe, 0);
    if (n < 0) throw SystemError(source, "cannot read");
    const std::string mismatch = SourceMismatch(probe, static_cast<std::size_t>(n), source);
    if (!mismatch.empty()) throw PackError(mismatch);
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

    std::vector<std::string> warnings;
    OutputFile out(o.output);
    CopyImage(image.get(), o.image, out.fd(), o.output);
    PayloadWriter writer(out.fd(), o.payloadLimit, o.output, o.source, o.jobs);
    // Writes one member; `content` hands over a file's.
    const auto write = [&o, &writer](Member &m, const std::function<void()> &content) {
        if (o.sourceDateEpoch) m.mtime = std::min(m.mtime, *o.sourceDateEpoch);
        writer.Add(m);
        if (m.type != MemberType::File) return;
        content();
        writer.EndFile();
    };
    if (S_ISDIR(sourceStat.st_mode)) {
        // Walked once, each member checked and written as it comes: a tree of a million files is
        // never held whole. Only a progress line needs the content's size first.
        if (o.progress && o.progress->shows()) {
            std::uint64_t content = 0;
            NameLinker linker;
            TreeWalk(
                o.source,
                [&](Member &m, int, const char *, mode_t) {
                    linker.Link(m);
                    if (m.type == MemberType::File) content += m.size;
                },
                [](const std::string &) {})
                .Run();
            o.progress->Start("packing", content);
            writer.OnContent([&o](std::uint64_t n) { o.progress->Advance(n); });
        }
        // Once a problem is found nothing more is written, but the walk goes on to find the others.
        // The walk and the files' reading run ahead on a thread of their own.
        TreeCheck check(o, true);
        TreeReader reader(o.source);
        TreeReader::Found found;
        const auto failed = [&] {
            if (check.failed()) reader.StopReading();
            return check.failed();
        };
        while (reader.Next(found)) {
            Member &m = found.member;
            if (!found.problem.empty()) {
                check.Problem(found.problem, true);
                failed();
                continue;
            }
            check.Note(m.name, m.type, found.mode & 07777);
            const bool admitted = check.Admit(m);
            if (m.type == MemberType::File && !found.cannotRead.empty()) check.Problem(found.cannotRead, true);
            if (failed() || !admitted || !found.cannotRead.empty()) continue;
            write(m, [&] { reader.Content([&writer](const char *data, std::size_t n) { writer.Content(data, n); }); });
        }
        warnings = check.Conclude();
    } else {
        File spool(std::tmpfile());
        if (!spool) throw SystemError(o.source, "cannot make a spool file for the archive's content");
        TreeCheck check(o, false);
        std::vector<Member> members = CollectArchive(o.source, spool.get(), check);
        SortMembers(members);
        NameLinker linker;
        for (Member &m : members) linker.Link(m);
        for (const Member &m : members)
            if (!m.name.empty()) check.Admit(m);  // the destination is not the payload's to change
        warnings = check.Conclude();
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
            write(m, [&] { writer.Copy(fileno(spool.get()), m.spoolOffset, m.size, o.source + ": " + ArchiveName(m.name, false)); });
        }
    }
    const std::uint64_t length = writer.Finish();
    if (o.progress) o.progress->Clear();
    const std::string trailer = FormatTrailer(static_cast<std::uint32_t>(length));
    WriteAll(out.fd(), trailer.data(), trailer.size(), o.output);
    out.Commit(0755);
    if (o.warnings) *o.warnings = warnings;
    return writer.members();
}
