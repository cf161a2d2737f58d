// The installer file being written. It has no name until it is complete, so an interrupted or
// failed pack leaves no OUTPUT behind, and an OUTPUT that existed before stays as it was.
#ifndef SONARIS_PACK_OUTPUTFILE_H
#define SONARIS_PACK_OUTPUTFILE_H

#include "tools/owners.h"

#include <sys/types.h>

#include <string>

class OutputFile {
public:
    // Opens a new, nameless file in the directory of `path`.
    explicit OutputFile(std::string path);
    // Removes the file unless it was committed.
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    int fd() const { return fd_.get(); }
    // Gives the complete file its mode, flushes it to disk and puts it in place under `path`.
    void Commit(mode_t mode);

private:
    void OpenNamed();
    // Records the file's temporary name, for removal on failure or interruption.
    void Name(const std::string &temp);
    void Forget();

    std::string path_, directory_, base_;
    Fd directoryFd_, fd_;
    std::string temp_;  // the file's temporary name, when the file system cannot make nameless files
    bool committed_ = false;
};

#endif
