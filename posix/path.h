// Paths taken apart and put together, the one way both programs do it.
#ifndef SONARIS_POSIX_PATH_H
#define SONARIS_POSIX_PATH_H

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

// Calls `each(start, end)` for every stretch of `path` between slashes, empty ones included, from
// the first to the last; stops early where `each` returns false.
template <typename Each>
void ForEachComponent(const std::string &path, Each each) {
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        if (!each(start, slash)) return;
        start = slash + 1;
    }
}

// The components of a path, without empty and "." ones.
inline std::vector<std::string> Components(const std::string &path) {
    std::vector<std::string> parts;
    ForEachComponent(path, [&](std::size_t start, std::size_t end) {
        if (end > start && !(end - start == 1 && path[start] == '.')) parts.push_back(path.substr(start, end - start));
        return true;
    });
    return parts;
}

// What stands before the last slash of `path`; "" where there is none.
inline std::string ParentOf(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// What stands after the last slash of `path`: all of it where there is none.
inline std::string BaseOf(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Returns the directory that holds `path`, as dirname(1) gives it for a path without a closing
// slash: "." for a bare name, "/" for a name at the root.
inline std::string DirectoryOf(const std::string &path) {
    if (path.find('/') == std::string::npos) return ".";
    const std::string parent = ParentOf(path);
    return parent.empty() ? "/" : parent;
}

// `path` made absolute against the working directory; false where that cannot be read.
inline bool MakeAbsolute(const std::string &path, std::string &absolute) {
    if (!path.empty() && path[0] == '/') {
        absolute = path;
        return true;
    }
    std::string cwd(256, '\0');
    while (getcwd(cwd.data(), cwd.size()) == nullptr) {
        if (errno != ERANGE) return false;
        cwd.resize(cwd.size() * 2);
    }
    cwd.resize(std::strlen(cwd.c_str()));
    absolute = cwd + "/" + path;
    return true;
}

// The pieces of `text` between `separator`s, empty ones included: "a::b" gives "a", "", "b", and
// "" gives one empty piece.
inline std::vector<std::string> SplitAt(const std::string &text, char separator) {
    std::vector<std::string> pieces;
    for (std::size_t at = 0;;) {
        const std::size_t end = text.find(separator, at);
        pieces.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos) return pieces;
        at = end + 1;
    }
}

#endif
