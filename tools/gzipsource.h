// The gzip layer of payloads and source archives, decompressed with every check gzip defines:
// header, CRC-32 and length of each member, and nothing unexplained behind the stream.
// (libarchive's gzip reader skips the CRC and length checks, so a damaged payload would pass.)
// zlib reads each member's header and checks its CRC-32 and length.
#ifndef SONARIS_PACK_GZIPSOURCE_H
#define SONARIS_PACK_GZIPSOURCE_H

#include <zlib.h>

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

class GzipSource {
public:
    // Reads the `length` bytes at `offset` of `fd` (which stays owned by the caller). With
    // `singleMember`, the bytes must be one gzip member exactly; otherwise members may follow each
    // other, as gunzip allows.
    GzipSource(int fd, std::uint64_t offset, std::uint64_t length, bool singleMember);
    ~GzipSource();
    GzipSource(const GzipSource &) = delete;
    GzipSource &operator=(const GzipSource &) = delete;

    // Decompresses up to `n` bytes into `out`: the count, 0 once the last member has been checked,
    // or -1 on a fault (see fault()).
    ssize_t Read(unsigned char *out, std::size_t n);
    // Decompresses and checks whatever the reader above did not need. False on a fault.
    bool Drain();
    // Has `report` told the count of compressed bytes each read takes from the file.
    void OnRead(std::function<void(std::uint64_t n)> report) { onRead_ = std::move(report); }

    // What is wrong, worded to follow the name of the data ("the payload ..."); empty if nothing.
    const std::string &fault() const { return fault_; }
    // The fault is bytes behind the last member that are neither a member nor zeros.
    bool followedByOther() const { return followedByOther_; }

private:
    bool Fill();
    bool Step();
    bool ZerosToTheEnd();
    bool Fail(std::string fault);  // keeps the first fault; false
    std::string DescribeFault() const;

    int fd_;
    std::uint64_t offset_;
    std::uint64_t next_;  // file offset of the next byte to read
    std::uint64_t end_;
    bool singleMember_;
    bool ended_ = false;
    bool followedByOther_ = false;
    bool memberEnded_ = false;  // zlib ended a member: what follows is judged before it is read
    bool damaged_ = false;  // zlib has found a fault, reported once its output has been read
    bool full_ = false;  // zlib's last call filled the output buffer: it may hold more
    z_stream z_{};
    bool zReady_ = false;
    std::string fault_;
    std::function<void(std::uint64_t)> onRead_;
    std::vector<unsigned char> in_;
    std::vector<unsigned char> output_;
    std::size_t inAt_ = 0, inEnd_ = 0;  // what the inflater has not taken yet
    const unsigned char *out_ = nullptr;  // the inflater's output the reader above has not taken yet
    std::size_t outLeft_ = 0;
};

#endif
