#include "tools/paralleldeflate.h"
#include "tools/error.h"

#include <sched.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>
#include <system_error>

unsigned AvailableProcessors() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

// ---- blocks ----

struct ParallelGzip::Block {
    explicit Block(std::size_t capacity) : in(new unsigned char[kDictionary + capacity]) {}

    std::unique_ptr<unsigned char[]> in;  // the dictionary, then the data
    std::size_t dictionary = 0;
    std::size_t size = 0;  // of the data
    bool last = false;
    std::vector<unsigned char> out;
    std::size_t outSize = 0;
    std::uint32_t crc = 0;
    const char *fault = nullptr;
    bool done = false;  // guarded by mutex_ while in flight

    const unsigned char *data() const { return in.get() + dictionary; }
};

// A raw deflate stream, reset for each block; a worker keeps one for all its blocks.
class ParallelGzip::Deflater {
public:
    explicit Deflater(int level) : shortened_(level == kLevel), storing_(level == 0) {
        // -15: raw deflate with the full window; the gzip wrapper is ours, around all the blocks.
        ready_ = deflateInit2(&z_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~Deflater() {
        if (ready_) deflateEnd(&z_);
    }
    Deflater(const Deflater &) = delete;
    Deflater &operator=(const Deflater &) = delete;

    // Fills the block's output; returns what went wrong, or null.
    const char *Compress(Block &b) noexcept {
        if (!ready_ || deflateReset(&z_) != Z_OK) return "out of memory";
        // At the packer's level the search for matches is shorter than zlib's level 6: a fifth less
        // processor time for 0.1 to 0.2% of payload (bench/README.md). The reset restores the
        // level's own parameters, so they are set again for every block.
        if (shortened_ && deflateTune(&z_, 4, 16, 258, 96) != Z_OK) return "cannot set the search";
        // Stored blocks refer to nothing before them: the dictionary would be hashed for nothing.
        if (!storing_ && b.dictionary > 0 && deflateSetDictionary(&z_, b.in.get(), static_cast<uInt>(b.dictionary)) != Z_OK)
            return "cannot set the dictionary";
        // Every block but the last ends with an empty stored block, which brings the stream to a
        // byte boundary without ending it.
        const int flush = b.last ? Z_FINISH : Z_SYNC_FLUSH;
        z_.next_in = const_cast<Bytef *>(b.data());
        z_.avail_in = static_cast<uInt>(b.size);
        b.outSize = 0;
        try {
            b.out.resize(deflateBound(&z_, static_cast<uLong>(b.size)) + 64);
            for (;;) {
                z_.next_out = b.out.data() + b.outSize;
                z_.avail_out = static_cast<uInt>(b.out.size() - b.outSize);
                const int r = deflate(&z_, flush);
                b.outSize = b.out.size() - z_.avail_out;
                if (r == Z_STREAM_ERROR) return "deflate failed";
                if (b.last ? r == Z_STREAM_END : z_.avail_in == 0 && z_.avail_out > 0) break;
                if (z_.avail_out == 0) b.out.resize(b.out.size() * 2);
            }
        } catch (const std::bad_alloc &) {
            return "out of memory";
        }
        b.crc = static_cast<std::uint32_t>(crc32(0, b.data(), static_cast<uInt>(b.size)));
        return nullptr;
    }

private:
    z_stream z_{};
    bool ready_ = false;
    bool shortened_;
    bool storing_;
};

namespace {

// Data that is already compressed (media, archives) costs deflate as much time as any other and
// comes out no smaller; such a block goes into stored blocks at once. The test is the block's byte
// entropy (with the Miller-Madow correction for its size): random bytes read 8.000 bits; repeats
// that deflate could still find within its window pull the figure below the threshold.
bool LooksIncompressible(const unsigned char *p, std::size_t n) {
    if (n < 16384) return false;  // too few bytes to tell
    // Four tallies, so that runs of one byte value do not wait on a single counter.
    std::size_t tallies[4][256] = {};
    // A byte value in a twentieth of the block or more holds the entropy below 7.9 bits, the
    // correction for the smallest block's size included, whatever the rest: most blocks (text,
    // programs, headers and their zeros) are told so within their first few KiB.
    const std::size_t common = n / 20, step = 8192;
    std::size_t i = 0;
    for (std::size_t until = step; i + 4 <= n; until = std::min(n, until + step)) {
        for (; i + 4 <= until; i += 4) {
            ++tallies[0][p[i]];
            ++tallies[1][p[i + 1]];
            ++tallies[2][p[i + 2]];
            ++tallies[3][p[i + 3]];
        }
        for (int c = 0; c < 256; ++c)
            if (tallies[0][c] + tallies[1][c] + tallies[2][c] + tallies[3][c] >= common) return false;
    }
    for (; i < n; ++i) ++tallies[0][p[i]];
    std::size_t count[256];
    for (int c = 0; c < 256; ++c) count[c] = tallies[0][c] + tallies[1][c] + tallies[2][c] + tallies[3][c];
    double bits = 0;
    int seen = 0;
    for (std::size_t c : count) {
        if (c == 0) continue;
        const double q = static_cast<double>(c) / static_cast<double>(n);
        bits -= q * std::log2(q);
        ++seen;
    }
    bits += (seen - 1) / (2 * static_cast<double>(n) * std::log(2.0));
    return bits >= 7.997;
}

}  // namespace

// A worker's two streams: one at the chosen level, one that only stores.
class ParallelGzip::Compressor {
public:
    explicit Compressor(int level) : deflate_(level) {}
    const char *Compress(Block &b) noexcept {
        if (!LooksIncompressible(b.data(), b.size)) return deflate_.Compress(b);
        if (!store_) store_.emplace(0);  // only where such data comes
        return store_->Compress(b);
    }

private:
    Deflater deflate_;
    std::optional<Deflater> store_;
};

// ---- the writer ----

ParallelGzip::ParallelGzip(Sink sink, unsigned jobs, int level, std::size_t blockSize)
    : sink_(std::move(sink)), level_(level), blockSize_(std::max(blockSize, kDictionary)),
      // Enough blocks for every worker to have the next one ready when it finishes.
      maxInFlight_(jobs > 1 ? 2 * std::size_t{jobs} : 1) {
    if (jobs <= 1) {
        own_ = std::make_unique<Compressor>(level_);
        return;
    }
    workers_.reserve(jobs);
    try {
        for (unsigned i = 0; i < jobs; ++i) workers_.emplace_back([this] { Work(); });
    } catch (const std::system_error &) {
        Stop();
        throw PackError("cannot start the threads that compress the payload");
    }
}

ParallelGzip::~ParallelGzip() { Stop(); }

void ParallelGzip::Stop() noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    work_.notify_all();
    for (std::thread &t : workers_) t.join();
    workers_.clear();
}

void ParallelGzip::Work() noexcept {
    Compressor compressor(level_);
    for (;;) {
        Block *b;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            work_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (stop_) return;
            b = queue_.front();
            queue_.pop_front();
        }
        const char *fault = compressor.Compress(*b);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            b->fault = fault;
            b->done = true;
        }
        done_.notify_all();
    }
}

std::unique_ptr<ParallelGzip::Block> ParallelGzip::NewBlock() {
    std::unique_ptr<Block> b;
    if (spare_.empty()) {
        b = std::make_unique<Block>(blockSize_);
    } else {
        b = std::move(spare_.back());
        spare_.pop_back();
    }
    b->dictionary = b->size = b->outSize = 0;
    b->last = b->done = false;
    b->fault = nullptr;
    return b;
}

void ParallelGzip::Write(const void *data, std::size_t n) {
    const auto *p = static_cast<const unsigned char *>(data);
    while (n > 0) {
        if (!current_) current_ = NewBlock();
        Block &b = *current_;
        const std::size_t take = std::min(n, blockSize_ - b.size);
        std::memcpy(b.in.get() + b.dictionary + b.size, p, take);
        b.size += take;
        p += take;
        n -= take;
        if (b.size == blockSize_) Submit(false);
    }
}

void ParallelGzip::Submit(bool last) {
    Block *b = current_.get();
    b->last = last;
    std::unique_ptr<Block> next;
    if (!last) {
        // The next block's dictionary is this block's tail, taken before this block can be reused.
        next = NewBlock();
        const std::size_t all = b->dictionary + b->size;
        next->dictionary = std::min(all, kDictionary);
        std::memcpy(next->in.get(), b->in.get() + all - next->dictionary, next->dictionary);
    }
    inFlight_.push_back(std::move(current_));
    current_ = std::move(next);
    if (own_) {
        b->fault = own_->Compress(*b);
        b->done = true;
    } else {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(b);
        }
        work_.notify_one();
    }
    while (inFlight_.size() >= maxInFlight_) CollectOldest();
}

void ParallelGzip::CollectOldest() {
    Block &b = *inFlight_.front();
    if (!own_) {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [&b] { return b.done; });
    }
    if (b.fault) throw PackError(std::string("cannot compress the payload: ") + b.fault);
    if (!headerWritten_) {
        // No name, no time (so equal input makes equal bytes); XFL as gzip sets it; OS: Unix.
        const unsigned char xfl = level_ == 9 ? 2 : level_ == 1 ? 4 : 0;
        const unsigned char header[10] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, xfl, 3};
        sink_(header, sizeof header);
        headerWritten_ = true;
    }
    sink_(b.out.data(), b.outSize);
    crc_ = static_cast<std::uint32_t>(crc32_combine(crc_, b.crc, static_cast<z_off_t>(b.size)));
    length_ += b.size;
    spare_.push_back(std::move(inFlight_.front()));
    inFlight_.pop_front();
}

void ParallelGzip::Finish() {
    if (!current_) current_ = NewBlock();
    Submit(true);
    while (!inFlight_.empty()) CollectOldest();
    unsigned char trailer[8];
    for (int i = 0; i < 4; ++i) {
        trailer[i] = static_cast<unsigned char>(crc_ >> (8 * i));
        trailer[4 + i] = static_cast<unsigned char>(length_ >> (8 * i));  // ISIZE: the length modulo 2^32
    }
    sink_(trailer, sizeof trailer);
}
