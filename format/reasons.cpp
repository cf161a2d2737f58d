#include "format/reasons.h"

#include <cstdint>

namespace {

struct Text {
    Rule rule;
    RefusalKind kind;
    const char *text;  // "$1" is the first argument, mostly the member's label ("member ./bin/x")
};

using R = RefusalKind;

const Text kTexts[] = {
    {Rule::NoName, R::Unsupported, "a member has no name"},
    {Rule::ControlInName, R::Unsupported, "$1 has a control character (a line break, a tab or the like) in its name"},
    {Rule::AbsoluteName, R::Unsupported, "$1 has an absolute name, which would put it outside the destination"},
    {Rule::EmptyPart, R::Unsupported, "$1 has an empty part (\"//\") in its name"},
    {Rule::DotPart, R::Unsupported, "$1 has a \".\" part in its name"},
    {Rule::DotDotPart, R::Unsupported, "$1 has a \"..\" part in its name, which could lead outside the destination"},
    {Rule::FileWithDirectoryName, R::Unsupported, "$1 ends in \"/\" like a directory but is $2"},
    {Rule::NotInstallable, R::Unsupported,
     "$1 is $2: only directories, regular files, symbolic links and hard links can be installed"},
    {Rule::SetId, R::Unsupported, "$1 has the $2 set, which the installer does not allow"},
    {Rule::Twice, R::Unsupported, "$1 appears twice in the archive"},
    {Rule::UnderLink, R::Unsupported, "$1 lies under $2, which is a symbolic link"},
    {Rule::UnderFile, R::Unsupported, "$1 lies under $2, which is not a directory"},
    {Rule::DataOnNonFile, R::Unsupported, "$1 is $2 but carries data"},
    {Rule::LinkEmpty, R::Unsupported, "$1 is a symbolic link with an empty target"},
    {Rule::LinkControl, R::Unsupported, "$1 is a symbolic link whose target $2 has a control character in it"},
    {Rule::LinkAbsolute, R::Unsupported,
     "$1 is a symbolic link to $2, an absolute path that leads out of the installed tree"},
    {Rule::LinkDownThenUp, R::Unsupported,
     "$1 is a symbolic link to $2, which goes back up with \"..\" after going down"},
    {Rule::LinkOut, R::Unsupported, "$1 is a symbolic link to $2, which leads out of the installed tree"},
    {Rule::HardLinkMissing, R::Unsupported, "$1 is a hard link to $2, which the archive does not hold before it"},
    {Rule::HardLinkNotFile, R::Unsupported, "$1 is a hard link to $2, which is $3, not a regular file"},
    {Rule::Acl, R::Unsupported,
     "$1 carries an access control list ($2) that grants access to others than its owner, which tar run as root "
     "would restore"},
    {Rule::Attribute, R::Unsupported,
     "$1 carries the extended attribute $2, which could grant access or privileges where tar run as root restores it"},
    {Rule::LinkWhereDirectory, R::InTheWay, "$1 is a symbolic link where the installer file has a directory"},
    {Rule::LinkOnTheWay, R::InTheWay, "$1 is a symbolic link, and $2 would be installed through it"},
    {Rule::NoMembers, R::Unsupported, "the archive holds nothing to install"},
    {Rule::CutShort, R::Damaged, "the archive stops in the middle of $1"},
    {Rule::UnknownFormat, R::Damaged, "$1 has a damaged header: it is in no known tar format"},
    {Rule::Checksum, R::Damaged, "$1 has a damaged header: its checksum does not match"},
    {Rule::NotANumber, R::Damaged, "$1 has a damaged header: its $2 is not a number"},
    {Rule::Binary, R::Unsupported, "$1 gives its $2 in binary form, which the installer does not take"},
    {Rule::Negative, R::Unsupported, "$1 has a negative $2 in its header"},
    {Rule::IdTooLarge, R::Unsupported, "$1 gives $2 number larger than Linux allows"},
    {Rule::SizeTooLarge, R::Unsupported, "$1 gives a size larger than tar can handle"},
    {Rule::RecordTwice, R::Unsupported,
     "$1 is a second long-name or extended header for the same member, which tars read differently"},
    {Rule::RecordTooLong, R::Unsupported,
     "$1 is an extended header longer than $2 bytes, which the installer does not take"},
    {Rule::LongNameNul, R::Unsupported, "$1 is a long $2 with a NUL byte inside it"},
    {Rule::PaxUnreadable, R::Damaged, "$1 is damaged: one of its records cannot be read"},
    {Rule::PaxBadValue, R::Damaged, "$1 is damaged: its $2 value is not valid"},
    {Rule::PaxMapOrder, R::Damaged, "$1 is damaged: its sparse map is out of order"},
    {Rule::PaxForEvery, R::Unsupported, "$1 sets $2 for every member after it, which tars apply differently"},
    {Rule::Keyword, R::Unsupported, "$1 carries the extended record $2, which the installer does not take"},
    {Rule::SparseMapUnreadable, R::Damaged, "$1 is a sparse file whose map of data pieces is damaged"},
    {Rule::SparseMapMismatch, R::Damaged, "$1 is a sparse file whose map of data pieces does not match its data"},
    {Rule::SparseNoForm, R::Unsupported, "$1 has sparse-file records that tars read differently"},
    {Rule::SparseStandIn, R::Unsupported,
     "$1 is a sparse file stored under the name $2, where a tar that does not know sparse files would write it"},
    {Rule::SparseForm, R::Unsupported,
     "$1 is a sparse file in the form GNU.sparse $2, which the installer does not take"},
    {Rule::SparseNotFile, R::Damaged, "$1 has sparse-file records that do not describe a regular file"},
    {Rule::SparseTwice, R::Unsupported, "$1 is described as a sparse file twice, which tars read differently"},
};

const Text *Find(Rule rule) {
    for (const Text &t : kTexts)
        if (t.rule == rule) return &t;
    return nullptr;
}

}  // namespace

BrokenRule Say(Rule rule, std::initializer_list<std::string> args) {
    BrokenRule b;
    b.rule = rule;
    b.args.assign(args.begin(), args.end());
    const Text *t = Find(rule);
    if (t == nullptr) return b;
    for (const char *p = t->text; *p != '\0'; ++p) {
        const bool placeholder = p[0] == '$' && p[1] >= '1' && p[1] <= '9';
        const std::size_t n = placeholder ? static_cast<std::size_t>(p[1] - '1') : SIZE_MAX;
        if (n < b.args.size()) {
            b.text += b.args[n];
            ++p;
        } else {
            b.text += *p;
        }
    }
    return b;
}

RefusalKind KindOf(Rule rule) {
    const Text *t = Find(rule);
    return t ? t->kind : RefusalKind::Unsupported;
}
