#include "tests/fixtures.h"
#include "tests/xwindows.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <zlib.h>

#include "tests/tar_support.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace fs = std::filesystem;

namespace fixtures {

std::string InstallerPath() { return SONARIS_BUILD_DIR "/sonaris-installer"; }
std::string HostArch() { return SONARIS_HOST_ARCH; }
bool UnderCI() {
    const char *ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

std::string PortableImage(const std::string &arch) {
    return SONARIS_BUILD_DIR "/portable/" + arch + "/sonaris-installer";
}
std::string PackerDefaultImage() {
    const std::string portable = PortableImage();
    return Exists(portable) ? portable : InstallerPath();
}
std::string PackerPath() { return SONARIS_BUILD_DIR "/sonaris-pack"; }
std::string SourceDir() { return SONARIS_SOURCE_DIR; }
std::string BuildDir() { return SONARIS_BUILD_DIR; }

// ---- temporary directories ----

TempDir::TempDir() : TempDir("/tmp") {}

TempDir::TempDir(const std::string &parent) {
    std::string pattern = parent + "/sonaris-test.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed in " + parent);
    path_ = pattern;
    chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() { RemoveTree(path_); }

void RemoveTree(const std::string &path) {
    // Give every directory back its owner's permissions first, so that nothing a test made
    // unreadable or unwritable stays behind.
    std::error_code ec;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        for (const auto &entry : fs::directory_iterator(path, ec)) RemoveTree(entry.path());
    }
    fs::remove(path, ec);
}

// ---- running programs ----

namespace {

std::vector<std::string> BuildEnvironment(const Command &command) {
    std::map<std::string, std::string> env;
    for (char **e = environ; *e; ++e) {
        const char *eq = std::strchr(*e, '=');
        if (eq) env[std::string(*e, static_cast<std::size_t>(eq - *e))] = eq + 1;
    }
    for (const auto &name : command.unset) env.erase(name);
    for (const auto &[name, value] : command.env) env[name] = value;
    std::vector<std::string> out;
    for (const auto &[name, value] : env) out.push_back(name + "=" + value);
    return out;
}

// In the child, after fork: everything up to exec. Never returns.
[[noreturn]] void ExecChild(const Command &command, const std::vector<std::string> &envStrings) {
    setpgid(0, 0);
    if (!command.mounts.empty() && !PrivateMounts(command.mounts)) _exit(123);
    if (command.umask) ::umask(*command.umask);
    if (!command.cwd.empty() && chdir(command.cwd.c_str()) != 0) _exit(126);
    if (command.unprivileged && !BecomeNobody()) _exit(125);
    for (const auto &[resource, value] : command.limits) {
        const struct rlimit limit = {value, value};
        if (setrlimit(resource, &limit) != 0) _exit(124);
    }
    std::vector<char *> argv, envp;
    for (const auto &a : command.argv) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto &e : envStrings) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    const std::string &program = command.program.empty() ? command.argv.at(0) : command.program;
    signal(SIGPIPE, SIG_DFL);
    for (int ignored : command.ignoredSignals) signal(ignored, SIG_IGN);
    execve(program.c_str(), argv.data(), envp.data());
    if (errno == ENOENT) execvpe(program.c_str(), argv.data(), envp.data());
    _exit(127);
}

// `command` forked with its standard input, output and error on `in`, `out` and `err` (-1: /dev/null).
pid_t Start(const Command &command, int in, int out, int err) {
    const auto envStrings = BuildEnvironment(command);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        dup2(in < 0 ? null : in, 0);
        dup2(out < 0 ? null : out, 1);
        dup2(err < 0 ? null : err, 2);
        ExecChild(command, envStrings);
    }
    return pid;
}

void WriteAll(int fd, const std::string &data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

// Reads the descriptors into their strings until each is closed at its far end (or, for a
// pseudo-terminal, reads EIO), then reaps the child; kills its group when the time is up.
void Collect(pid_t pid, std::vector<std::pair<int, std::string *>> sources, int timeoutSeconds, Result &result) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    std::vector<struct pollfd> fds;
    for (const auto &source : sources) fds.push_back({source.first, POLLIN, 0});
    std::size_t open = fds.size();
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds.data(), fds.size(), static_cast<int>(std::min<long>(left.count(), 1000))) < 0 && errno != EINTR) break;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[65536];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sources[i].second->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto &f : fds)
        if (f.fd >= 0) close(f.fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
}

}  // namespace

bool PrivateMounts(const std::vector<Mount> &mounts) {
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    for (const Mount &m : mounts) {
        const char *where = m.where.c_str();
        const bool made =
            m.kind == Mount::Kind::Tmpfs
                ? mount("sonaris-test", where, "tmpfs", 0, m.source.c_str()) == 0
            : m.kind == Mount::Kind::Bind
                ? mount(m.source.c_str(), where, nullptr, MS_BIND, nullptr) == 0
                : mount(where, where, nullptr, MS_BIND, nullptr) == 0 &&
                      mount(nullptr, where, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
        if (!made) return false;
    }
    return true;
}

bool PrivateMountsWork(std::string &why) {
    TempDir tmp;
    Command probe;
    probe.argv = {"/bin/sh", "-c", "test \"$(stat -f -c %T \"$1\")\" = tmpfs", "sh", tmp.path()};
    probe.mounts = {{Mount::Kind::Tmpfs, tmp.path(), "size=64k"}};
    const Result r = RunCommand(probe);
    if (r.exitStatus == 0) return true;
    why = "cannot mount a tmpfs in a mount namespace of a process's own here (that needs root with "
          "CAP_SYS_ADMIN): exit status " + std::to_string(r.exitStatus);
    return false;
}

Result RunArgs(const std::vector<std::string> &argv) {
    Command c;
    c.argv = argv;
    return RunCommand(c);
}

Result RunCommand(const Command &command) {
    int out[2], err[2], in[2];
    if (pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC) || pipe2(in, O_CLOEXEC)) throw std::runtime_error("pipe");
    const pid_t pid = Start(command, in[0], out[1], err[1]);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    // Small inputs only: the whole of it fits the pipe or is read before we read the output.
    signal(SIGPIPE, SIG_IGN);
    WriteAll(in[1], command.input);
    close(in[1]);

    Result result;
    Collect(pid, {{out[0], &result.out}, {err[0], &result.err}}, command.timeoutSeconds, result);
    return result;
}

Result RunOnTerminal(const Command &command, unsigned short columns) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        if (master >= 0) close(master);
        throw std::runtime_error("no pseudo-terminal");
    }
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        close(master);
        throw std::runtime_error("cannot open the pseudo-terminal's slave");
    }
    struct termios mode;
    tcgetattr(slave, &mode);
    cfmakeraw(&mode);
    tcsetattr(slave, TCSANOW, &mode);
    struct winsize size = {};
    size.ws_row = 24;
    size.ws_col = columns;
    ioctl(slave, TIOCSWINSZ, &size);

    const pid_t pid = Start(command, -1, slave, slave);
    close(slave);
    Result result;
    Collect(pid, {{master, &result.out}}, command.timeoutSeconds, result);
    return result;
}

pid_t Spawn(const Command &command) { return Start(command, -1, -1, getenv("SONARIS_TEST_VERBOSE") ? 2 : -1); }

int WaitFor(pid_t pid, int timeoutSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---- files ----

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string &path, const std::string &bytes, mode_t mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error("cannot write " + path);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    chmod(path.c_str(), mode);
}

bool BecomeNobody() {
    return geteuid() != 0 || (setgroups(0, nullptr) == 0 && setresgid(kNobody, kNobody, kNobody) == 0 &&
                              setresuid(kNobody, kNobody, kNobody) == 0);
}

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; i += 8) {
        const std::uint64_t v = gen();
        std::memcpy(&s[i], &v, std::min<std::size_t>(8, n - i));
    }
    return s;
}

std::string Content(std::size_t n, ContentKind kind, unsigned seed) {
    std::string s;
    switch (kind) {
    case ContentKind::Random: return RandomBytes(n, seed);
    case ContentKind::Text: {
        s.reserve(n + 64);
        char line[64];
        for (unsigned long long i = 0; s.size() < n; ++i) {
            std::snprintf(line, sizeof line, "record %08llu of set %04u: level %llu\n", i, seed, (i * 7 + seed) % 97);
            s += line;
        }
        s.resize(n);
        return s;
    }
    case ContentKind::MachineCode: {
        static const std::string library = ReadFile("/usr/lib/" + HostArch() + "-linux-gnu/libXm.so.4");
        for (std::size_t at = seed * 65536u % library.size(); s.size() < n; at = 0) s += library.substr(at, n - s.size());
        return s;
    }
    }
    return s;
}

bool EndsWith(const std::string &s, const std::string &end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

bool Exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void MakeDir(const std::string &path, mode_t mode) {
    if (mkdir(path.c_str(), mode) != 0 || chmod(path.c_str(), mode) != 0)
        throw std::runtime_error("cannot make the directory " + path);
}

std::string TreeListing(const std::string &root) {
    std::map<std::string, std::string> lines;                           // by name
    std::map<std::pair<dev_t, ino_t>, std::vector<std::string>> names;  // of files with several
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const std::string path = it->path();
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) continue;
        char line[512];
        const std::string name = path.substr(root.size());
        if (S_ISDIR(st.st_mode)) {
            std::snprintf(line, sizeof line, "d %04o", st.st_mode & 07777);
        } else if (S_ISREG(st.st_mode)) {
            std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
            for (unsigned char c : ReadFile(path)) hash = (hash ^ c) * 1099511628211ull;
            std::snprintf(line, sizeof line, "f %04o %lld %016llx", st.st_mode & 07777,
                          static_cast<long long>(st.st_size), static_cast<unsigned long long>(hash));
            if (st.st_nlink > 1) names[{st.st_dev, st.st_ino}].push_back(name);
        } else if (S_ISLNK(st.st_mode)) {
            std::snprintf(line, sizeof line, "l -> %s", fs::read_symlink(path, ec).c_str());
        } else {
            std::snprintf(line, sizeof line, "? %o", st.st_mode);
        }
        lines[name] = name + " " + line;
    }
    // Names of one file (within the tree) say so: "= NAME" gives the least of them.
    for (const auto &[file, all] : names)
        if (all.size() > 1)
            for (const std::string &name : all) lines[name] += " = " + *std::min_element(all.begin(), all.end());
    std::string out;
    for (const auto &[name, line] : lines) out += line + "\n";
    return out;
}

// ---- installer files ----

namespace {

// The gzip'd GNU tar of the directory "$1" on standard output, "./" first and the launcher last,
// compressed with gzip -"$2".
const char kPackScript[] =
    "cd \"$1\" && { echo .; find . -mindepth 1 ! -path ./sonaris | LC_ALL=C sort; "
    "if [ -e sonaris ] || [ -L sonaris ]; then echo ./sonaris; fi; } | "
    "tar --format=gnu --no-recursion --owner=0 --group=0 --numeric-owner -cf - -T - | gzip -n -\"$2\"";

}  // namespace

std::string PackTree(const std::string &dir) {
    Command pack;
    pack.argv = {"/bin/sh", "-c", kPackScript, "sh", dir, "6"};
    const Result r = RunCommand(pack);
    if (r.exitStatus != 0) throw std::runtime_error("packing " + dir + " failed: " + r.err);
    return r.out;
}

void PackInstaller(const std::string &dir, const std::string &path, int level) {
    Command pack;
    pack.argv = {"/bin/sh", "-c",
                 std::string("set -e; (") + kPackScript + ") > \"$4.payload\"; cat \"$3\" \"$4.payload\" > \"$4\"; "
                 "printf '\\n%s\\n' $(stat -c %s \"$4.payload\") >> \"$4\"; rm \"$4.payload\"; chmod 755 \"$4\"",
                 "sh", dir, std::to_string(level), InstallerPath(), path};
    const Result r = RunCommand(pack);
    if (r.exitStatus != 0) throw std::runtime_error("packing " + dir + " into " + path + " failed: " + r.err);
}

std::string MarkerLauncher() {
    return R"sh(#!/bin/sh
{
    printf 'argv0=%s\n' "$0"
    printf 'args=%s\n' "$*"
    printf 'SigIgn=%s\n' "$(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status)"
    printf 'cache=%s\n' "${XDG_CACHE_HOME-unset}"
    printf 'home=%s\n' "${HOME-unset}"
    printf 'files=%s\n' "$(find "$(dirname "$0")" -type f | wc -l)"
    echo end
} >> "$LAUNCHER_MARKER"
[ -z "${LAUNCHER_LINGER:-}" ] || sleep "$LAUNCHER_LINGER"
exit )sh" + std::to_string(kLauncherStatus) + "\n";
}

std::vector<std::map<std::string, std::string>> Launches(const std::string &marker) {
    std::vector<std::map<std::string, std::string>> runs;
    if (!Exists(marker)) return runs;
    std::istringstream in(ReadFile(marker));
    std::map<std::string, std::string> run;
    for (std::string line; std::getline(in, line);) {
        if (line == "end") {
            runs.push_back(run);
            run.clear();
        } else if (const std::size_t eq = line.find('='); eq != std::string::npos) {
            run[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return runs;
}

void MakeApp(const std::string &tree, const SmallApp &app) {
    RemoveTree(tree);
    if (app.demo) CopyDemoApp(tree);
    for (const std::string &dir : {tree, tree + "/lib", tree + "/share"}) mkdir(dir.c_str(), 0755);
    WriteFile(tree + "/lib/readme.txt", "Sonaris 8\n");
    if (app.noise) WriteFile(tree + "/lib/noise.bin", RandomBytes(app.noise, app.seed));
    for (int i = 0; i < app.items; ++i)
        WriteFile(tree + "/share/item" + std::to_string(i) + ".txt", "item " + std::to_string(i) + "\n");
    WriteFile(tree + "/sonaris", app.launcher, 0755);
}

std::string MakeInstaller(const std::string &tree, const std::string &path, const SmallApp &app) {
    MakeApp(tree, app);
    PackInstaller(tree, path);
    return path;
}

std::string Gzip(const std::string &bytes, int level) {
    Command gzip;
    gzip.argv = {"/bin/sh", "-c", "cat \"$1\" | gzip -n -" + std::to_string(level), "sh"};
    // Large inputs go through a file: Run writes its input before it reads the output.
    TempDir dir;
    WriteFile(dir / "in", bytes);
    gzip.argv.push_back(dir / "in");
    const Result r = RunCommand(gzip);
    if (r.exitStatus != 0) throw std::runtime_error("gzip failed: " + r.err);
    return r.out;
}

std::string PadGzipHeader(const std::string &member, std::size_t size) {
    const unsigned char kNameFlag = 0x08;
    if (member.size() < 18 || static_cast<unsigned char>(member[3]) != 0 || size < member.size() + 2)
        throw std::runtime_error("cannot pad this gzip member to the size asked");
    std::string padded = member;
    padded[3] = static_cast<char>(kNameFlag);
    padded.insert(10, std::string(size - member.size() - 1, 'p') + '\0');
    return padded;
}

std::string ProgramImage() { return ReadFile(InstallerPath()); }

std::uint64_t WriteStoredInstaller(const std::string &path, int files, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << ReadFile(InstallerPath());
    z_stream z{};
    deflateInit2(&z, Z_NO_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);  // 16: gzip's framing
    std::uint64_t length = 0, unpacked = 0;
    const auto tar = [&](const std::string &bytes, int flush = Z_NO_FLUSH) {
        unpacked += bytes.size();
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(bytes.data()));
        z.avail_in = static_cast<uInt>(bytes.size());
        char buffer[1 << 16];
        do {
            z.next_out = reinterpret_cast<Bytef *>(buffer);
            z.avail_out = sizeof buffer;
            deflate(&z, flush);
            out.write(buffer, static_cast<std::streamsize>(sizeof buffer - z.avail_out));
            length += sizeof buffer - z.avail_out;
        } while (z.avail_out == 0);
    };
    const auto padded = [](const std::string &data) {
        return data + std::string((512 - data.size() % 512) % 512, '\0');
    };
    tar(tarfile::TarHeader(tarfile::Dir("./")) + tarfile::TarHeader(tarfile::Dir("lib/")));
    // Every file different, cut from one stretch of random bytes.
    const std::string random = RandomBytes(size + 4096);
    tarfile::TarMember file = tarfile::File("", std::string(size, '\0'));
    for (int i = 0; i < files; ++i) {
        file.name = "lib/file" + std::to_string(i) + ".bin";
        tar(tarfile::TarHeader(file) + padded(random.substr(static_cast<std::size_t>(i) % 4096, size)));
    }
    const tarfile::TarMember launcher = tarfile::Launcher(MarkerLauncher());
    tar(tarfile::TarHeader(launcher) + padded(launcher.content));
    tar(std::string(1024 + (10240 - (unpacked + 1024) % 10240) % 10240, '\0'), Z_FINISH);
    deflateEnd(&z);
    out << "\n" << length << "\n";
    out.close();
    chmod(path.c_str(), 0755);
    return length;
}

std::string InstallerBytes(const std::string &payload, const std::optional<std::string> &trailer) {
    return ProgramImage() + payload + trailer.value_or("\n" + std::to_string(payload.size()) + "\n");
}

std::string WriteInstaller(const std::string &path, const std::string &payload) {
    WriteFile(path, InstallerBytes(payload), 0755);
    return path;
}

Command SilentCommand(const std::string &installer, const std::string &dest, const std::string &home) {
    Command c;
    c.argv = {installer, "-s", dest};
    if (!home.empty()) c.env["HOME"] = home;
    c.unset = {"DISPLAY"};
    c.umask = 022;
    return c;
}

std::string PayloadOf(const std::string &installer) {
    const std::size_t open = installer.rfind('\n', installer.size() - 2);
    const std::size_t length = std::stoul(installer.substr(open + 1));
    return installer.substr(open - length, length);
}

std::string CopyProgram(const std::string &program, const std::string &dir) {
    const std::string copy = dir + "/" + fs::path(program).filename().string();
    WriteFile(copy, ReadFile(program), 0755);
    return copy;
}

std::vector<unsigned> VersionOf(const std::string &text) {
    std::vector<unsigned> numbers;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, '.');) numbers.push_back(static_cast<unsigned>(std::stoul(part)));
    return numbers;
}

std::string NeededGlibc(const std::string &program) {
    const Result r = RunArgs({"readelf", "--version-info", "--wide", program});
    if (r.exitStatus != 0) throw std::runtime_error("readelf " + program + ": " + r.err);
    std::string highest;
    for (std::size_t at = r.out.find("Name: GLIBC_"); at != std::string::npos; at = r.out.find("Name: GLIBC_", at + 1)) {
        const std::size_t from = at + 12;
        const std::string version = r.out.substr(from, r.out.find_first_not_of("0123456789.", from) - from);
        if (!version.empty() && std::isdigit(static_cast<unsigned char>(version[0])) &&
            (highest.empty() || VersionOf(version) > VersionOf(highest)))
            highest = version;
    }
    return highest;
}

std::string SystemTool(const std::string &tool) {
    return Exists("/usr/bin/" + tool) ? "/usr/bin/" + tool : "/bin/" + tool;
}

void GunzipBehind(Command &command, const std::string &bin, const std::string &shell) {
    mkdir(bin.c_str(), 0755);
    WriteFile(bin + "/gunzip", "#!/bin/sh\n" + shell + SystemTool("gunzip") + " \"$@\"\n", 0755);
    const char *path = std::getenv("PATH");
    command.env["PATH"] = bin + ":" + (path ? path : "/usr/bin:/bin");
}

void CopyDemoApp(const std::string &dir) {
    if (RunArgs({"cp", "-a", SourceDir() + "/data/demo-app", dir}).exitStatus != 0)
        throw std::runtime_error("cannot copy the demo application");
}

std::string DemoPayloadWithNoise(const std::string &dir) {
    CopyDemoApp(dir);
    WriteFile(dir + "/noise.bin", RandomBytes(300000));
    return PackTree(dir);
}

// ---- the X server ----

XServer &XServer::Shared() {
    static XServer server;
    return server;
}

XServer::XServer() {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    const pid_t testProcess = getpid();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        // The server goes with the test process however that ends: a sanitizer report or a crash
        // runs no destructor.
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != testProcess) _exit(127);
        close(fds[0]);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        if (getenv("SONARIS_TEST_VERBOSE") == nullptr) dup2(null, 2);
        setpgid(0, 0);
        const std::string fd = std::to_string(fds[1]);
        const std::string script = SourceDir() + "/scripts/xvfb";
        execl(script.c_str(), script.c_str(), fd.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    // Xvfb writes the display number once it accepts connections.
    std::string number;
    struct pollfd p = {fds[0], POLLIN, 0};
    while (poll(&p, 1, 20000) > 0) {
        char c;
        if (read(fds[0], &c, 1) != 1 || c == '\n') break;
        number += c;
    }
    close(fds[0]);
    if (number.empty()) throw std::runtime_error("Xvfb did not start");
    display_ = ":" + number;
    setenv("DISPLAY", display_.c_str(), 1);

    // The first XTest key makes the server switch keyboards and announce a new key mapping; a
    // Motif program that sees that mid-run keeps a stale keysym table. Get it over with now.
    if (Display *d = XOpenDisplay(display_.c_str())) {
        xwindows::FakeKey(d, XK_Shift_L);
        XCloseDisplay(d);
    }
}

XServer::~XServer() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

}  // namespace fixtures
