#include "tests/reliability_support.h"

#include <dirent.h>
#include <elf.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

using namespace fixtures;

namespace reliability {

// ---- running installers ----

std::string Interpreter(const std::string &executable) {
    const std::string image = ReadFile(executable);
    Elf64_Ehdr header;
    if (image.size() < sizeof header) throw std::runtime_error(executable + ": not an ELF file");
    std::memcpy(&header, image.data(), sizeof header);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64)
        throw std::runtime_error(executable + ": not a 64-bit ELF file");
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr program;
        const std::size_t at = header.e_phoff + static_cast<std::size_t>(i) * header.e_phentsize;
        if (at + sizeof program > image.size()) break;
        std::memcpy(&program, image.data() + at, sizeof program);
        if (program.p_type == PT_INTERP && program.p_offset + program.p_filesz <= image.size())
            return std::string(image.data() + program.p_offset).substr(0, program.p_filesz);
    }
    throw std::runtime_error(executable + ": names no program interpreter");
}

long long OffsetIn(pid_t pid, const std::string &path) {
    const std::string proc = "/proc/" + std::to_string(pid);
    DIR *fds = opendir((proc + "/fd").c_str());
    if (!fds) return -1;
    long long offset = -1;
    while (const struct dirent *e = readdir(fds)) {
        char target[4096];
        const ssize_t n = readlink((proc + "/fd/" + e->d_name).c_str(), target, sizeof target - 1);
        if (n <= 0 || std::string(target, static_cast<std::size_t>(n)) != path) continue;
        std::ifstream info(proc + "/fdinfo/" + e->d_name);
        std::string key;
        long long pos = -1;
        while (info >> key)
            if (key == "pos:" && info >> pos) break;
        offset = std::max(offset, pos);
    }
    closedir(fds);
    return offset;
}

std::string Wchan(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/wchan");
    std::string where;
    std::getline(in, where);
    return where;
}

void AdoptOrphans() {
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) throw std::runtime_error("cannot become a subreaper");
}

bool WaitForGroup(pid_t group, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        const pid_t r = waitpid(-group, nullptr, WNOHANG);
        if (r < 0 && errno == ECHILD) return true;
        if (r > 0 || (r < 0 && errno == EINTR)) continue;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(-group, SIGKILL);
            while (waitpid(-group, nullptr, 0) > 0 || errno == EINTR) {
            }
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

pid_t SpawnWithErrors(const Command &command, const std::string &errors) {
    if (!command.program.empty()) throw std::logic_error("SpawnWithErrors runs argv[0] itself");
    Command wrapped = command;
    wrapped.argv = {"/bin/sh", "-c", "exec \"$@\" 2>\"$0\"", errors};
    wrapped.argv.insert(wrapped.argv.end(), command.argv.begin(), command.argv.end());
    return Spawn(wrapped);
}

void GateGunzip(Command &command, const std::string &bin, const std::string &gate) {
    GunzipBehind(command, bin, "while [ ! -e '" + gate + "' ]; do sleep 0.01; done\nexec ");
    command.unprivileged = true;
}

std::string ListingWithout(const std::string &root, const std::string &skip) {
    const std::string listing = TreeListing(root);
    const std::string relative = skip.substr(root.size());
    std::string out;
    for (std::size_t at = 0; at < listing.size();) {
        const std::size_t end = listing.find('\n', at);
        const std::string line = listing.substr(at, end - at + 1);
        const bool under = line.compare(0, relative.size(), relative) == 0 &&
                           (line[relative.size()] == ' ' || line[relative.size()] == '/');
        if (!under) out += line;
        at = end + 1;
    }
    return out;
}

std::string LinksLeadingOut(const std::string &root) {
    namespace fs = std::filesystem;
    std::string out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (!it->is_symlink(ec)) continue;
        const fs::path target = fs::read_symlink(it->path(), ec);
        const fs::path at = (fs::relative(it->path().parent_path(), root, ec) / target).lexically_normal();
        if (target.is_absolute() || at.empty() || *at.begin() == "..") out += it->path().string() + " -> " + target.string() + "\n";
    }
    return out;
}

}  // namespace reliability
