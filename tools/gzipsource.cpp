#include "tools/gzipsource.h"
#include "posix/io.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

const std::size_t kInputSize = kMiB;
const std::size_t kOutputSize = 256 * kKiB;

}  // namespace

GzipSource::GzipSource(int fd, std::uint64_t offset, std::uint64_t length, bool singleMember)
    : fd_(fd), offset_(offset), next_(offset), end_(offset + length), singleMember_(singleMember),
      in_(kInputSize), output_(kOutputSize) {
    zReady_ = inflateInit2(&z_, 16 + MAX_WBITS) == Z_OK;
}

GzipSource::~GzipSource() {
    if (zReady_) inflateEnd(&z_);
}

bool GzipSource::Fail(std::string fault) {
    if (fault_.empty()) fault_ = std::move(fault);
    return false;
}

// Reads more input behind what the inflater has not taken yet.
bool GzipSource::Fill() {
    const std::size_t kept = inEnd_ - inAt_;
    if (kept > 0) std::memmove(in_.data(), in_.data() + inAt_, kept);
    inAt_ = 0;
    inEnd_ = kept;
    const std::uint64_t want = std::min<std::uint64_t>(in_.size() - kept, end_ - next_);
    const ssize_t n = ReadAt(fd_, in_.data() + kept, want, next_);
    if (n < 0) return Fail(std::string("cannot be read: ") + std::strerror(errno));
    if (n == 0) return Fail("is cut short: the file shrank while being read");
    next_ += static_cast<std::uint64_t>(n);
    inEnd_ += static_cast<std::size_t>(n);
    if (onRead_) onRead_(static_cast<std::uint64_t>(n));
    return true;
}

// The faults in zlib's words, as they have always been reported: the stream is decompressed once
// more with zlib up to its first fault. Only a failing payload pays for it.
std::string GzipSource::DescribeFault() const {
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return "cannot be decompressed: out of memory";
    std::vector<unsigned char> in(kCopyChunk), out(kCopyChunk);
    std::string described;
    for (std::uint64_t at = offset_; described.empty();) {
        if (z.avail_in == 0) {
            const ssize_t n = at < end_ ? ReadAt(fd_, in.data(), std::min<std::uint64_t>(in.size(), end_ - at), at) : 0;
            if (n <= 0) break;
            at += static_cast<std::uint64_t>(n);
            z.next_in = in.data();
            z.avail_in = static_cast<uInt>(n);
        }
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        const int r = inflate(&z, Z_NO_FLUSH);
        if (r == Z_STREAM_END) {
            inflateReset(&z);  // what follows was found to be a member
        } else if (r == Z_MEM_ERROR) {
            described = "cannot be decompressed: out of memory";
        } else if (r != Z_OK && r != Z_BUF_ERROR) {
            const std::string msg = z.msg ? z.msg : "";
            if (msg == "incorrect header check") described = "is not gzip data";
            else if (msg == "incorrect data check") described = "fails its CRC-32 check: the data is damaged";
            else if (msg == "incorrect length check") described = "fails its length check: the data is damaged";
            else described = "is damaged (" + (msg.empty() ? std::string("unreadable deflate data") : msg) + ")";
        }
    }
    inflateEnd(&z);
    return described.empty() ? "is damaged (unreadable deflate data)" : described;
}

// gunzip passes over zeros behind the last member quietly (bsdtar pads its gzip output to whole
// records with them). Reads on while there are only zeros.
bool GzipSource::ZerosToTheEnd() {
    for (;;) {
        if (!std::all_of(in_.data() + inAt_, in_.data() + inEnd_, [](unsigned char c) { return c == 0; })) return false;
        inAt_ = inEnd_;
        if (next_ == end_) return true;
        if (!Fill()) return false;
    }
}

// One call of the inflater: false on a fault.
bool GzipSource::Step() {
    if (!zReady_) return Fail("cannot be decompressed: out of memory");
    if (damaged_) return Fail(DescribeFault());
    // zlib may still hold output when it last filled the buffer.
    if (inAt_ == inEnd_ && (memberEnded_ || !full_)) {
        if (next_ == end_) return memberEnded_ ? (ended_ = true) : Fail("is cut short");
        if (!Fill()) return false;
    }
    if (memberEnded_) {
        // What follows is another member, or something gunzip would complain about. A single
        // byte already read may be all there is: reading on would find the end, not a shrunk file.
        const std::uint64_t behind = (inEnd_ - inAt_) + (end_ - next_);
        if (inEnd_ - inAt_ < 2 && next_ < end_ && !Fill()) return false;
        const bool anotherMember = inEnd_ - inAt_ >= 2 && in_[inAt_] == 0x1f && in_[inAt_ + 1] == 0x8b;
        if (!anotherMember && ZerosToTheEnd()) return ended_ = true;
        if (!fault_.empty()) return false;
        followedByOther_ = !anotherMember;
        if (!anotherMember) return Fail("is followed by " + std::to_string(behind) + " bytes that are not gzip data");
        if (singleMember_) return Fail("holds more than one gzip member");
        memberEnded_ = false;
        inflateReset(&z_);
    }
    z_.next_in = in_.data() + inAt_;
    z_.avail_in = static_cast<uInt>(inEnd_ - inAt_);
    z_.next_out = output_.data();
    z_.avail_out = static_cast<uInt>(output_.size());
    const int r = inflate(&z_, Z_NO_FLUSH);
    inAt_ = inEnd_ - z_.avail_in;
    out_ = output_.data();
    outLeft_ = output_.size() - z_.avail_out;
    full_ = z_.avail_out == 0;
    if (r == Z_STREAM_END) {
        memberEnded_ = true;
        return true;
    }
    if (r == Z_OK || r == Z_BUF_ERROR) return true;
    // What zlib made before the fault is read first, as gunzip would have written it.
    damaged_ = true;
    return outLeft_ > 0 || Fail(DescribeFault());
}

ssize_t GzipSource::Read(unsigned char *out, std::size_t n) {
    if (!fault_.empty()) return -1;
    if (n == 0) return 0;
    while (outLeft_ == 0) {
        if (ended_) return 0;
        if (!Step()) return -1;
    }
    const std::size_t k = std::min(n, outLeft_);
    std::memcpy(out, out_, k);
    out_ += k;
    outLeft_ -= k;
    return static_cast<ssize_t>(k);
}

bool GzipSource::Drain() {
    if (!fault_.empty()) return false;
    for (outLeft_ = 0; !ended_; outLeft_ = 0)
        if (!Step()) return false;
    return true;
}
