#include "tools/treecheck.h"
#include "posix/path.h"
#include "tools/error.h"

#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

TreeCheck::TreeCheck(const std::string &source, const std::string &output, bool directory) {
    source_.source = source;
    source_.output = output;
    source_.directory = directory;
    rules_.KeepLinks();
    char real[PATH_MAX];
    if (directory && realpath(source.c_str(), real) != nullptr) source_.root = Components(real);
}

bool TreeCheck::Admit(const Member &m) {
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

void TreeCheck::Note(const std::string &name, MemberType type, unsigned mode) {
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
        setId_.Add(label + " has the " + SetIdBits(bits) + " (mode " + octal +
                   "), which packing drops: it is installed with mode " + kept);
    }
}

void TreeCheck::Add(Problem problem) {
    if (count_ < kShown) problems_.push_back(std::move(problem));
    ++count_;
}

void TreeCheck::Refuse(BrokenRule broken, const std::string &name, const std::string &link) {
    Add(Problem{Problem::Kind::Rule, std::move(broken), name, link, ""});
}

void TreeCheck::SourceProblem(std::string line, bool named) {
    Add(Problem{named ? Problem::Kind::File : Problem::Kind::Source, {}, "", "", std::move(line)});
}

std::vector<std::string> TreeCheck::Conclude() {
    const std::string problem = TreeProblem(rules_, source_, tops_, top_);
    if (!problem.empty()) SourceProblem(problem);
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

std::string TreeCheck::Report() const {
    std::vector<std::string> lines;
    for (const Problem &p : problems_) {
        if (p.kind != Problem::Kind::Rule) {
            lines.push_back(p.line);
            continue;
        }
        const std::string fix = Remedy(p.broken, p.member, p.link, source_, rules_);
        lines.push_back(p.broken.text + (fix.empty() ? "" : "; " + fix));
    }
    const std::string &source = source_.source;
    if (count_ == 1) return (problems_.front().kind == Problem::Kind::File ? "" : source + ": ") + lines.front();
    std::string report = source + ": " + std::to_string(count_) + " problems keep it from being packed:";
    for (const std::string &line : lines) report += "\n  " + line;
    if (count_ > lines.size()) report += "\n  and " + std::to_string(count_ - lines.size()) + " more";
    return report;
}
