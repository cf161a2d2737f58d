// The directory part of a path, as dirname(1) gives it, and the pieces of a path or a search path.
#ifndef SONARIS_POSIX_PATH_H
#define SONARIS_POSIX_PATH_H

#include <string>
#include <vector>

// Returns the directory that holds `path`: "." for a bare name, "/" for a name at the root.
inline std::string DirectoryOf(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
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
