// The payload rules on their own: which link targets stay in the tree, and the order, names and
// kinds of members a payload may hold.
#include <gtest/gtest.h>

#include "format/rules.h"
#include "format/trailer.h"
#include "posix/fd.h"
#include "tests/fixtures.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

using fixtures::TempDir;

namespace {

TEST(Rules, SymbolicLinkTargetsStayInTheTree) {
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
        EXPECT_EQ(SymlinkFault(c.link, c.target) == Rule::Sound, c.admitted);
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

// The first rule `members` break, then what Finish says; "" for a sound payload.
std::string Check(const std::vector<Entry> &members, bool privileged = false, int destination = -1) {
    PayloadRules::Where where;
    where.privileged = privileged;
    where.destination = destination;
    PayloadRules rules(where);
    for (const Entry &e : members) {
        const BrokenRule broken = rules.Add(e);
        if (broken) return broken.text;
    }
    return rules.Finish().text;
}

TEST(Rules, MembersInPayloadOrder) {
    struct Case {
        const char *name;
        std::vector<Entry> members;
        std::string broken;
        bool privileged = false;  // root installs
    } cases[] = {
        {"links of every admitted shape",
         {D("./"), D("./bin/"), D("./lib/"), F("./lib/libfoo.so.1.2.3"), L("./lib/libfoo.so.1", "libfoo.so.1.2.3"),
          L("./bin/foo", "../lib/libfoo.so.1"), H("./bin/copy", "lib/libfoo.so.1.2.3"), L("./d", "nowhere")},
         ""},
        {"names without \"./\", contents before their directory, no top", {F("a/b"), D("a/"), D("."), F("sonaris", 0644)}, ""},
        {"\".\" inside a name", {L("lib", "."), D("lib/.")}, "member lib/. has a \".\" part in its name"},
        {"\"./\" twice in front", {F("././a")}, "member ././a has a \".\" part in its name"},
        {"an empty component", {F("a//b")}, "member a//b has an empty part (\"//\") in its name"},
        {"an empty name", {F("")}, "a member has no name"},
        {"a closing slash on a file", {F("a/")}, "member a/ ends in \"/\" like a directory but is a regular file"},
        {"the top as a file", {F("./")}, "member ./ ends in \"/\" like a directory but is a regular file"},
        {"a name under a link", {L("./lib", "."), F("./lib/x")}, "member ./lib/x lies under ./lib, which is a symbolic link"},
        {"a name under a file", {F("./f"), F("./f/g")}, "member ./f/g lies under ./f, which is not a directory"},
        {"a name twice, spelt differently", {F("./a"), L("a", "b")}, "member a appears twice in the archive"},
        {"the top twice", {D("./"), D(".")}, "member . appears twice in the archive"},
        {"a hard link to itself", {H("./h", "./h")}, "member ./h is a hard link to ./h, which the archive does not hold before it"},
        {"a hard link to a hard link", {F("./a"), H("./b", "./a"), H("./c", "./b")},
         "member ./c is a hard link to ./b, which is a hard link, not a regular file"},
        {"a hard link to a directory's name", {F("./a"), H("./b", "./a/")},
         "member ./b is a hard link to ./a/, which the archive does not hold before it"},
        {"setuid", {F("a", 04755)}, "member a has the setuid bit set, which the installer does not allow"},
        {"setgid and setuid", {D("d/", 06755)}, "member d/ has the setuid and setgid bits set, which the installer does not allow"},
        {"an open top, root installing", {D("./", 0777)}, "", true},
        {"an open top, a user installing", {D("./", 0777)}, ""},
        {"a packager's own top, root installing", {Top(0755, 1000, "alice", 1000, "alice")}, "", true},
        {"setuid, root installing", {F("a", 04755)}, "member a has the setuid bit set, which the installer does not allow", true},
        {"an unknown kind named as given", {{"./p", MemberType::Unknown, "a sparse file", 0644, ""}},
         "member ./p is a sparse file: only directories, regular files, symbolic links and hard links can be installed"},
        {"a control character, escaped", {F("./a\tb")}, "member ./a\\011b has a control character (a line break, a tab or the like) in its name"},
        {"a control character in a target", {L("./a", "b\nc")}, "member ./a is a symbolic link whose target b\\012c has a control character in it"},
        {"nothing", {}, "the archive holds nothing to install"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Check(c.members, c.privileged), c.broken);
    }
}

// Enough names to grow the record many times over, in payload order.
std::vector<Entry> ManyNames() {
    std::vector<Entry> tree;
    for (int d = 0; d < 40; ++d) {
        const std::string dir = "./d" + std::to_string(d) + "/";
        tree.push_back(D(dir));
        for (int f = 0; f < 600; ++f) tree.push_back(F(dir + "item-" + std::to_string(f)));
        tree.push_back(L(dir + "link", "item-0"));
        tree.push_back(F(dir + "file"));
    }
    return tree;
}

// Then one member more: the rules hold for names met long before, under other directories, and
// for names that share bytes but not components with the one before; so do the links that stand
// in the destination, where the payload's own names go.
TEST(Rules, RulesHoldOverManyNames) {
    TempDir dest;
    ASSERT_EQ(mkdir((dest / "d3").c_str(), 0755), 0);
    ASSERT_EQ(symlink("/", (dest / "d3/old").c_str()), 0);
    ASSERT_EQ(symlink("/", (dest / "elsewhere").c_str()), 0);
    const Fd fd(open(dest.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(fd);
    const std::vector<Entry> tree = ManyNames();
    struct Case {
        std::vector<Entry> more;
        std::string broken;
        bool inDestination = false;  // installed into `dest`, links and all
    } cases[] = {
        {{F("d0/item-0")}, "member d0/item-0 appears twice in the archive"},
        {{D("./d39/")}, "member ./d39/ appears twice in the archive"},
        {{F("d7/link/x")}, "member d7/link/x lies under ./d7/link, which is a symbolic link"},
        {{F("d7/file/x/y")}, "member d7/file/x/y lies under ./d7/file, which is not a directory"},
        {{H("./h", "./d3/item-599")}, ""},
        {{H("./h", "./d3/item-600")}, "member ./h is a hard link to ./d3/item-600, which the archive does not hold before it"},
        {{H("./h", "./d3")}, "member ./h is a hard link to ./d3, which is a directory, not a regular file"},
        {{H("./h", "./item-5")}, "member ./h is a hard link to ./item-5, which the archive does not hold before it"},
        {{F("d39/file-2"), F("d39/file/x")}, "member d39/file/x lies under ./d39/file, which is not a directory"},
        {{D("d39/file-2/"), F("d39/file-2/x"), F("d39/file/x")}, "member d39/file/x lies under ./d39/file, which is not a directory"},
        {{D("d39/fil/"), F("d39/fil/e"), F("d39/fil/e")}, "member d39/fil/e appears twice in the archive"},
        {{F("./d40"), F("./d4/new"), F("./d40/x")}, "member ./d40/x lies under ./d40, which is not a directory"},
        {{F("d3/old/x")}, "d3/old is a symbolic link, and member d3/old/x would be installed through it", true},
        {{D("d3/old/")}, "d3/old is a symbolic link where the installer file has a directory", true},
        {{L("d3/old", "item-0")}, "", true},
        {{D("elsewhere/"), F("elsewhere/x")}, "elsewhere is a symbolic link where the installer file has a directory", true},
        {{F("d0/elsewhere/x"), F("elsewhere/x")}, "elsewhere is a symbolic link, and member elsewhere/x would be installed through it", true},
        {{F("d3/item-5/x")}, "member d3/item-5/x lies under ./d3/item-5, which is not a directory", true},
    };
    for (const auto &c : cases) {
        std::vector<Entry> members = tree;
        members.insert(members.end(), c.more.begin(), c.more.end());
        SCOPED_TRACE(c.more.back().name);
        EXPECT_EQ(Check(members, false, c.inDestination ? fd.get() : -1), c.broken);
    }
}

// Every reason the format gives, filled in: one line of plain text that names what it is about,
// for the reports that put it between their own words.
TEST(Rules, EveryReasonIsOneLineBetweenOtherWords) {
    std::vector<std::string> texts;
    // Sparse-file faults come last.
    for (int f = static_cast<int>(Rule::Sound) + 1; f <= static_cast<int>(Rule::SparseTwice); ++f)
        texts.push_back(Say(static_cast<Rule>(f), {MemberLabel(""), "x", "y"}).text);
    for (int f = static_cast<int>(TrailerFault::NoNewline); f <= static_cast<int>(TrailerFault::Unreadable); ++f)
        texts.push_back(DescribeTrailerFault(static_cast<TrailerFault>(f)));
    for (const std::string &text : texts) {
        SCOPED_TRACE(text);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.find_first_of("$\n"), std::string::npos);
        EXPECT_EQ(text.find("  "), std::string::npos);
        EXPECT_NE(text.back(), '.');
        // What the packager should do belongs to the packer's report, not to the installer's.
        EXPECT_EQ(text.find("tar -"), std::string::npos);
        EXPECT_EQ(text.find("make it"), std::string::npos);
    }
}

TEST(Rules, LauncherHabitsAreWarnings) {
    const auto judged = [](const std::vector<Entry> &members) {
        PayloadRules rules;
        for (const Entry &e : members) EXPECT_EQ(rules.Add(e).text, "");
        return LauncherWarnings(rules.launcher());
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
