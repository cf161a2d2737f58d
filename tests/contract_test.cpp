// The payload rules on their own: which link targets stay in the tree, and the order, names and
// kinds of members a payload may hold.
#include <gtest/gtest.h>

#include "contract.h"

#include <string>
#include <vector>

namespace {

TEST(Contract, SymbolicLinkTargetsStayInTheTree) {
    struct Case {
        const char *link;    // canonical
        const char *target;
        bool admitted;
    } cases[] = {
        {"lib/libfoo.so.1", "libfoo.so.1.2.3", true},
        {"bin/x", "../lib/x", true},
        {"bin/x", "../lib/x/", true},
        {"a/b/c", "../../d", true},
        {"a/b", "./.././/c", true},  // "." and empty components do not count
        {"top", ".", true},
        {"dangling", "nowhere/at/all", true},
        {"x", "../y", false},
        {"x", "..", false},
        {"a/b", "../../y", false},
        {"a/b", "../a/../../y", false},
        {"m", "a/../../y", false},
        {"m", "a/..", false},
        {"m", "/etc", false},
        {"m", "//etc", false},
        {"m", "", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.link) + " -> " + c.target);
        EXPECT_EQ(SymlinkFault(c.link, c.target).empty(), c.admitted) << SymlinkFault(c.link, c.target);
    }
}

Entry D(const std::string &name) { return {name, MemberType::Directory, "", 0755, ""}; }
Entry F(const std::string &name, unsigned mode = 0644) { return {name, MemberType::File, "", mode, ""}; }
Entry L(const std::string &name, const std::string &target) { return {name, MemberType::Symlink, "", 0777, target}; }
Entry H(const std::string &name, const std::string &target) { return {name, MemberType::HardLink, "", 0644, target}; }
const Entry kLauncher = F("./sonaris", 0755);

// The first breach in `members`, then what Finish says; "" for a sound payload.
std::string Check(const std::vector<Entry> &members) {
    ContractChecker contract;
    for (const Entry &e : members) {
        const std::string breach = contract.Add(e);
        if (!breach.empty()) return breach;
    }
    return contract.Finish();
}

TEST(Contract, MembersInPayloadOrder) {
    struct Case {
        const char *name;
        std::vector<Entry> members;
        std::string breach;
    } cases[] = {
        {"links of every admitted shape",
         {D("./"), D("./bin/"), D("./lib/"), F("./lib/libfoo.so.1.2.3"), L("./lib/libfoo.so.1", "libfoo.so.1.2.3"),
          L("./bin/foo", "../lib/libfoo.so.1"), H("./bin/copy", "./lib/libfoo.so.1.2.3"), L("./d", "nowhere"), kLauncher},
         ""},
        {"old-style directory names", {D("./"), F("./d/"), F("./d/x"), kLauncher}, ""},
        {"a name under a link", {D("./"), L("./lib", "."), F("./lib/x"), kLauncher},
         "member ./lib/x lies under ./lib, which is a symbolic link"},
        {"a name under a file", {D("./"), F("./f"), F("./f/g"), kLauncher},
         "member ./f/g lies under ./f, which is not a directory"},
        {"a name twice, spelt differently", {D("./"), F("./a"), L("a/", "b"), kLauncher}, "member a/ appears twice"},
        {"a hard link to itself", {D("./"), H("./h", "./h"), kLauncher},
         "member ./h is a hard link to ./h, which no member before it is"},
        {"a hard link to a hard link", {D("./"), F("./a"), H("./b", "./a"), H("./c", "./b"), kLauncher},
         "member ./c is a hard link to ./b, which is a hard link, not a regular file"},
        {"a hard link by another spelling", {D("./"), F("./a"), H("./b", "./a/"), kLauncher},
         "member ./b is a hard link to ./a/, not to the name the file was packed under, ./a"},
        {"the launcher a hard link", {D("./"), F("./run", 0755), H("./sonaris", "./run")},
         "the launcher ./sonaris is not a regular file"},
        {"the launcher a link", {D("./"), F("./run", 0755), L("./sonaris", "run")},
         "the launcher ./sonaris is not a regular file"},
        {"a link after the launcher", {D("./"), kLauncher, L("./z", "sonaris")},
         "the launcher ./sonaris is not the last member: ./z follows it"},
        {"an unknown kind named as given", {D("./"), {"./p", MemberType::Unknown, "a pax extended header", 0644, ""}},
         "member ./p is a pax extended header; only directories, regular files, symbolic links and hard links may be "
         "installed"},
        {"a control character, escaped", {D("./"), L("./a\tb", "/")},
         "member ./a\\011b is a symbolic link to /, an absolute target: make it relative, so that it works wherever the "
         "tree is installed"},
        {"no launcher", {D("./"), F("./a")}, "the payload holds no launcher ./sonaris"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Check(c.members), c.breach);
    }
}

}  // namespace
