#include "tools/remedies.h"
#include "posix/path.h"
#include "tools/shellquote.h"

#include <sys/stat.h>

#include <algorithm>

namespace {

std::string Joined(const std::vector<std::string> &parts, std::size_t from = 0) {
    std::string out;
    for (std::size_t i = from; i < parts.size(); ++i) out += (out.empty() ? "" : "/") + parts[i];
    return out;
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

std::string CopyFix() { return "copy what it points to into the tree, and link to the copy with a relative target"; }

// What a link whose target leads out of the tree, or goes there by a detour, should be.
std::string LinkFix(const std::string &name, const std::string &target, const PackSource &s, const PayloadRules &rules) {
    const std::vector<std::string> dir = Components(ParentOf(name));
    // Where it points: below the top where that is known, else as an absolute path.
    std::vector<std::string> at = target[0] == '/' ? std::vector<std::string>() : dir;
    bool inside = target[0] != '/';
    if (inside && !s.root.empty()) {
        at.insert(at.begin(), s.root.begin(), s.root.end());
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
    const std::string path = ShellQuoted(s.source + "/" + name);
    const auto make = [&](const std::vector<std::string> &to) {
        const std::string relative = RelativeTarget(dir, to);
        return "make it " + relative + (s.directory ? " (ln -sfn " + ShellQuoted(relative) + " " + path + ")" : "");
    };
    if (inside) return make(at);
    if (at.size() >= s.root.size() && !s.root.empty() && std::equal(s.root.begin(), s.root.end(), at.begin()))
        return make(std::vector<std::string>(at.begin() + static_cast<long>(s.root.size()), at.end()));
    // A path where the tree is to be installed, say: the longest end of it that the tree holds.
    for (std::size_t i = 1; target[0] == '/' && i < at.size(); ++i) {
        const std::string within = Joined(at, i);
        if (within != name && rules.Holds(within))
            return "if it means the tree's own " + Printable(within) + ", " +
                   make(std::vector<std::string>(at.begin() + static_cast<long>(i), at.end())) + "; else " + CopyFix();
    }
    return CopyFix();
}

// ": chmod +x PATH" for a file of a directory source, "" for an archive's.
std::string ChmodFix(const PackSource &s, const std::string &name) {
    return s.directory ? ": chmod +x " + ShellQuoted(s.source + "/" + name) : std::string();
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

std::string Remedy(const BrokenRule &b, const std::string &name, const std::string &link, const PackSource &s,
                   const PayloadRules &rules) {
    switch (b.rule) {
    case Rule::LinkAbsolute:
    case Rule::LinkOut:
    case Rule::LinkDownThenUp: return LinkFix(name, link, s, rules);
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
    case Rule::FileWithDirectoryName:
        return "make the archive from inside the tree's folder: tar -C FOLDER -czf " + ShellQuoted(s.source) + " .";
    default: return RepackFix(b);
    }
}

std::string TreeProblem(const PayloadRules &rules, const PackSource &s, std::size_t tops, const std::string &top) {
    const PayloadRules::Launcher launcher = rules.launcher();
    const std::string where = s.directory ? "the tree" : "the archive";
    const std::string at = ArchiveName(kLauncherName, false);
    MemberType type = MemberType::Unknown;
    if (rules.members() == 0)
        return where + " holds nothing to pack; put the application in it, with the launcher " + kLauncherName +
               " at its top";
    if (!launcher.present && tops == 1 && rules.Holds(top, &type) && type == MemberType::Directory &&
        rules.Holds(top + "/" + kLauncherName)) {
        // tar -czf app.tgz tree, or a tree copied in whole: everything one folder too deep.
        const std::string folder = ShellQuoted(top);
        return where + " holds no launcher " + at + ", but its only entry, the folder " + folder + ", holds one: " +
               (s.directory ? "pack that folder instead: sonaris-pack " + ShellQuoted(s.source + "/" + top) + " " +
                                  ShellQuoted(s.output)
                            : "pack that folder's contents instead: tar -C " + folder + " -czf " +
                                  ShellQuoted(s.source) + " .");
    }
    if (!launcher.present)
        return where + " holds no launcher " + at + "; put an executable file named " + kLauncherName +
               " at its top: the installer starts it once it has installed the tree";
    if (launcher.type == MemberType::Symlink) {
        // Packed where it leads to an executable file of the tree.
        const std::string fault = LinkedLauncherFault(launcher);
        if (!fault.empty())
            return fault + "; make it lead to the program's executable file in the tree, or make the launcher that "
                           "file, a script that starts the program, say";
        if (!(launcher.way.execute & S_IXUSR))
            return LinkedLauncherLeadsTo(launcher) + ", which is not executable; make it so" +
                   ChmodFix(s, launcher.way.name);
        return "";
    }
    if (launcher.type != MemberType::File) return LauncherNotAFile() + "; make it one, a script that starts the program, say";
    if (!(launcher.permissions & S_IXUSR))
        return LauncherNotExecutable(launcher.permissions) + "; make it so" + ChmodFix(s, kLauncherName);
    return "";
}
