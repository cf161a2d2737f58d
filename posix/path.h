// The directory part of a path, as dirname(1) gives it.
#ifndef SONARIS_POSIX_PATH_H
#define SONARIS_POSIX_PATH_H

#include <string>

// Returns the directory that holds `path`: "." for a bare name, "/" for a name at the root.
inline std::string DirectoryOf(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

#endif
