// One gzip member compressed on several processors. The input is cut into blocks of a fixed size;
// each is deflated on its own, with the 32 KiB in front of it as its dictionary, and ended on a
// byte boundary, so that the pieces join into one deflate stream; their CRC-32s are joined with
// crc32_combine. The blocks depend on the input alone, so the output is the same bytes for every
// number of workers.
#ifndef SONARIS_PACK_PARALLELDEFLATE_H
#define SONARIS_PACK_PARALLELDEFLATE_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// The processors this process may run on (at least 1).
unsigned AvailableProcessors();

class ParallelGzip {
public:
    // Receives the compressed bytes in order, always on the thread that calls Write or Finish; what
    // it throws comes out of that call.
    using Sink = std::function<void(const unsigned char *data, std::size_t n)>;

    static constexpr int kLevel = 6;                        // with a shorter search; see bench/README.md
    static constexpr std::size_t kBlockSize = 128 << 10;    // of input
    static constexpr std::size_t kDictionary = 32 << 10;    // deflate's window

    // `jobs` threads compress (with 1, the caller does); `blockSize` is at least kDictionary.
    ParallelGzip(Sink sink, unsigned jobs, int level = kLevel, std::size_t blockSize = kBlockSize);
    // Stops the workers; output not yet handed to the sink is dropped.
    ~ParallelGzip();
    ParallelGzip(const ParallelGzip &) = delete;
    ParallelGzip &operator=(const ParallelGzip &) = delete;

    void Write(const void *data, std::size_t n);
    // Compresses what is left and hands over the rest of the member, its CRC-32 and length last.
    void Finish();

private:
    struct Block;
    class Deflater;
    class Compressor;

    void Submit(bool last);
    void CollectOldest();
    std::unique_ptr<Block> NewBlock();
    void Work() noexcept;
    void Stop() noexcept;

    Sink sink_;
    int level_;
    std::size_t blockSize_;
    std::size_t maxInFlight_;
    std::unique_ptr<Compressor> own_;  // with no workers
    std::unique_ptr<Block> current_;
    std::deque<std::unique_ptr<Block>> inFlight_;  // in input order, oldest first
    std::vector<std::unique_ptr<Block>> spare_;
    bool headerWritten_ = false;
    std::uint32_t crc_ = 0;
    std::uint64_t length_ = 0;

    // Shared with the workers.
    std::mutex mutex_;
    std::condition_variable work_, done_;
    std::deque<Block *> queue_;
    bool stop_ = false;
    std::vector<std::thread> workers_;
};

#endif
