// The launcher followed from the destination's descriptor, and the words for one that is not started.
#include "installer/launcher.h"

#include "format/rules.h"
#include "installer/rootonly.h"
#include "installer/strformat.h"
#include "posix/path.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <vector>

namespace {

// As many links as the system itself follows in one look-up.
const int kMostLinks = 40;

// The target of the link open on `link` (O_PATH), or nothing where it cannot be read.
bool ReadLink(int link, std::string &target) {
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t n = readlinkat(link, "", buffer.data(), buffer.size());
        if (n < 0) return false;
        if (static_cast<std::size_t>(n) < buffer.size()) {
            target.assign(buffer.data(), static_cast<std::size_t>(n));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string Joined(const std::vector<std::string> &names) {
    std::string path;
    for (const std::string &name : names) path += (path.empty() ? "" : "/") + name;
    return path;
}

}  // namespace

LauncherFile OpenLauncher(int destination, bool root) {
    LauncherFile result;
    const auto refuse = [&result](LauncherFile::Refusal why, const std::string &at) {
        result.refusal = why;
        result.at = at;
        result.file = Fd();
        return std::move(result);
    };
    // The directories entered below the destination, with their names; what is left to look up.
    std::vector<Fd> directories;
    std::vector<std::string> names;
    std::deque<std::string> left = {kLauncherName};
    int links = 0;
    while (!left.empty()) {
        const std::string name = left.front();
        left.pop_front();
        if (name == "..") {
            if (directories.empty()) return refuse(LauncherFile::Refusal::Out, "");
            directories.pop_back();
            names.pop_back();
            continue;
        }
        const int at = directories.empty() ? destination : directories.back().get();
        Fd entry(openat(at, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        names.push_back(name);
        struct stat st;
        if (!entry || fstat(entry.get(), &st) != 0) {
            const bool missing = errno == ENOENT || errno == ENOTDIR;
            return refuse(links > 0 && missing ? LauncherFile::Refusal::Nothing : LauncherFile::Refusal::Unknown,
                          Joined(names));
        }
        if (S_ISLNK(st.st_mode)) {
            std::string target;
            if (++links > kMostLinks || !ReadLink(entry.get(), target) || target.empty())
                return refuse(LauncherFile::Refusal::Nothing, Joined(names));
            if (links == 1) result.link = target;
            if (target[0] == '/') return refuse(LauncherFile::Refusal::Out, Joined(names));
            names.pop_back();
            const std::vector<std::string> parts = Components(target);
            left.insert(left.begin(), parts.begin(), parts.end());
            continue;
        }
        const RootOnly rule = root ? RootOnlyRule(st) : RootOnly::Holds;
        if (rule != RootOnly::Holds) {
            result.status = st;
            result.rootRule = rule;
            return refuse(LauncherFile::Refusal::NotRootOnly, Joined(names));
        }
        if (S_ISDIR(st.st_mode)) {
            directories.push_back(std::move(entry));
            continue;
        }
        if (!S_ISREG(st.st_mode) || !left.empty())
            return refuse(left.empty() ? LauncherFile::Refusal::NotAFile : LauncherFile::Refusal::Nothing,
                          Joined(names));
        // Read where it may be: a script's first bytes tell how to start it.
        Fd readable(openat(at, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        struct stat again;
        if (readable && fstat(readable.get(), &again) == 0 && again.st_dev == st.st_dev && again.st_ino == st.st_ino)
            entry = std::move(readable);
        result.refusal = LauncherFile::Refusal::Runs;
        result.file = std::move(entry);
        result.status = st;
        result.at = Joined(names);
        return result;
    }
    // It leads to the destination itself, or a directory in it.
    return refuse(LauncherFile::Refusal::NotAFile, Joined(names));
}

std::string LauncherRefusalMessage(const LauncherFile &launcher, const std::string &dest) {
    using Refusal = LauncherFile::Refusal;
    std::string top = dest;
    while (top.size() > 1 && top.back() == '/') top.pop_back();
    const std::string below = top == "/" ? "/" : top + "/";
    const std::string at = launcher.at.empty() ? top : below + Printable(launcher.at);
    const std::string link = "it is a symbolic link to " + Printable(launcher.link) + " that";
    const bool linked = !launcher.link.empty();
    std::string why, then;
    switch (launcher.refusal) {
    case Refusal::Runs:
    case Refusal::Unknown: return "";
    case Refusal::Out:
        why = (linked ? link : std::string("it")) + " leads out of " + top;
        then = "Check where it leads before you start the application yourself.";
        break;
    case Refusal::Nothing:
        why = (linked ? link : std::string("it")) + " leads to nothing";
        then = "Ask the supplier of the installer file for one whose launcher leads to a file of its tree.";
        break;
    case Refusal::NotAFile:
        why = linked ? link + " leads to " + at + ", which is not a regular file" : "it is not a regular file";
        then = "Ask the supplier of the installer file for one whose launcher leads to a file of its tree.";
        break;
    case Refusal::NotRootOnly: {
        const char *rule = RootOnlyBreach(launcher.rootRule);
        const bool onTheWay = S_ISDIR(launcher.status.st_mode);
        why = !linked ? std::string("it ") + rule
                      : "it leads " + std::string(onTheWay ? "through " : "to ") + at + ", which " + rule;
        then = "Check it before you start the application yourself.";
        break;
    }
    }
    return StrPrintf("The application is installed in %s, but its launcher %s%s was not started: %s.\n%s",
                     top.c_str(), below.c_str(), kLauncherName, why.c_str(), then.c_str());
}
