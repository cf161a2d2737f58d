// sonaris-pack: makes installer files (program image, payload, trailer), lists and verifies them.
#include "tools/error.h"
#include "posix/path.h"
#include "tools/pack.h"
#include "tools/paralleldeflate.h"
#include "tools/progressline.h"
#include "tools/programimage.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

extern const char kLicences[];  // docs/licences.txt

namespace {

const char kProgram[] = "sonaris-pack";
const char kImageName[] = "sonaris-installer";

const char kHelp[] =
    "Usage: sonaris-pack [--arch ARCH | --image PROGRAM] [--jobs N] [--quiet] SOURCE OUTPUT\n"
    "       sonaris-pack --list INSTALLER\n"
    "       sonaris-pack [--quiet] --verify INSTALLER\n"
    "\n"
    "Makes, lists and verifies Sonaris installer files. An installer file is the installer's\n"
    "program image, followed by the payload (a gzip'd tar of the application's tree) and a\n"
    "trailer giving the payload's length.\n"
    "\n"
    "  SOURCE OUTPUT       pack the application in SOURCE, a directory or a gzip'd tar of one,\n"
    "                      into the installer file OUTPUT (mode 0755)\n"
    "  --arch ARCH         make an installer file for x86_64 or aarch64 (arm64) Linux; by\n"
    "                      default this machine's processor. The image for it is the portable\n"
    "                      one built beside this program (portable/ARCH/sonaris-installer, made\n"
    "                      by make portable), else the sonaris-installer beside it when it is\n"
    "                      for ARCH, or the one installed with it (../libexec/sonaris/ARCH/)\n"
    "  --image PROGRAM     put PROGRAM in front of the payload instead\n"
    "  --jobs N            compress on N threads; by default, one for each processor this\n"
    "                      program may use (the output is the same for every N)\n"
    "  --quiet             show no progress line (one shows on standard error while packing\n"
    "                      and verifying, only when it is a terminal; packing then ends with\n"
    "                      a line on the file made: size, members, processor, glibc needed)\n"
    "  --list INSTALLER    print the processor the program image is for and the newest glibc\n"
    "                      it needs (image: ARCH ...), then the payload's members, one a line:\n"
    "                      mode, size, name, and -> TARGET for a symbolic link, link to NAME\n"
    "                      for a hard link\n"
    "  --verify INSTALLER  check the trailer, the whole gzip stream (CRC-32 and length), what\n"
    "                      the payload holds, with the installer's own check, and that the image\n"
    "                      is the installer's for x86-64 or arm64 Linux; say what is wrong, if\n"
    "                      anything, else which processor and glibc; warn of a launcher missing\n"
    "                      or unfit\n"
    "  --licences          print the licence notices of the libraries inside the program image\n"
    "  --help              print this help\n"
    "  --version           print the version\n"
    "\n"
    "The application's tree may hold directories, regular files and symbolic links that stay\n"
    "inside it, and must have an executable regular file named sonaris at its top: the installer\n"
    "starts it after installing. What a payload may hold is stated in docs/format.md of the\n"
    "installer's sources; every problem of the tree is named with what to do about it.\n"
    "Packing warns when the image is not the installer's, or needs a newer glibc than the\n"
    "portable images' " SONARIS_GLIBC_FLOOR " (make portable).\n"
    "\n"
    "With SOURCE_DATE_EPOCH set, member times later than it are set to it: packing the same\n"
    "tree again makes the same bytes. OUTPUT appears only once it is complete.\n"
    "\n"
    "Exit status: 0 on success (--verify: the installer is sound), 1 when something is wrong\n"
    "(the message names it), 2 for a wrong command line.\n";

[[noreturn]] void UsageError(const std::string &message) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgram, message.c_str(), kProgram);
    std::exit(2);
}

bool IsFile(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Where this program lives: the directory of /proc/self/exe, else of argv[0] when it has one.
std::string OwnDirectory(const char *argv0) {
    std::string self(PATH_MAX, '\0');
    const ssize_t n = readlink("/proc/self/exe", self.data(), self.size());
    if (n > 0 && static_cast<std::size_t>(n) < self.size()) {
        self.resize(static_cast<std::size_t>(n));
    } else {
        self = argv0;
    }
    return self.find('/') == std::string::npos ? "" : DirectoryOf(self);
}

// The image for `arch`: the portable one built beside the packer (make portable), else the host's
// image beside it when it is for `arch`, else the one installed with it.
std::string DefaultImage(const char *argv0, const std::string &arch) {
    const std::string dir = OwnDirectory(argv0);
    if (dir.empty()) throw PackError("cannot tell where sonaris-pack lives; give the program image with --image");
    const std::string portable = dir + "/portable/" + arch + "/" + kImageName;
    const std::string beside = dir + "/" + kImageName;
    const std::string installed = dir + "/" SONARIS_IMAGE_FROM_BINDIR "/" + arch + "/" + kImageName;
    if (IsFile(portable)) return portable;
    if (IsFile(beside) && ReadImageKind(beside).arch == arch) return beside;
    if (IsFile(installed)) return installed;
    throw PackError("no program image for " + arch + " at " + portable + ", " + beside + " or " + installed +
                    ": make portable builds it (or give one with --image)");
}

// What may keep the file just made from installing where it is meant to, and the way out.
std::vector<std::string> ImageWarnings(const ImageKind &kind, const std::string &image, const std::string &output) {
    std::vector<std::string> warnings;
    if (!kind.installer)
        warnings.push_back(image + " is " + DescribeImage(kind) + ", so " + output +
                           " will not install anything: leave --image out, or give it a sonaris-installer");
    if (NeedsNewerGlibc(kind))
        warnings.push_back(image + " needs glibc " + kind.glibc + " or later, newer than the portable images' " +
                           kPortableGlibc + ", so " + output + " will not start on " + SystemsBefore(kind.glibc) +
                           ", or any other system with an older glibc: run make portable and pack again, or give "
                           "--image a portable image");
    return warnings;
}

// "app.installer: 12.3 MB, 842 members, x86-64, glibc 2.17 or later".
std::string Summary(const std::string &output, std::size_t members, const ImageKind &kind) {
    struct stat st;
    std::string line = output;
    if (stat(output.c_str(), &st) == 0) line += ": " + FormatSize(static_cast<std::uint64_t>(st.st_size));
    line += ", " + std::to_string(members) + (members == 1 ? " member, " : " members, ");
    if (kind.arch.empty()) return line + "an image that is " + kind.description;
    return line + ProcessorName(kind) + ", " + DescribeGlibc(kind);
}

std::optional<std::int64_t> SourceDateEpoch() {
    const char *value = std::getenv("SOURCE_DATE_EPOCH");
    if (value == nullptr || *value == '\0') return std::nullopt;
    errno = 0;
    char *end = nullptr;
    const long long seconds = std::strtoll(value, &end, 10);
    if (*end != '\0' || errno != 0 || seconds < 0 || !std::isdigit(static_cast<unsigned char>(*value)))
        throw PackError(std::string("SOURCE_DATE_EPOCH: not a number of seconds: ") + value);
    return seconds;
}

const unsigned kMaxJobs = 1024;

unsigned ParseJobs(const std::string &value) {
    errno = 0;
    char *end = nullptr;
    const unsigned long n = std::strtoul(value.c_str(), &end, 10);
    if (value.empty() || !std::isdigit(static_cast<unsigned char>(value[0])) || *end != '\0' || errno != 0 ||
        n < 1 || n > kMaxJobs)
        UsageError("--jobs takes a number of threads from 1 to " + std::to_string(kMaxJobs) + ", not '" + value +
                   "'");
    return static_cast<unsigned>(n);
}

int Run(int argc, char **argv) {
    std::string mode, image, arch;
    unsigned jobs = 0;
    bool quiet = false;
    std::vector<std::string> operands;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            operands.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (arg == "--licences") {
            std::fputs(kLicences, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("%s %s\n", kProgram, SONARIS_VERSION);
            return 0;
        } else if (arg == "--list" || arg == "--verify") {
            if (!mode.empty()) UsageError(mode + " and " + arg + " do not go together");
            mode = arg;
        } else if (arg == "--image" || arg.rfind("--image=", 0) == 0) {
            if (arg == "--image") {
                if (++i == argc) UsageError("--image needs a PROGRAM");
                image = argv[i];
            } else {
                image = arg.substr(8);
            }
            if (image.empty()) UsageError("--image needs a PROGRAM");
        } else if (arg == "--arch" || arg.rfind("--arch=", 0) == 0) {
            if (arg == "--arch" && ++i == argc) UsageError("--arch needs x86_64 or aarch64");
            arch = arg == "--arch" ? argv[i] : arg.substr(7);
            arch = ImageArch(arch);
            if (arch != kImageArches[0] && arch != kImageArches[1])
                UsageError("--arch takes x86_64 or aarch64, not '" + arch + "'");
        } else if (arg == "--jobs" || arg.rfind("--jobs=", 0) == 0) {
            if (arg == "--jobs" && ++i == argc) UsageError("--jobs needs a number N");
            jobs = ParseJobs(arg == "--jobs" ? argv[i] : arg.substr(7));
        } else if (arg == "--quiet" || arg == "-q") {
            quiet = true;
        } else {
            UsageError("unknown option " + arg);
        }
    }

    // Cleared when it goes out of scope, so before any message of failure.
    ProgressLine progress(STDERR_FILENO, !quiet);
    if (!mode.empty()) {
        if (!image.empty()) UsageError("--image goes only with packing");
        if (!arch.empty()) UsageError("--arch goes only with packing");
        if (jobs != 0) UsageError("--jobs goes only with packing");
        if (operands.size() != 1) UsageError(mode + " takes one INSTALLER");
        const std::string &installer = operands[0];
        if (mode == "--list") {
            List(installer, stdout);
        } else {
            const Verification verdict = Verify(installer, &progress);
            std::printf("%s\n%s: %s\n", verdict.summary.c_str(), installer.c_str(), ImageLine(verdict.image).c_str());
            std::fflush(stdout);
            for (const std::string &w : verdict.warnings)
                std::fprintf(stderr, "%s: warning: %s: %s\n", kProgram, installer.c_str(), w.c_str());
        }
        return 0;
    }

    if (operands.size() != 2) UsageError("packing takes a SOURCE and an OUTPUT");
    if (!arch.empty() && !image.empty()) UsageError("--arch and --image do not go together");
    if (image.empty() && arch.empty()) {
        arch = MachineArch();
        if (arch != kImageArches[0] && arch != kImageArches[1])
            throw PackError("this machine's processor is " + arch + ": choose --arch x86_64 or --arch aarch64");
    }
    PackOptions options;
    options.source = operands[0];
    options.output = operands[1];
    options.image = image.empty() ? DefaultImage(argv[0], arch) : image;
    options.sourceDateEpoch = SourceDateEpoch();
    options.jobs = jobs != 0 ? jobs : AvailableProcessors();
    options.progress = &progress;
    std::vector<std::string> warnings;
    options.warnings = &warnings;
    const std::size_t members = Pack(options);
    for (const std::string &w : warnings)
        std::fprintf(stderr, "%s: warning: %s: %s\n", kProgram, options.source.c_str(), w.c_str());
    const ImageKind kind = ReadImageKind(options.image);
    for (const std::string &w : ImageWarnings(kind, options.image, options.output))
        std::fprintf(stderr, "%s: warning: %s\n", kProgram, w.c_str());
    progress.End(Summary(options.output, members, kind));
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
        return 1;
    }
}
