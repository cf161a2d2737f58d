#include "gzipsource.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

GzipSource::GzipSource(int fd, std::uint64_t offset, std::uint64_t length, bool singleMember)
    : fd_(fd), next_(offset), end_(offset + length), singleMember_(singleMember) {
    // 16 + the largest window: a gzip wrapper, checked by zlib itself.
    zReady_ = inflateInit2(&z_, 16 + MAX_WBITS) == Z_OK;
    if (!zReady_) fault_ = "cannot be decompressed: out of memory";
}

GzipSource::~GzipSource() {
    if (zReady_) inflateEnd(&z_);
}

ssize_t GzipSource::Fail(std::string fault) {
    if (fault_.empty()) fault_ = std::move(fault);
    return -1;
}

// Reads more input behind what inflate has not taken yet.
bool GzipSource::Fill() {
    const std::size_t kept = z_.avail_in;
    if (kept > 0) std::memmove(in_, z_.next_in, kept);
    const std::uint64_t want = std::min<std::uint64_t>(sizeof in_ - kept, end_ - next_);
    ssize_t n;
    do {
        n = pread(fd_, in_ + kept, want, static_cast<off_t>(next_));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        Fail(std::string("cannot be read: ") + std::strerror(errno));
        return false;
    }
    if (n == 0) {
        Fail("is cut short: the file shrank while being read");
        return false;
    }
    next_ += static_cast<std::uint64_t>(n);
    if (onRead_) onRead_(static_cast<std::uint64_t>(n));
    z_.next_in = in_;
    z_.avail_in = static_cast<uInt>(kept + static_cast<std::size_t>(n));
    return true;
}

std::string GzipSource::DescribeZlibFault() const {
    const std::string msg = z_.msg ? z_.msg : "";
    if (msg == "incorrect header check") return "is not gzip data";
    if (msg == "incorrect data check") return "fails its CRC-32 check: the data is damaged";
    if (msg == "incorrect length check") return "fails its length check: the data is damaged";
    return "is damaged (" + (msg.empty() ? std::string("unreadable deflate data") : msg) + ")";
}

ssize_t GzipSource::Read(unsigned char *out, std::size_t n) {
    if (!fault_.empty()) return -1;
    if (ended_ || n == 0) return 0;
    z_.next_out = out;
    z_.avail_out = static_cast<uInt>(std::min<std::size_t>(n, 1u << 30));
    const uInt asked = z_.avail_out;
    while (z_.avail_out > 0) {
        if (z_.avail_in == 0) {
            if (next_ == end_) return Fail("is cut short");
            if (!Fill()) return -1;
        }
        const int r = inflate(&z_, Z_NO_FLUSH);
        if (r == Z_STREAM_END) {
            ++members_;
            const std::uint64_t behind = z_.avail_in + (end_ - next_);
            if (behind == 0) {
                ended_ = true;
                break;
            }
            // What follows is another member, or something gunzip would complain about. A single
            // byte already read may be all there is: reading on would find the end, not a shrunk file.
            if (z_.avail_in < 2 && next_ < end_ && !Fill()) return -1;
            const bool anotherMember = z_.avail_in >= 2 && z_.next_in[0] == 0x1f && z_.next_in[1] == 0x8b;
            if (!anotherMember)
                return Fail("is followed by " + std::to_string(behind) + " bytes that are not gzip data");
            if (singleMember_) return Fail("holds more than one gzip member");
            inflateReset(&z_);
        } else if (r == Z_DATA_ERROR) {
            return Fail(DescribeZlibFault());
        } else if (r == Z_MEM_ERROR) {
            return Fail("cannot be decompressed: out of memory");
        } else if (r != Z_OK && r != Z_BUF_ERROR) {
            return Fail(DescribeZlibFault());
        }
    }
    return static_cast<ssize_t>(asked - z_.avail_out);
}

bool GzipSource::Drain() {
    unsigned char scrap[1 << 16];
    ssize_t n;
    while ((n = Read(scrap, sizeof scrap)) > 0) {
    }
    return n == 0;
}
