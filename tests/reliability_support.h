// Support for the fault, interruption and hostile-payload tests: tar archives written header by
// header, a private tmpfs for one command, and what /proc tells about a running installer.
#ifndef SONARIS_TESTS_RELIABILITY_SUPPORT_H
#define SONARIS_TESTS_RELIABILITY_SUPPORT_H

#include "fixtures.h"

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace reliability {

// ---- tar archives by hand ----

// One member as its header says it: the type flag is the header's own byte ('0' file, '1' hard
// link, '2' symbolic link, '3' character device, '4' block device, '5' directory, '6' fifo,
// 'x' pax extended header, ...). Names longer than the header's 100 bytes get a GNU long-name
// record ('L', or 'K' for the link) in front.
struct TarMember {
    std::string name;
    char type = '0';
    unsigned mode = 0644;
    std::string content;  // the data behind the header; its length is the size field
    std::string link;     // the link field
    unsigned major = 0, minor = 0;
    std::string prefix;   // non-empty: a POSIX ustar header whose prefix field holds this
};

TarMember Dir(const std::string &name, unsigned mode = 0755);
TarMember File(const std::string &name, const std::string &content = "data\n", unsigned mode = 0644);
TarMember Symlink(const std::string &name, const std::string &target);
TarMember HardLink(const std::string &name, const std::string &target);
TarMember Device(const std::string &name, char type, unsigned major, unsigned minor);
// A pax extended header whose records apply to the member behind it.
TarMember PaxHeader(const std::vector<std::pair<std::string, std::string>> &records);
// The launcher the payload contract asks for, last at the top.
TarMember Launcher(const std::string &script);

// One 512-byte header (GNU magic, or POSIX ustar when the member has a prefix).
std::string TarHeader(const TarMember &member);
// The members in this order, each with its data padded to 512 bytes, two zero blocks, and
// padding to a whole 10240-byte record.
std::string TarArchive(const std::vector<TarMember> &members);

// ---- a tmpfs of its own ----

// `command` run in a mount namespace of its own, after a tmpfs with `options` ("size=1m",
// "nr_inodes=16") is mounted at `where`. The mount goes with the namespace when the command ends.
fixtures::Command InPrivateTmpfs(const fixtures::Command &command, const std::string &where,
                                 const std::string &options);
// Whether InPrivateTmpfs works here; `why` says what failed when it does not.
bool PrivateTmpfsWorks(std::string &why);

// ---- running installers ----

// The program interpreter (the dynamic loader) that an ELF executable names.
std::string Interpreter(const std::string &executable);

// The file offset of `pid`'s descriptors open on `path` (the largest, when several), or -1.
long long OffsetIn(pid_t pid, const std::string &path);
// Where in the kernel `pid` sleeps ("pipe_write", "do_wait", ...); empty once it is gone.
std::string Wchan(pid_t pid);

// Makes this test process the reaper of orphans it leaves, so that the pipeline of a killed
// installer can be waited for.
void AdoptOrphans();
// Waits until no child of this process is left in process group `group`; false after `seconds`,
// when the stragglers are killed.
bool WaitForGroup(pid_t group, int seconds = 60);

// `command` started in the background (fixtures::Spawn) with its standard error going to the
// file `errors`; the pid is the program's own.
pid_t SpawnWithErrors(const fixtures::Command &command, const std::string &errors);

// A gunzip in front of the real one that waits until the file `gate` exists, put first on
// `command`'s PATH from `bin`: the installer then fills its pipe and blocks mid-copy.
void GateGunzip(fixtures::Command &command, const std::string &bin, const std::string &gate);

// TreeListing of `root` without the lines of `skip` (a path below root) and what lies under it.
std::string ListingWithout(const std::string &root, const std::string &skip);

}  // namespace reliability

#endif
