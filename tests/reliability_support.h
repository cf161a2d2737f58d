// Support for the fault, interruption and hostile-payload tests: what /proc tells about a running
// installer. Their tar archives come from tar_support.h.
#ifndef SONARIS_TESTS_RELIABILITY_SUPPORT_H
#define SONARIS_TESTS_RELIABILITY_SUPPORT_H

#include "tests/fixtures.h"
#include "tests/tar_support.h"

#include <sys/types.h>

#include <string>

namespace reliability {

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

// The symbolic links under `root` whose target, read from where they stand, leaves `root`: one
// "LINK -> TARGET" line each.
std::string LinksLeadingOut(const std::string &root);

}  // namespace reliability

#endif
