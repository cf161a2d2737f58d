// The payload rules on their own: which link targets stay in the tree, and the order, names and
// kinds of members a payload may hold.
#include <gtest/gtest.h>

#include "format/contract.h"

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

Entry D(const std::string &name, unsigned mode = 0755) { return {name, MemberType::Directory, "", mode, ""}; }
// The top with the owner and group a packager's own tar records.
Entry Top(unsigned mode, std::uint64_t uid, const char *uname, std::uint64_t gid, const char *gname) {
    Entry top = D("./", mode);
    top.uid = uid, top.uname = uname, top.gid = gid, top.gname = gname;
    return top;
}
Entry F(const std::string &name, unsigned mode = 0644) { return {name, MemberType::File, "", mode, ""}; }
Entry L(const std::string &name, const std::string &target) { return {name, MemberType::Symlink, "", 0777, target}; }
Entry H(const std::string &name, const std::string &target) { return {name, MemberType::HardLink, "", 0644, target}; }

// The first breach in `members`, then what Finish says; "" for a sound payload.
std::string Check(const std::vector<Entry> &members, bool root = false) {
    ContractChecker::Where where;
    where.root = root;
    ContractChecker contract(where);
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
        bool root = false;
    } cases[] = {
        {"links of every admitted shape",
         {D("./"), D("./bin/"), D("./lib/"), F("./lib/libfoo.so.1.2.3"), L("./lib/libfoo.so.1", "libfoo.so.1.2.3"),
          L("./bin/foo", "../lib/libfoo.so.1"), H("./bin/copy", "lib/libfoo.so.1.2.3"), L("./d", "nowhere")},
         ""},
        {"names without \"./\", contents before their directory, no top", {F("a/b"), D("a/"), D("."), F("sonaris", 0644)}, ""},
        {"\".\" inside a name", {L("lib", "."), D("lib/.")}, "member lib/. has a \".\" component"},
        {"\"./\" twice in front", {F("././a")}, "member ././a has a \".\" component"},
        {"an empty component", {F("a//b")}, "member a//b has an empty component"},
        {"an empty name", {F("")}, "member  has an empty name"},
        {"a closing slash on a file", {F("a/")}, "member a/ has a directory's name but is a regular file"},
        {"the top as a file", {F("./")}, "member ./ has a directory's name but is a regular file"},
        {"a name under a link", {L("./lib", "."), F("./lib/x")}, "member ./lib/x lies under ./lib, which is a symbolic link"},
        {"a name under a file", {F("./f"), F("./f/g")}, "member ./f/g lies under ./f, which is not a directory"},
        {"a name twice, spelt differently", {F("./a"), L("a", "b")}, "member a appears twice"},
        {"the top twice", {D("./"), D(".")}, "member . appears twice"},
        {"a hard link to itself", {H("./h", "./h")}, "member ./h is a hard link to ./h, which no member before it is"},
        {"a hard link to a hard link", {F("./a"), H("./b", "./a"), H("./c", "./b")},
         "member ./c is a hard link to ./b, which is a hard link, not a regular file"},
        {"a hard link to a directory's name", {F("./a"), H("./b", "./a/")},
         "member ./b is a hard link to ./a/, which no member before it is"},
        {"setuid", {F("a", 04755)}, "member a has the setuid bit"},
        {"setgid and setuid", {D("d/", 06755)}, "member d/ has the setuid and setgid bits"},
        {"an open top, root installing", {D("./", 0777)}, "", true},
        {"an open top, a user installing", {D("./", 0777)}, ""},
        {"a packager's own top, root installing", {Top(0755, 1000, "alice", 1000, "alice")}, "", true},
        {"setuid, root installing", {F("a", 04755)}, "member a has the setuid bit", true},
        {"an unknown kind named as given", {{"./p", MemberType::Unknown, "a sparse file", 0644, ""}},
         "member ./p is a sparse file; only directories, regular files, symbolic links and hard links may be installed"},
        {"a control character, escaped", {F("./a\tb")}, "member ./a\\011b has a control character in its name"},
        {"a control character in a target", {L("./a", "b\nc")}, "member ./a is a symbolic link to b\\012c, a target with a control character"},
        {"nothing", {}, "the payload holds no members"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Check(c.members, c.root), c.breach);
    }
}

TEST(Contract, LauncherHabitsAreWarnings) {
    const auto judged = [](const std::vector<Entry> &members) {
        ContractChecker contract;
        for (const Entry &e : members) EXPECT_EQ(contract.Add(e), "");
        return LauncherWarnings(contract.judged());
    };
    EXPECT_EQ(judged({D("bin/"), F("./sonaris", 0755)}), std::vector<std::string>{});
    EXPECT_EQ(judged({F("a")}), std::vector<std::string>{"the payload holds no launcher ./sonaris"});
    EXPECT_EQ(judged({F("sonaris", 0644), F("z")}),
              (std::vector<std::string>{"the launcher ./sonaris is not executable (mode 0644)",
                                        "the launcher ./sonaris is not the last member"}));
    EXPECT_EQ(judged({F("run", 0755), H("sonaris", "run")}),
              std::vector<std::string>{"the launcher ./sonaris is not a regular file"});
}

}  // namespace
