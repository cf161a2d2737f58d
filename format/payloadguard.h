// What the extraction lets reach tar. The payload is read as it streams to "gunzip | tar xf -":
// each block is decompressed here first, and the tar headers it completes are read as every tar
// reads them (canonical headers only: plain octal numbers, a checksum that fits, known types, pax
// records with the keywords tar applies) and held to the payload contract (contract.h) before the
// block is sent. The first member that breaks it stops the stream before tar has seen its header;
// so does anything behind the payload's one gzip member.
//
// tar alone is not enough: GNU tar strips a leading "/" (or keeps it, told to by TAR_OPTIONS),
// makes device nodes when run by root, and makes symbolic links pointing anywhere once it has
// finished. Such a link left in the destination is followed by the next installation there.
// The packer's --verify holds payloads to the same rules with this code.
#ifndef SONARIS_PAYLOADGUARD_H
#define SONARIS_PAYLOADGUARD_H

#include "format/contract.h"
#include "format/inflater.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class PayloadGuard {
public:
    enum class Verdict {
        Admit,    // send the block
        Damaged,  // the data cannot be read as gzip'd tar: gunzip or tar would fail on it too
        Refused,  // a member that may not be installed, or bytes behind the gzip member; reason() names it
    };

    // The decoder is chosen for tests; both hold payloads to the same rules.
    explicit PayloadGuard(Inflater::Decoder decoder = Inflater::Decoder::Fastest);
    // Judges what already stands in the destination too (contract.h).
    explicit PayloadGuard(ContractChecker::Where where, Inflater::Decoder decoder = Inflater::Decoder::Fastest);
    ~PayloadGuard();
    PayloadGuard(const PayloadGuard &) = delete;
    PayloadGuard &operator=(const PayloadGuard &) = delete;

    // The verdict on the next `n` bytes of the payload. Once it is not Admit it stays so.
    Verdict Inspect(const unsigned char *data, std::size_t n);
    // Has `pause` called between pieces of the inflated output, so that a chunk that inflates
    // far does not hold its caller for long; null for none.
    using Pause = void (*)(void *context);
    void SetPause(Pause pause, void *context) {
        pause_ = pause;
        pauseContext_ = context;
    }
    // For Refused: "member ./bin/x is a symbolic link to ../../x, which leads out of the tree".
    const std::string &reason() const { return reason_; }
    bool UsesIsal() const { return inflater_.UsesIsal(); }
    // The members admitted so far, as tar extracts them, once asked to keep them before the first
    // block (the check itself does not need the list).
    void KeepJudged() { contract_.KeepJudged(); }
    const std::vector<Judged> &judged() const { return contract_.judged(); }
    const ContractChecker &contract() const { return contract_; }
    // The gzip member has ended soundly, its CRC-32 and length checked.
    bool ended() const { return ended_; }

private:
    void Unpacked(const unsigned char *data, std::size_t n);
    void Header(const unsigned char *block);
    void RecordRead();
    bool Pax(const std::string &data, bool global);
    void ArchiveEnd();
    void Behind(const unsigned char *data, std::size_t n);
    void Refuse(const std::string &reason);

    Inflater inflater_;
    Pause pause_ = nullptr;
    void *pauseContext_ = nullptr;
    bool ended_ = false;   // the gzip member has ended: nothing may follow
    bool sealed_ = false;  // a member failed its closing check: nothing may follow
    Verdict verdict_ = Verdict::Admit;
    std::string reason_;

    // The tar layer: a header being gathered, data being passed over, or a record (a GNU long
    // name or link target, a pax extended header) being read into `record_`.
    unsigned char header_[512];
    std::size_t headerFill_ = 0;
    std::uint64_t skip_ = 0;        // data and padding still to pass over
    std::uint64_t recordLeft_ = 0;  // bytes of the record still to read
    unsigned char recordType_ = 0;
    std::string recordName_;        // the record's own header name, for messages
    std::string record_;
    // What the records in front of the next member give it.
    struct Overrides {
        bool hasName = false, hasLink = false, hasSize = false;
        bool hasUid = false, hasGid = false, hasUname = false, hasGname = false;
        std::string name, link, uname, gname;
        std::uint64_t size = 0, uid = 0, gid = 0;
    };
    Overrides longNames_;  // GNU L and K records
    Overrides local_;      // a pax 'x' header
    Overrides global_;     // the owners of pax 'g' headers
    bool localPending_ = false;
    bool archiveEnded_ = false;  // the last header was a zero block
    ContractChecker contract_;
};

#endif
