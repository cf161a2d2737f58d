// The tree's check: the members of a source held to the installer's rules as they come, every
// problem gathered with what the packager can do about it (remedies.h), and what will break once
// the tree is installed.
#ifndef SONARIS_PACK_TREECHECK_H
#define SONARIS_PACK_TREECHECK_H

#include "format/rules.h"
#include "tools/member.h"
#include "tools/remedies.h"

#include <cstddef>
#include <map>
#include <string>
#include <vector>

// A report of many problems or warnings of a kind shows this many, then how many more.
constexpr std::size_t kShown = 20;

// Lines of one kind: the first kShown kept, the rest counted.
class Lines {
public:
    void Add(std::string line) {
        if (lines_.size() < kShown) lines_.push_back(std::move(line));
        ++count_;
    }
    // One more line not shown, without its words.
    void Count() { ++count_; }
    bool shows() const { return lines_.size() < kShown; }
    // The lines, then "and N more `what`" for those not shown.
    void AppendTo(std::vector<std::string> &out, const std::string &what) const {
        out.insert(out.end(), lines_.begin(), lines_.end());
        if (count_ > lines_.size()) out.push_back("and " + std::to_string(count_ - lines_.size()) + " more " + what);
    }

private:
    std::vector<std::string> lines_;
    std::size_t count_ = 0;
};

class TreeCheck {
public:
    // `directory` tells a directory source from a gzip'd tar.
    TreeCheck(const std::string &source, const std::string &output, bool directory);

    // Holds `m` to the rules; false (the problem noted) where it breaks one.
    bool Admit(const Member &m);
    // What the installed tree will do otherwise than the source: a member others cannot read,
    // set-id bits that the payload does not keep. `mode` is the source's own.
    void Note(const std::string &name, MemberType type, unsigned mode);
    // A rule broken by the member `name` (a link to `link`).
    void Refuse(BrokenRule broken, const std::string &name = "", const std::string &link = "");
    // A line about the source as a whole, or with `named`, one that names its file itself
    // ("PATH: cannot read: ...").
    void SourceProblem(std::string line, bool named = false);
    bool failed() const { return count_ > 0; }

    // Throws PackError with every problem found; returns what will break later otherwise.
    std::vector<std::string> Conclude();

private:
    // One problem as found. A rule's fix waits for the whole tree, as a link's target may be a
    // member that comes later.
    struct Problem {
        enum class Kind {
            Rule,    // `broken`, by `member` (a link to `link`)
            Source,  // `line`, about the source as a whole
            File,    // `line`, which names its file itself
        };
        Kind kind;
        BrokenRule broken;
        std::string member, link;
        std::string line;
    };
    void Add(Problem problem);
    // Every problem on a line of its own, each with its fix; a lone one on the first line.
    std::string Report() const;

    PackSource source_;
    PayloadRules rules_;
    std::vector<Problem> problems_;  // the first kShown
    std::size_t count_ = 0;          // of all problems
    Lines closed_, setId_;
    std::map<std::string, std::string> links_;  // name -> target, of every link admitted
    std::size_t tops_ = 0;  // members at the top
    std::string top_;       // the last of them
};

#endif
