// Why a payload may not be installed, in words for whoever reads the refusal. Every such text is
// written once, in reasons.cpp; what to do about it is for the program that reports it to add: the
// installer for the person installing, the packer for the one who packs.
#ifndef SONARIS_FORMAT_REASONS_H
#define SONARIS_FORMAT_REASONS_H

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

// Who can put a refusal right.
enum class RefusalKind {
    Damaged,      // a checksum that does not match, a field that is no number, a cut archive: get the file again
    Unsupported,  // intact, but holds what the installer does not take: its supplier must repack it
    InTheWay,     // what already stands in the destination conflicts with a member: the text names it by
                  // its path inside the destination; remove it or choose another directory
};

// The rules a payload may break, each with its text in reasons.cpp.
enum class Rule : std::uint8_t {
    Sound,  // no rule broken
    // A member's name.
    NoName, ControlInName, AbsoluteName, EmptyPart, DotPart, DotDotPart, FileWithDirectoryName,
    // What a member is, and where it stands among the others.
    NotInstallable, SetId, Twice, UnderLink, UnderFile, DataOnNonFile,
    LinkEmpty, LinkControl, LinkAbsolute, LinkDownThenUp, LinkOut, HardLinkMissing, HardLinkNotFile,
    Acl, Attribute,
    // What stands in the destination.
    LinkWhereDirectory, LinkOnTheWay,
    // The archive as a whole.
    NoMembers, CutShort,
    // Headers and the records in front of them.
    UnknownFormat, Checksum, NotANumber, Binary, Negative, IdTooLarge, SizeTooLarge,
    RecordTwice, RecordTooLong, LongNameNul,
    PaxUnreadable, PaxBadValue, PaxMapOrder, PaxForEvery, Keyword,
    // Sparse files.
    SparseMapUnreadable, SparseMapMismatch, SparseNoForm, SparseStandIn, SparseForm, SparseNotFile, SparseTwice,
};

// A rule broken: which, its text, and what the text was made of.
struct BrokenRule {
    Rule rule = Rule::Sound;
    std::string text;
    std::vector<std::string> args;
    explicit operator bool() const { return rule != Rule::Sound; }
};

// The text of `rule` with its $1, $2, ... taken from `args` in turn.
BrokenRule Say(Rule rule, std::initializer_list<std::string> args);
RefusalKind KindOf(Rule rule);

#endif
