// Shared test fixtures: temporary directories, running programs, a private X server, and the bytes
// of installer files.
#ifndef SONARIS_TESTS_FIXTURES_H
#define SONARIS_TESTS_FIXTURES_H

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace fixtures {

// Whether the suite runs under CI (CI=true), where it may not skip what it cannot do here.
bool UnderCI();
// In a test: a reason to skip, which CI turns into a failure.
#define SKIP_OUTSIDE_CI(reason)                                                              \
    do {                                                                                     \
        if (::fixtures::UnderCI()) FAIL() << (reason) << " (CI=true: the suite may not skip)"; \
        GTEST_SKIP() << (reason);                                                            \
    } while (0)

// Where the build put things (set by CMake).
std::string InstallerPath();  // build/sonaris-installer
// The processor the build is for ("x86_64"), as the packer's --arch names it.
std::string HostArch();
// The program image built for older systems (`make portable`) for `arch`, where it was built:
// build/portable/ARCH/sonaris-installer.
std::string PortableImage(const std::string &arch = HostArch());
// The image the packer takes by default: PortableImage() where `make portable` made it, else
// InstallerPath().
std::string PackerDefaultImage();
std::string PackerPath();     // build/sonaris-pack
std::string SourceDir();      // the top of the source tree
std::string BuildDir();

// A fresh directory under /tmp (or under `parent`), removed with everything in it (whatever its
// modes) at the end. Mode 0755, so that a program run unprivileged can reach what a test puts inside.
class TempDir {
public:
    TempDir();
    explicit TempDir(const std::string &parent);
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void RemoveTree(const std::string &path);

// A mount made in a mount namespace of a process's own, gone with the process: a tmpfs with
// `options` ("size=2m,mode=1777"), the directory `where` again read-only, or the file or
// directory `source` bound over `where`.
struct Mount {
    enum class Kind { Tmpfs, ReadOnly, Bind } kind;
    std::string where;
    std::string source = "";  // Tmpfs: its options; Bind: what is bound
};
// Makes the mounts in a new mount namespace of this process (as root, before dropping privileges);
// false where the system refuses.
bool PrivateMounts(const std::vector<Mount> &mounts);
// Whether PrivateMounts works here; `why` says what failed when it does not.
bool PrivateMountsWork(std::string &why);

// A program to run: argv[0] is what the program sees, `program` what is executed (argv[0] when
// empty). The environment is the test's own, with `env` set and `unset` removed.
struct Command {
    std::vector<std::string> argv;
    std::string program;
    std::map<std::string, std::string> env;
    std::vector<std::string> unset;
    std::string cwd;
    std::vector<Mount> mounts;  // made for it alone (PrivateMounts)
    std::optional<mode_t> umask;
    bool unprivileged = false;  // run as nobody (uid and gid 65534, no groups)
    std::map<int, rlim_t> limits;     // resource limits (RLIMIT_FSIZE, ...), soft and hard alike
    std::vector<int> ignoredSignals;  // signals the program starts with ignored
    std::string input;                // standard input; /dev/null when empty
    int timeoutSeconds = 120;
};

struct Result {
    int exitStatus = -1;  // -1 when killed by a signal
    int signal = 0;
    bool timedOut = false;
    std::string out;
    std::string err;
};

Result RunCommand(const Command &command);
// RunCommand of just a command line.
Result RunArgs(const std::vector<std::string> &argv);
// Runs the command with standard output and error on a new pseudo-terminal of `columns` columns
// in raw mode (so that the bytes arrive as written); `out` holds all it wrote there.
Result RunOnTerminal(const Command &command, unsigned short columns = 80);

// Bytes gzip cannot shrink (it stores them as they are), the same for the same seed.
std::string RandomBytes(std::size_t n, unsigned seed = 1);

// `n` bytes of what applications hold: RandomBytes, which gzip stores as they are; numbered text
// lines, which it shrinks about tenfold; or machine code, a stretch of a library the build uses.
enum class ContentKind { Random, Text, MachineCode };
std::string Content(std::size_t n, ContentKind kind, unsigned seed = 1);

// Whether `s` ends in `end`.
bool EndsWith(const std::string &s, const std::string &end);

// Start a program in the background; its standard streams are /dev/null.
pid_t Spawn(const Command &command);
// Wait for a spawned program (or kill it after the timeout); returns its exit status or -1.
int WaitFor(pid_t pid, int timeoutSeconds);

// The uid that Command::unprivileged runs as.
constexpr uid_t kNobody = 65534;
// Makes a root process nobody (uid and gid 65534, no groups); false where that fails.
bool BecomeNobody();

// Files.
std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &bytes, mode_t mode = 0644);
bool Exists(const std::string &path);
// A new directory of exactly `mode`, whatever the umask; throws where it cannot be made.
void MakeDir(const std::string &path, mode_t mode = 0755);

// A sorted description of a tree: one line per entry with its type, permission bits, size and a
// checksum of its content, a symbolic link's target, and for a file under several names in the
// tree the least of them. Two trees with equal listings hold the same files.
std::string TreeListing(const std::string &root);

// The payload for a directory: a gzip'd GNU tar with "./" first and the launcher last, made with
// the system's tar and gzip.
std::string PackTree(const std::string &dir);
// Compress bytes with the system's gzip (no name, no time stamp).
std::string Gzip(const std::string &bytes, int level = 6);
// Insert a file name into a gzip member's header so that it grows to exactly `size` bytes.
std::string PadGzipHeader(const std::string &member, std::size_t size);

// Writes the installer file `path` (mode 0755) for the tree `dir`: the program image, PackTree's
// payload made with gzip -`level`, and the trailer; streamed, so that a tree of any size will do.
void PackInstaller(const std::string &dir, const std::string &path, int level = 6);

// The tests' launcher: each run appends a record to $LAUNCHER_MARKER, lingers $LAUNCHER_LINGER
// seconds if set, and exits with kLauncherStatus, which no installer gives of its own.
constexpr int kLauncherStatus = 7;
std::string MarkerLauncher();
// The finished records in `marker`, first run first: "argv0", "args", "SigIgn" (hexadecimal, as
// /proc says), "cache" (its XDG_CACHE_HOME, or "unset"), "home" (its HOME, or "unset") and "files"
// (regular files in its tree).
std::vector<std::map<std::string, std::string>> Launches(const std::string &marker);

// A small tree: lib/readme.txt, `items` files under share/, `noise` bytes of RandomBytes(noise,
// seed) in lib/noise.bin and `launcher` as ./sonaris; with `demo`, over the demo application.
struct SmallApp {
    std::size_t noise = 0;
    int items = 0;
    unsigned seed = 1;
    std::string launcher = MarkerLauncher();
    bool demo = false;
};
// Makes `app` at `tree`, replacing whatever stands there.
void MakeApp(const std::string &tree, const SmallApp &app = {});
// MakeApp, and the installer file `path` for it (PackInstaller); returns `path`.
std::string MakeInstaller(const std::string &tree, const std::string &path, const SmallApp &app = {});

// The installer file `path` for `files` files of `size` bytes each under lib/ (the launcher last),
// its payload gzip data that stores the tar stream as it is (deflate's stored blocks): a large
// installer made at the speed of writing it. Returns the payload's length.
std::uint64_t WriteStoredInstaller(const std::string &path, int files, std::size_t size);

// Program image + payload + trailer; `trailer` defaults to "\nN\n".
std::string InstallerBytes(const std::string &payload, const std::optional<std::string> &trailer = {});
// InstallerBytes(payload) written to `path`, mode 0755; returns `path`.
std::string WriteInstaller(const std::string &path, const std::string &payload);
// The installer run silently into `dest`, without a display, with umask 022 and HOME `home` if given.
Command SilentCommand(const std::string &installer, const std::string &dest, const std::string &home = "");
// The payload of an installer file's bytes, found through its trailer.
std::string PayloadOf(const std::string &installer);
std::string ProgramImage();

// A copy of `program` in `dir`, mode 0755: what a test runs as nobody must not depend on whether
// nobody may enter the build directory (a checkout under a private directory, say).
std::string CopyProgram(const std::string &program, const std::string &dir);

// "2.36" as {2, 36}, for comparing versions number by number.
std::vector<unsigned> VersionOf(const std::string &text);
// The highest GLIBC_ symbol version `program` needs, as readelf lists its version needs ("2.36");
// "" when it needs none.
std::string NeededGlibc(const std::string &program);

// Where the system keeps `tool` ("gunzip", "tar"): /usr/bin, else /bin.
std::string SystemTool(const std::string &tool);
// Puts a gunzip of the test's in `bin` first on `command`'s PATH: `shell` in front of the system's
// gunzip, as in "slowcat 40 | ". Only a command run unprivileged takes it: root's gunzip is the
// system's, whatever PATH says.
void GunzipBehind(Command &command, const std::string &bin, const std::string &shell);

// Copy the demo application into `dir` (which must not exist yet).
void CopyDemoApp(const std::string &dir);
// The payload of the demo application copied into `dir` with one incompressible file beside it,
// which gzip stores as it is: damage in the middle of the payload reaches only gzip's check.
std::string DemoPayloadWithNoise(const std::string &dir);

// A private X server for this test process, started on first use and stopped at exit, by
// scripts/xvfb (as bench/ and scripts/ start theirs).
class XServer {
public:
    static XServer &Shared();
    const std::string &display() const { return display_; }
    ~XServer();

private:
    XServer();
    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace fixtures

#endif
