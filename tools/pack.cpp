// Packing: gathering members from a directory or a gzip'd tar and writing the installer file.
#include "tools/pack.h"
#include "format/rules.h"
#include "posix/path.h"
#include "tools/archivesource.h"
#include "tools/error.h"
#include "tools/outputfile.h"
#include "tools/owners.h"
#include "tools/payloadwriter.h"
#include "tools/sourcekind.h"
#include "tools/treecheck.h"
#include "tools/treewalk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

bool SameFile(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

std::string RealPath(const std::string &path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) throw SystemError(path, "cannot resolve");
    return resolved;
}

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
        TreeCheck check(o.source, o.output, true);
        TreeReader reader(o.source);
        TreeReader::Found found;
        const auto failed = [&] {
            if (check.failed()) reader.StopReading();
            return check.failed();
        };
        while (reader.Next(found)) {
            Member &m = found.member;
            if (!found.problem.empty()) {
                check.SourceProblem(found.problem, true);
                failed();
                continue;
            }
            check.Note(m.name, m.type, found.mode & 07777);
            const bool admitted = check.Admit(m);
            if (m.type == MemberType::File && !found.cannotRead.empty()) check.SourceProblem(found.cannotRead, true);
            if (failed() || !admitted || !found.cannotRead.empty()) continue;
            write(m, [&] { reader.Content([&writer](const char *data, std::size_t n) { writer.Content(data, n); }); });
        }
        warnings = check.Conclude();
    } else {
        File spool(std::tmpfile());
        if (!spool) throw SystemError(o.source, "cannot make a spool file for the archive's content");
        TreeCheck check(o.source, o.output, false);
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
