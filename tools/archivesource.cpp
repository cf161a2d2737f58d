#include "tools/archivesource.h"
#include "posix/fd.h"
#include "posix/path.h"
#include "tools/error.h"
#include "tools/tarreader.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>

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
