// What the one who packs can do about a problem of the tree. reasons.cpp says what is wrong; the
// packer adds from here what to do about it, and says what the tree as a whole lacks.
#ifndef SONARIS_PACK_REMEDIES_H
#define SONARIS_PACK_REMEDIES_H

#include "format/reasons.h"
#include "format/rules.h"

#include <cstddef>
#include <string>
#include <vector>

// The source being packed, as the fixes name it.
struct PackSource {
    std::string source, output;     // as given
    bool directory = false;         // a directory, not a gzip'd tar
    std::vector<std::string> root;  // where a directory source really lies, by its parts; empty where unknown
};

// What repacking with the system's tars leaves out, for records the installer does not take; ""
// where repacking is not the fix.
std::string RepackFix(const BrokenRule &b);

// The fix for `broken`, which the member `name` (a link to `link`) breaks, once `rules` has seen
// the whole tree; "" for none.
std::string Remedy(const BrokenRule &broken, const std::string &name, const std::string &link, const PackSource &source,
                   const PayloadRules &rules);

// What keeps the tree as a whole from being packed, with its fix: no members, or no launcher that
// will run (a link that leads to an executable file of the tree will). `tops` counts the members
// at the top, `top` names the last of them. "" for nothing.
std::string TreeProblem(const PayloadRules &rules, const PackSource &source, std::size_t tops, const std::string &top);

#endif
