#include "format/inflater.h"

#include <dlfcn.h>
#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <cstring>

namespace {

const std::size_t kOutputSize = 1 << 18;

// The gzip header's flags (RFC 1952); the three high bits are reserved, and gunzip refuses them.
const unsigned char kFlagHeaderCrc = 0x02, kFlagExtra = 0x04, kFlagName = 0x08, kFlagComment = 0x10,
                    kFlagsReserved = 0xe0;
const std::size_t kFixedHeaderSize = 10;
const std::size_t kTrailerSize = 8;

// ISA-L comes only as a shared library, and the program image links nothing but the C library
// dynamically: it is looked for at run time, once.
struct IsalFunctions {
    void (*init)(inflate_state *);
    void (*reset)(inflate_state *);
    int (*inflate)(inflate_state *);
};

const IsalFunctions *LoadIsal() {
    static const IsalFunctions *const loaded = []() -> const IsalFunctions * {
        void *library = dlopen("libisal.so.2", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return nullptr;
        static IsalFunctions f;
        f.init = reinterpret_cast<void (*)(inflate_state *)>(dlsym(library, "isal_inflate_init"));
        f.reset = reinterpret_cast<void (*)(inflate_state *)>(dlsym(library, "isal_inflate_reset"));
        f.inflate = reinterpret_cast<int (*)(inflate_state *)>(dlsym(library, "isal_inflate"));
        if (f.init == nullptr || f.reset == nullptr || f.inflate == nullptr) return nullptr;
        return &f;
    }();
    return loaded;
}

std::uint32_t Little32(const unsigned char *p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

struct Inflater::Isal {
    const IsalFunctions *f;
    inflate_state state;
};

Inflater::Inflater(Decoder decoder) : out_(new unsigned char[kOutputSize]) {
    if (decoder == Decoder::Fastest) {
        if (const IsalFunctions *f = LoadIsal()) {
            isal_.reset(new Isal);
            isal_->f = f;
            f->init(&isal_->state);
            StartMember();
            return;
        }
    }
    // Raw deflate: the wrapper is ours.
    zReady_ = inflateInit2(&z_, -MAX_WBITS) == Z_OK;
    if (!zReady_) damaged_ = true;
    StartMember();
}

Inflater::~Inflater() {
    if (zReady_) inflateEnd(&z_);
}

void Inflater::StartMember() {
    stage_ = Stage::Header;
    got_ = 0;
    headerCrc_ = crc32(0, nullptr, 0);
    recordedHeaderCrc_ = 0;
    crc_ = crc32(0, nullptr, 0);
    size_ = 0;
    if (isal_) {
        isal_->f->reset(&isal_->state);
        // The decoder checks the CRC-32 and the length that follow the deflate data.
        isal_->state.crc_flag = ISAL_GZIP_NO_HDR_VER;
    } else if (zReady_) {
        inflateReset(&z_);
    }
}

// Reads header bytes up to the deflate data: true once it is reached.
bool Inflater::Header(const unsigned char *&p, const unsigned char *end) {
    // The stages in their order in the header, each present when its flag is set.
    auto next = [this](Stage from) {
        const unsigned char flags = fixed_[3];
        const Stage order[] = {Stage::Extra, Stage::Name, Stage::Comment, Stage::HeaderCrc, Stage::Body};
        const unsigned char flag[] = {kFlagExtra, kFlagName, kFlagComment, kFlagHeaderCrc, 0};
        std::size_t i = 0;
        while (order[i] != from) ++i;
        for (++i; order[i] != Stage::Body; ++i)
            if (flags & flag[i]) return order[i];
        return Stage::Body;
    };
    auto hash = [this](const unsigned char *from, std::size_t n) {
        headerCrc_ = crc32(headerCrc_, from, static_cast<uInt>(n));
    };
    while (p < end && stage_ != Stage::Body) {
        switch (stage_) {
        case Stage::Header: {
            const std::size_t take = std::min<std::size_t>(kFixedHeaderSize - got_, end - p);
            std::memcpy(fixed_ + got_, p, take);
            hash(p, take);
            p += take;
            got_ += take;
            // Each of the first four bytes is judged as it arrives, as zlib and gunzip judge them.
            if ((got_ > 0 && fixed_[0] != 0x1f) || (got_ > 1 && fixed_[1] != 0x8b) ||
                (got_ > 2 && fixed_[2] != Z_DEFLATED) || (got_ > 3 && (fixed_[3] & kFlagsReserved))) {
                damaged_ = true;
                return false;
            }
            if (got_ < kFixedHeaderSize) return false;
            got_ = 0;
            // Extra is the first optional field: start from the one before it.
            stage_ = (fixed_[3] & kFlagExtra) ? Stage::Extra : next(Stage::Extra);
            break;
        }
        case Stage::Extra:
            if (got_ < 2) {
                // Its length, two bytes, low first.
                extraLeft_ = got_ == 0 ? *p : extraLeft_ | static_cast<std::size_t>(*p) << 8;
                hash(p, 1);
                ++p;
                ++got_;
            } else {
                const std::size_t take = std::min<std::size_t>(extraLeft_, end - p);
                hash(p, take);
                p += take;
                extraLeft_ -= take;
            }
            if (got_ == 2 && extraLeft_ == 0) {
                got_ = 0;
                stage_ = next(Stage::Extra);
            }
            break;
        case Stage::Name:
        case Stage::Comment: {
            const unsigned char *nul = static_cast<const unsigned char *>(std::memchr(p, 0, end - p));
            const unsigned char *stop = nul ? nul + 1 : end;
            hash(p, stop - p);
            p = stop;
            if (nul) stage_ = next(stage_);
            break;
        }
        case Stage::HeaderCrc:
            // The low two bytes of the CRC-32 of the header in front of them, low first.
            recordedHeaderCrc_ |= static_cast<std::uint32_t>(*p++) << (8 * got_++);
            if (got_ == 2) {
                if (recordedHeaderCrc_ != (headerCrc_ & 0xffff)) {
                    damaged_ = true;
                    return false;
                }
                stage_ = Stage::Body;
            }
            break;
        default: break;
        }
    }
    return stage_ == Stage::Body;
}

// Both decoders: the output goes to the sink before the result of the call counts; a result the
// sink's stop would hide is kept for the next call.
Inflater::Result Inflater::BodyZlib(const unsigned char *&p, const unsigned char *end, Sink sink, void *context) {
    z_.next_in = const_cast<Bytef *>(p);
    z_.avail_in = static_cast<uInt>(end - p);
    for (;;) {
        z_.next_out = out_.get();
        z_.avail_out = kOutputSize;
        const int r = inflate(&z_, Z_NO_FLUSH);
        const std::size_t n = kOutputSize - z_.avail_out;
        p = z_.next_in;
        crc_ = crc32(crc_, out_.get(), static_cast<uInt>(n));
        size_ += static_cast<std::uint32_t>(n);
        outputPending_ = r == Z_OK && z_.avail_out == 0;
        bool done = true;  // this call's result is NeedInput unless said otherwise
        if (r == Z_STREAM_END) {
            stage_ = Stage::Trailer;  // the trailer is ours to read
            got_ = 0;
        } else if (r != Z_BUF_ERROR && r != Z_OK) {
            damaged_ = true;  // the next call says so
        } else if (!(z_.avail_in == 0 && z_.avail_out > 0) && r != Z_BUF_ERROR) {
            done = false;
        }
        if (n > 0 && !sink(context, out_.get(), n)) return Result::Stopped;
        if (damaged_) return Result::Damaged;
        if (done) return Result::NeedInput;
    }
}

Inflater::Result Inflater::BodyIsal(const unsigned char *&p, const unsigned char *end, Sink sink, void *context) {
    inflate_state &s = isal_->state;
    s.next_in = const_cast<std::uint8_t *>(p);
    s.avail_in = static_cast<std::uint32_t>(end - p);
    for (;;) {
        s.next_out = out_.get();
        s.avail_out = kOutputSize;
        const int r = isal_->f->inflate(&s);
        const std::size_t n = kOutputSize - s.avail_out;
        p = s.next_in;
        Result result = Result::Stopped;  // Stopped here: go on inflating
        if (r == ISAL_INCORRECT_CHECKSUM) {
            damaged_ = true;  // nothing may follow
            result = Result::CheckFailed;
        } else if (r != ISAL_DECOMP_OK) {
            damaged_ = true;
            result = Result::Damaged;
        } else if (s.block_state == ISAL_BLOCK_FINISH) {
            StartMember();
            result = Result::MemberEnd;
        } else if (s.avail_in == 0 && s.avail_out > 0) {
            result = Result::NeedInput;
        }
        outputPending_ = result == Result::Stopped;
        if (n > 0 && !sink(context, out_.get(), n)) {
            if (result == Result::MemberEnd || result == Result::CheckFailed) deferred_ = result;
            return Result::Stopped;
        }
        if (result != Result::Stopped) return result;
    }
}

Inflater::Result Inflater::Run(const unsigned char *data, std::size_t n, std::size_t &used, Sink sink,
                               void *context) {
    const unsigned char *p = data;
    const unsigned char *const end = data + n;
    Result result = Result::NeedInput;
    if (deferred_ != Result::NeedInput) {
        used = 0;
        std::swap(result, deferred_);
        return result;
    }
    while (!damaged_ && (p < end || (stage_ == Stage::Body && outputPending_)) && result == Result::NeedInput) {
        if (stage_ == Stage::Body) {
            result = isal_ ? BodyIsal(p, end, sink, context) : BodyZlib(p, end, sink, context);
        } else if (stage_ == Stage::Trailer) {
            const std::size_t take = std::min<std::size_t>(kTrailerSize - got_, end - p);
            std::memcpy(trailer_ + got_, p, take);
            p += take;
            got_ += take;
            if (got_ == kTrailerSize) {
                if (Little32(trailer_) != crc_ || Little32(trailer_ + 4) != size_) {
                    damaged_ = true;  // nothing may follow
                    result = Result::CheckFailed;
                } else {
                    StartMember();
                    result = Result::MemberEnd;
                }
            }
        } else {
            Header(p, end);
        }
    }
    if (damaged_ && result == Result::NeedInput) result = Result::Damaged;
    used = static_cast<std::size_t>(p - data);
    return result;
}
