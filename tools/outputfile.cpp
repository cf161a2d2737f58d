#include "tools/outputfile.h"
#include "tools/error.h"
#include "posix/path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <random>

namespace {

// A named temporary file is removed by these handlers when the packer is interrupted; only one
// output is ever open at a time.
char gTempPath[PATH_MAX];
volatile sig_atomic_t gTempSet = 0;
const int kCleanupSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

extern "C" void RemoveTempAndDie(int signal) {
    if (gTempSet) unlink(gTempPath);
    std::signal(signal, SIG_DFL);
    raise(signal);
}

std::string RandomSuffix() {
    static std::mt19937_64 gen(std::random_device{}() ^ static_cast<unsigned>(getpid()));
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string s(8, 'x');
    for (auto &c : s) c = kAlphabet[gen() % (sizeof kAlphabet - 1)];
    return s;
}

}  // namespace

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
    directory_ = DirectoryOf(path_);
    base_ = BaseOf(path_);
    if (base_.empty()) throw PackError(path_ + ": names a directory, not a file");

    directoryFd_ = Fd(open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directoryFd_) throw SystemError(directory_, "cannot open the output's directory");
    // A nameless file needs /proc to be given a name at the end (without privileges).
    if (access("/proc/self/fd", X_OK) != 0) {
        OpenNamed();
        return;
    }
    fd_ = Fd(openat(directoryFd_.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (fd_) return;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) throw SystemError(path_, "cannot create");
    OpenNamed();  // the file system has no nameless files
}

void OutputFile::OpenNamed() {
    const std::string pattern = directory_ + "/." + base_ + ".XXXXXX";
    std::string name = pattern;
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) throw SystemError(path_, "cannot create");
    fd_ = Fd(fd);
    Name(name);
}

void OutputFile::Name(const std::string &temp) {
    temp_ = temp;
    if (temp_.size() < sizeof gTempPath) {
        std::memcpy(gTempPath, temp_.c_str(), temp_.size() + 1);
        gTempSet = 1;
        for (int s : kCleanupSignals) std::signal(s, RemoveTempAndDie);
    }
}

void OutputFile::Forget() {
    if (!temp_.empty()) {
        gTempSet = 0;
        for (int s : kCleanupSignals) std::signal(s, SIG_DFL);
    }
}

OutputFile::~OutputFile() {
    if (!committed_ && !temp_.empty()) unlink(temp_.c_str());
    Forget();
}

void OutputFile::Commit(mode_t mode) {
    if (fchmod(fd_.get(), mode) != 0) throw SystemError(path_, "cannot set the mode");
    if (fsync(fd_.get()) != 0) throw SystemError(path_, "cannot write");
    if (temp_.empty()) {
        // Name the file beside OUTPUT, then rename it over OUTPUT in one step.
        const std::string proc = "/proc/self/fd/" + std::to_string(fd_.get());
        for (int attempt = 0; temp_.empty(); ++attempt) {
            const std::string name = "." + base_ + "." + RandomSuffix();
            if (linkat(AT_FDCWD, proc.c_str(), directoryFd_.get(), name.c_str(), AT_SYMLINK_FOLLOW) == 0)
                Name(directory_ + "/" + name);
            else if (errno != EEXIST || attempt > 100)
                throw SystemError(path_, "cannot create");
        }
    }
    if (rename(temp_.c_str(), path_.c_str()) != 0) {
        const int error = errno;
        unlink(temp_.c_str());
        errno = error;
        throw SystemError(path_, "cannot create");
    }
    committed_ = true;
    Forget();
    if (!fd_.Close()) throw SystemError(path_, "cannot write");
    fsync(directoryFd_.get());
}
