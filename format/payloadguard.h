// What the extraction lets reach tar. The check reads the tar stream that gunzip makes of the
// payload, on its way from gunzip to tar: headers and records are read into memory as every tar
// reads them and held to the payload rules (rules.h) before tar has any of them. The first
// member that breaks them stops the stream before tar has seen its header. The file data between
// headers is only counted, so that it can be passed on unread (Passable). The packer's --verify
// holds payloads to the same rules with this code. What is admitted, and why tar alone is not
// enough: docs/format.md.
#ifndef SONARIS_PAYLOADGUARD_H
#define SONARIS_PAYLOADGUARD_H

#include "format/rules.h"
#include "format/tarheader.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class PayloadGuard {
public:
    enum class Verdict {
        Sound,    // send the bytes
        Refused,  // a member that may not be installed; reason() names it
    };

    PayloadGuard() = default;
    // Judges what already stands in the destination too (rules.h).
    explicit PayloadGuard(PayloadRules::Where where) : rules_(where) {}
    PayloadGuard(const PayloadGuard &) = delete;
    PayloadGuard &operator=(const PayloadGuard &) = delete;

    // The verdict on the next `n` bytes of the tar stream. Once it is not Sound it stays so.
    Verdict Inspect(const unsigned char *data, std::size_t n);
    // The verdict once the tar stream has ended: an archive cut short is refused.
    Verdict End();
    // The bytes that may follow unread, a member's data and padding; after a Sound verdict only.
    std::uint64_t Passable() const { return verdict_ == Verdict::Sound && recordLeft_ == 0 ? skip_ : 0; }
    // `n` bytes of at most Passable() have gone by.
    void Pass(std::uint64_t n) { skip_ -= std::min(n, Passable()); }
    // The archive's end has been read (a zero block): tar reads no member behind it.
    bool archiveEnded() const { return archiveEnded_; }
    // For Refused: "member ./bin/x is a symbolic link to ../../x, which leads out of the installed
    // tree"; for InTheWay it begins with the path inside the destination: "usr/lib is a symbolic
    // link where the installer file has a directory".
    const std::string &reason() const { return broken_.text; }
    // For Refused: which rule, for a reader who adds what to do about it.
    const BrokenRule &brokenRule() const { return broken_; }
    // For Refused: what the one who reads the refusal can do about it (reasons.h).
    using Refusal = ::RefusalKind;
    Refusal refusal() const { return KindOf(broken_.rule); }
    bool damaged() const { return refusal() == Refusal::Damaged; }
    // The members admitted so far, as tar extracts them, once asked to keep them before the first
    // block (the check itself does not need the list).
    void KeepJudged() { rules_.KeepJudged(); }
    const std::vector<Entry> &judged() const { return rules_.judged(); }
    // The targets of the links admitted, for rules().Lead() and the launcher's way; asked for before
    // the first block.
    void KeepLinks() { rules_.KeepLinks(); }
    const PayloadRules &rules() const { return rules_; }

private:
    void Unpacked(const unsigned char *data, std::size_t n);
    void Header(const unsigned char *block);
    void RecordRead();
    bool Pax(const std::string &data, bool global);
    void ArchiveEnd();
    void Refuse(BrokenRule broken);
    bool WideFields(const unsigned char *h, const std::string &member, std::uint64_t &uid, std::uint64_t &gid,
                    std::uint64_t &size);
    bool SparseStart(const unsigned char *h, Entry &entry, std::uint64_t size, bool gnu);
    bool SparsePieces(const unsigned char *at, std::size_t pieces);
    void SparseExtension(const unsigned char *block);
    void SparseMapRead();
    void SparseEnd();

    Verdict verdict_ = Verdict::Sound;
    BrokenRule broken_;

    // The tar layer: a header being gathered, data being passed over, or a record (a GNU long
    // name or link target, a pax extended header) being read into `record_`.
    unsigned char header_[tarheader::kBlock];
    std::size_t headerFill_ = 0;
    std::uint64_t skip_ = 0;        // data and padding still to pass over
    std::uint64_t recordLeft_ = 0;  // bytes of the record still to read
    unsigned char recordType_ = 0;
    std::string recordName_;        // the record's own header name, for messages
    std::string reading_;           // the name of the record or member whose data comes, for messages
    bool started_ = false;          // a header has been read
    std::string record_;
    // A pax record type of our own: the map at the start of a sparse member's data.
    static constexpr unsigned char kSparseMap = 1;
    // What GNU.sparse records give the next member: the form (0.0 and 0.1 have no major and
    // minor), the real name and size, the map as offset and length in turn.
    struct Sparse {
        bool given = false, hasName = false, hasReal = false, hasCount = false;
        std::uint64_t major = 0, minor = 0, real = 0, count = 0;
        std::string name;
        std::vector<std::uint64_t> map;
    };
    // What the records in front of the next member give it.
    struct Overrides {
        bool hasName = false, hasLink = false, hasSize = false;
        bool hasUid = false, hasGid = false, hasUname = false, hasGname = false;
        std::string name, link, uname, gname;
        std::uint64_t size = 0, uid = 0, gid = 0;
        std::string unknown;  // the first keyword the installer does not take
        std::vector<std::pair<std::string, std::string>> attributes;  // extended attributes and ACLs
        Sparse sparse;
    };
    // The sparse member being read: its label for messages, real size, map, the data it holds in
    // the archive after the map, and what of its stored length is left to pass over.
    struct SparseMember {
        std::string label;
        std::uint64_t real = 0, data = 0, left = 0;
        std::vector<std::uint64_t> map;
        bool extended = false;   // GNU extension blocks follow
        bool mapInData = false;  // pax 1.0: the map is read first
    };
    SparseMember sparse_;
    Overrides longNames_;  // GNU L and K records
    Overrides local_;      // a pax 'x' header
    Overrides global_;     // the owners of pax 'g' headers
    bool localPending_ = false;
    bool archiveEnded_ = false;  // the last header was a zero block
    PayloadRules rules_;
};

#endif
