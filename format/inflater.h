// The gzip layer of the payload check: decompresses a stream of gzip members as gunzip reads it.
// The header is read by this code whichever decoder inflates, and the CRC-32 and length are checked
// by this code behind zlib and by ISA-L itself, so both decoders are held to the same rules
// (tests/inflater_test.cpp): ISA-L's inflate where libisal.so.2 can be loaded at run time (several
// times faster than zlib's), zlib's otherwise.
#ifndef SONARIS_INFLATER_H
#define SONARIS_INFLATER_H

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>

class Inflater {
public:
    enum class Decoder {
        Fastest,  // ISA-L when it can be loaded, else zlib
        Zlib,
    };
    enum class Result {
        NeedInput,    // everything given has been taken
        MemberEnd,    // a member ended soundly; what follows would be read as a new member
        CheckFailed,  // a member's CRC-32 or length does not fit what it held; its trailer was taken
        Damaged,      // not readable as gzip
        Stopped,      // the sink asked to stop
    };
    // Takes `n` decompressed bytes; false stops the inflation.
    using Sink = bool (*)(void *context, const unsigned char *data, std::size_t n);

    explicit Inflater(Decoder decoder = Decoder::Fastest);
    ~Inflater();
    Inflater(const Inflater &) = delete;
    Inflater &operator=(const Inflater &) = delete;

    // Decompresses from the `n` bytes at `data` into `sink` until one of the results above; `used`
    // tells how many of the bytes were taken. After MemberEnd the next call reads a new member;
    // after Stopped it goes on where it stopped, with output it still holds even when `n` is 0;
    // after the other results it stays where it is.
    Result Run(const unsigned char *data, std::size_t n, std::size_t &used, Sink sink, void *context);

    // Which decoder inflates: for tests and benchmarks.
    bool UsesIsal() const { return isal_ != nullptr; }

private:
    struct Isal;
    enum class Stage { Header, Extra, Name, Comment, HeaderCrc, Body, Trailer };

    bool Header(const unsigned char *&p, const unsigned char *end);
    Result Body(const unsigned char *&p, const unsigned char *end, Sink sink, void *context);
    Result BodyZlib(const unsigned char *&p, const unsigned char *end, Sink sink, void *context);
    Result BodyIsal(const unsigned char *&p, const unsigned char *end, Sink sink, void *context);
    void StartMember();

    Stage stage_ = Stage::Header;
    bool damaged_ = false;
    // The member's header: its fixed part, then the optional fields its flags announce.
    unsigned char fixed_[10] = {};
    std::size_t got_ = 0;       // bytes of the fixed part, the extra field's length or the header CRC
    std::size_t extraLeft_ = 0;
    std::uint32_t headerCrc_ = 0;
    std::uint32_t recordedHeaderCrc_ = 0;
    // The zlib decoder and the trailer it leaves to us; ISA-L reads and checks the trailer itself.
    z_stream z_{};
    bool zReady_ = false;
    std::uint32_t crc_ = 0;
    std::uint32_t size_ = 0;  // bytes decompressed, modulo 2^32, as the trailer counts them
    bool outputPending_ = false;            // the decoder may have output without more input
    Result deferred_ = Result::NeedInput;  // a result the sink's stop kept for the next call
    unsigned char trailer_[8] = {};
    std::unique_ptr<Isal> isal_;
    std::unique_ptr<unsigned char[]> out_;
};

#endif
