#include "tools/programimage.h"

#include "posix/error.h"
#include "tools/fdio.h"
#include "tools/owners.h"

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdint>

const char *const kImageArches[2] = {"x86_64", "aarch64"};

namespace {

// The fields of the 64-bit ELF header that say what runs the program.
const std::size_t kHeaderSize = 64;
const unsigned char kClass64 = 2, kLittleEndian = 1;
const unsigned char kAbiSystemV = 0, kAbiLinux = 3;
const std::uint16_t kTypeExecutable = 2, kTypeSharedObject = 3;  // a position-independent program is the latter
const std::uint16_t kMachineX86_64 = 62, kMachineAarch64 = 183;

std::uint16_t Half(const unsigned char *p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

}  // namespace

ImageKind ClassifyImage(const unsigned char *bytes, std::size_t n) {
    if (n < 20 || bytes[0] != 0x7f || bytes[1] != 'E' || bytes[2] != 'L' || bytes[3] != 'F')
        return {"", "not an ELF file"};
    if (bytes[4] != kClass64) return {"", "a 32-bit ELF file"};
    if (bytes[5] != kLittleEndian) return {"", "a big-endian ELF file"};
    if (n < kHeaderSize) return {"", "a truncated ELF file"};
    if (bytes[7] != kAbiSystemV && bytes[7] != kAbiLinux)
        return {"", "an ELF file for another system than Linux (OS ABI " + std::to_string(bytes[7]) + ")"};
    const std::uint16_t type = Half(bytes + 16), machine = Half(bytes + 18);
    if (type != kTypeExecutable && type != kTypeSharedObject)
        return {"", "an ELF file that is not a program (type " + std::to_string(type) + ")"};
    if (machine == kMachineX86_64) return {kImageArches[0], "an x86-64 Linux program"};
    if (machine == kMachineAarch64) return {kImageArches[1], "an arm64 Linux program"};
    return {"", "an ELF program for another processor (machine " + std::to_string(machine) + ")"};
}

ImageKind ReadImageKind(const std::string &path) {
    const Fd fd(Uninterrupted([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!fd) throw SystemError(path, "cannot open");
    unsigned char header[kHeaderSize];
    std::size_t n = 0;
    while (n < sizeof header) {
        const ssize_t r = ReadAt(fd.get(), header + n, sizeof header - n, n);
        if (r < 0) throw SystemError(path, "cannot read");
        if (r == 0) break;
        n += static_cast<std::size_t>(r);
    }
    return ClassifyImage(header, n);
}

std::string MachineArch() {
    struct utsname names;
    if (uname(&names) != 0) return "";
    const std::string machine = names.machine;
    return machine == "arm64" ? kImageArches[1] : machine;
}
