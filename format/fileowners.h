// Move-only owners for what the installer file is read through, shared by the installer and the
// packer: stdio streams. Destructors never throw; an explicit close reports its error.
#ifndef SONARIS_FORMAT_FILEOWNERS_H
#define SONARIS_FORMAT_FILEOWNERS_H

#include <cstdio>
#include <memory>

struct FileCloser {
    void operator()(std::FILE *f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Closes the stream and reports whether everything written to it reached the file.
inline bool Close(File &file) {
    return file ? std::fclose(file.release()) == 0 : true;
}

#endif
