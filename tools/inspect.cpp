// Reading installer files back: --list and --verify.
#include "tools/pack.h"
#include "format/rules.h"
#include "format/payloadguard.h"
#include "posix/file.h"
#include "tools/error.h"
#include "tools/gzipsource.h"
#include "tools/programimage.h"
#include "tools/remedies.h"
#include "tools/tarreader.h"

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

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

// The guard's refusal, with what repacking can leave out where that is all it takes.
std::string Refused(const std::string &installer, const BrokenRule &broken) {
    const std::string fix = RepackFix(broken);
    return installer + ": " + broken.text + (fix.empty() ? "" : "; " + fix);
}

// The installer's own check (payloadguard.h) over the whole payload, inflated here as gunzip
// inflates it for the installer: what it admits installs, and nothing else does. The packer is
// stricter than gunzip on the gzip layer: one member, nothing but zeros behind it. Returns what
// it found of the members.
struct Checked {
    std::size_t members;
    PayloadRules::Launcher launcher;
};
Checked CheckAsTheInstallerWill(const InstallerFile &f, const std::string &installer, ProgressLine *progress) {
    if (progress) progress->Start("verifying", f.trailer.payloadLength);
    GzipSource gzip(f.fd(), f.trailer.payloadOffset, f.trailer.payloadLength, true);
    if (progress) gzip.OnRead([progress](std::uint64_t n) { progress->Advance(n); });
    // Held to what root may install: extended attributes and ACLs that could grant are refused.
    PayloadRules::Where where;
    where.privileged = true;
    PayloadGuard guard(where);
    guard.KeepLinks();  // to tell where a launcher that is a link leads
    std::vector<unsigned char> chunk(256 * kKiB);
    for (;;) {
        const ssize_t n = gzip.Read(chunk.data(), chunk.size());
        if (n < 0) {
            if (gzip.followedByOther())
                throw PackError(installer + ": the payload's gzip member is followed by bytes that are not gzip data");
            throw PackError(installer + ": the payload " + gzip.fault());
        }
        if (n == 0) break;
        if (guard.Inspect(chunk.data(), static_cast<std::size_t>(n)) != PayloadGuard::Verdict::Sound)
            throw PackError(Refused(installer, guard.brokenRule()));
    }
    if (guard.End() != PayloadGuard::Verdict::Sound) throw PackError(Refused(installer, guard.brokenRule()));
    return Checked{guard.rules().members(), guard.rules().launcher()};
}

// How far into an installer file its program image reaches: to the payload when the trailer tells
// where that begins, else the whole file.
std::uint64_t ImageLimit(const InstallerFile &f) {
    struct stat st;
    if (f.trailer.ok()) return f.trailer.payloadOffset;
    return fstat(f.fd(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

}  // namespace

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

Verification Verify(const std::string &installer, ProgressLine *progress) {
    InstallerFile f = OpenInstaller(installer);
    if (f.trailer.payloadOffset == 0) throw PackError(installer + ": no program image stands in front of the payload");
    const Checked checked = CheckAsTheInstallerWill(f, installer, progress);
    if (progress) progress->Clear();
    Verification verdict;
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
