// Writes the payload: a GNU tar with 10240-byte records, gzip'd, with owners 0/0 and no owner names
// or gzip name and time, so that equal members make equal bytes.
#ifndef SONARIS_PACK_PAYLOADWRITER_H
#define SONARIS_PACK_PAYLOADWRITER_H

#include "tools/member.h"
#include "tools/paralleldeflate.h"

#include <cstdint>
#include <functional>
#include <string>

class PayloadWriter {
public:
    // Appends to `fd` at its current position, compressing on `jobs` threads. Refuses a payload
    // longer than `limit` bytes, naming `source`; write failures name `output`.
    PayloadWriter(int fd, std::uint64_t limit, std::string output, std::string source, unsigned jobs);
    PayloadWriter(const PayloadWriter &) = delete;
    PayloadWriter &operator=(const PayloadWriter &) = delete;

    // Writes the member's header; a file's `size` bytes of content follow, in as many calls to
    // Content and Copy as suit, and then EndFile.
    void Add(const Member &member);
    void Content(const void *data, std::size_t n);
    // Content: `n` bytes from `from`, starting at `offset`; `where` names them.
    void Copy(int from, std::uint64_t offset, std::uint64_t n, const std::string &where);
    void EndFile();
    // Has `report` told the count of content bytes as each piece of a file goes in.
    void OnContent(std::function<void(std::uint64_t n)> report) { onContent_ = std::move(report); }
    // Ends the tar and the gzip stream; returns the payload's length.
    std::uint64_t Finish();
    // How many members have been written.
    std::size_t members() const { return members_; }

private:
    void WriteGzip(const unsigned char *data, std::size_t n);
    void Tar(const void *data, std::size_t n);
    void Pad(std::size_t to);

    int fd_;
    std::uint64_t limit_;
    std::string output_, source_;
    std::uint64_t written_ = 0;  // of the payload
    std::uint64_t tar_ = 0;      // of the tar inside it
    std::size_t members_ = 0;
    std::function<void(std::uint64_t)> onContent_;
    ParallelGzip gzip_;
};

#endif
