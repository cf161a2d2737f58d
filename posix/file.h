// A move-only owner of a stdio stream. The destructor never throws; Close reports the error.
#ifndef SONARIS_POSIX_FILE_H
#define SONARIS_POSIX_FILE_H

#include <cstdio>
#include <memory>

struct FileCloser {
    void operator()(std::FILE *f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Closes the stream and returns whether everything written to it reached the file.
inline bool Close(File &file) {
    return file ? std::fclose(file.release()) == 0 : true;
}

#endif
