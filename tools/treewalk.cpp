#include "tools/treewalk.h"
#include "tools/error.h"
#include "tools/owners.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

// ---- the walk ----

// One name read from a directory, standing either for the entry itself or for what lies below it
// ("c/"). The payload holds the whole names in byte order, in which a directory's contents follow
// the names that sort between "c" and "c/" ("c-1", "c.txt"); sorting each directory's names with
// those of its subdirectories' contents so keyed gives that order without holding the whole tree.
struct TreeWalk::Child {
    std::string name;
    bool below = false;
    mode_t mode = 0;
    std::int64_t mtime = 0;
    std::uint64_t size = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    nlink_t links = 0;
};

namespace {

template <typename Child> bool Before(const Child &a, const Child &b) {
    const std::size_t n = std::min(a.name.size(), b.name.size());
    const int c = std::memcmp(a.name.data(), b.name.data(), n);
    if (c != 0) return c < 0;
    const auto next = [n](const Child &x) {
        return x.name.size() > n ? static_cast<int>(static_cast<unsigned char>(x.name[n])) : x.below ? '/' : -1;
    };
    return next(a) < next(b);
}

}  // namespace

void TreeWalk::Run() {
    Fd top(open(source_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!top) throw SystemError(source_, "cannot read the directory");
    Walk(std::move(top), "");
}

void TreeWalk::Walk(Fd fd, const std::string &name) {
    const std::string path = name.empty() ? source_ : PathOf(name);
    Dir dir(fdopendir(fd.get()));
    if (!dir) throw SystemError(path, "cannot read the directory");
    fd.Release();
    const int at = dirfd(dir.get());
    std::vector<Child> children;
    errno = 0;
    while (const struct dirent *entry = readdir(dir.get())) {
        const char *child = entry->d_name;
        if (std::strcmp(child, ".") == 0 || std::strcmp(child, "..") == 0) {
            errno = 0;
            continue;
        }
        struct stat st;
        if (fstatat(at, child, &st, AT_SYMLINK_NOFOLLOW) != 0)
            throw SystemError(PathOf(name.empty() ? child : name + "/" + child), "cannot examine");
        const MemberType type = TypeOfMode(st.st_mode);
        Child c;
        c.name = child;
        c.mode = st.st_mode;
        c.mtime = st.st_mtime;
        c.size = static_cast<std::uint64_t>(st.st_size);
        c.dev = st.st_dev;
        c.ino = st.st_ino;
        c.links = st.st_nlink;
        children.push_back(c);
        if (type == MemberType::Directory) {
            Child below;
            below.name = child;
            below.below = true;
            children.push_back(below);
        }
        errno = 0;
    }
    if (errno != 0) throw SystemError(path, "cannot read the directory");
    std::sort(children.begin(), children.end(), Before<Child>);

    // The launcher goes last of all.
    const Child *launcher = nullptr;
    for (const Child &c : children) {
        if (name.empty() && !c.below && c.name == kLauncherName) {
            launcher = &c;
            continue;
        }
        const std::string member = name.empty() ? c.name : name + "/" + c.name;
        if (c.below) {
            Fd sub(openat(at, c.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!sub) {
                problem_(SystemError(PathOf(member), "cannot read the directory").what());
                continue;
            }
            Walk(std::move(sub), member);
        } else {
            Visit(c, at, member);
        }
    }
    if (launcher) Visit(*launcher, at, launcher->name);
}

void TreeWalk::Visit(const Child &c, int at, const std::string &name) {
    Member m;
    m.name = name;
    m.path = PathOf(name);
    m.type = TypeOfMode(c.mode);
    m.permissions = m.type == MemberType::Symlink ? 0777 : c.mode & 0777;
    m.mtime = c.mtime;
    if (m.type == MemberType::File) {
        m.size = c.size;
        // Names of one file: all but the first in the payload become hard links to it.
        if (c.links > 1) m.identity = std::to_string(c.dev) + ":" + std::to_string(c.ino);
    } else if (m.type == MemberType::Symlink) {
        std::string target(static_cast<std::size_t>(c.size) + 1, '\0');
        const ssize_t n = readlinkat(at, c.name.c_str(), target.data(), target.size());
        if (n < 0) throw SystemError(m.path, "cannot read the symbolic link");
        if (static_cast<std::size_t>(n) >= target.size()) throw PackError(m.path + ": changed while being packed");
        target.resize(static_cast<std::size_t>(n));
        m.link = target;
    }
    each_(m, at, c.name.c_str(), c.mode);
}

void NameLinker::Link(Member &m) {
    if (m.type != MemberType::File || m.identity.empty() || m.name == kLauncherName) return;
    const auto known = first_.emplace(m.identity, m.name);
    if (known.second) return;
    m.type = MemberType::HardLink;
    m.link = known.first->second;
}

// ---- reading ahead ----

namespace {

// A batch: so many entries, or so many bytes of content, handed over at once.
const std::size_t kBatchItems = 512;
const std::size_t kBatchBytes = 256 << 10;
const std::size_t kBatches = 10;  // in all: the one being filled, those handed over, the one being read

}  // namespace

struct TreeReader::Item {
    bool piece = false;  // of a file's content; else an entry
    Found found;
    std::size_t at = 0, n = 0;  // a piece: its bytes in the batch
    bool last = false;          // a piece: the file's last
    std::exception_ptr error;   // a piece: what kept the file from being read
};

struct TreeReader::Batch {
    std::vector<Item> items;
    std::unique_ptr<char[]> bytes{new char[kBatchBytes]};
    std::size_t used = 0;  // of the bytes
    bool end = false;      // nothing comes after it

    void Clear() {
        items.clear();
        used = 0;
    }
};

TreeReader::TreeReader(std::string source) : source_(std::move(source)) {
    for (std::size_t i = 1; i < kBatches; ++i) spare_.push_back(std::make_unique<Batch>());
    full_.reserve(kBatches);
    filling_ = std::make_unique<Batch>();
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error &) {
        throw PackError("cannot start the thread that reads the tree");
    }
}

TreeReader::~TreeReader() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    space_.notify_all();
    thread_.join();
}

void TreeReader::Run() noexcept {
    std::exception_ptr failure;
    try {
        TreeWalk(
            source_, [this](Member &m, int directory, const char *child, mode_t mode) { Each(m, directory, child, mode); },
            [this](const std::string &line) {
                Room(0);
                Add().found.problem = line;
            })
            .Run();
    } catch (const Stopped &) {
        return;
    } catch (...) {
        failure = std::current_exception();
    }
    // The pool holds a place for every batch, so this hand-over needs no memory.
    std::lock_guard<std::mutex> lock(mutex_);
    filling_->end = true;
    full_.push_back(std::move(filling_));
    failure_ = failure;
    ready_.notify_one();
}

void TreeReader::Each(Member &m, int directory, const char *child, mode_t mode) {
    linker_.Link(m);
    Room(0);
    Item &item = Add();
    item.found.mode = mode;
    if (m.type != MemberType::File) {
        item.found.member = std::move(m);
        return;
    }
    const Fd file(openat(directory, child, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file) item.found.cannotRead = SystemError(m.path, "cannot read").what();
    const std::uint64_t size = m.size;
    const std::string path = m.path;
    item.found.member = std::move(m);
    if (file) Read(file.get(), path, size);
}

// The tree may have changed since it was walked: only what still fits the header is taken. One
// byte more than is left is asked for, which tells a file that grew without a stat of its own.
void TreeReader::Read(int fd, const std::string &path, std::uint64_t size) {
    const auto fault = [this](const PackError &e) { Piece(0, true, std::make_exception_ptr(e)); };
    for (std::uint64_t offset = 0;;) {
        if (!wanted_) return Piece(0, true);
        const std::uint64_t left = size - offset;
        const std::size_t want = left < kBatchBytes ? static_cast<std::size_t>(left) + 1 : kBatchBytes;
        Room(want);
        const ssize_t n = ReadAt(fd, filling_->bytes.get() + filling_->used, want, offset);
        if (n < 0 && errno != EISDIR) return fault(SystemError(path, "cannot read"));
        const std::uint64_t got = n < 0 ? 0 : static_cast<std::uint64_t>(n);
        const bool end = got < want;
        if (n < 0 || got > left || (end && got < left && offset == 0))
            return fault(PackError(path + ": changed while being packed"));
        if (end && got < left) return fault(PackError(path + ": shrank while being packed"));
        offset += got;
        Piece(static_cast<std::size_t>(got), end);
        if (end) return;
    }
}

// Room in the batch for one more item with `bytes` of content.
void TreeReader::Room(std::size_t bytes) {
    if (filling_->items.size() == kBatchItems || kBatchBytes - filling_->used < bytes) Flush();
}

TreeReader::Item &TreeReader::Add() { return filling_->items.emplace_back(); }

void TreeReader::Piece(std::size_t n, bool last, std::exception_ptr error) {
    Item &p = Add();
    p.piece = true;
    p.at = filling_->used;
    p.n = n;
    p.last = last;
    p.error = std::move(error);
    filling_->used += n;
}

void TreeReader::Flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    full_.push_back(std::move(filling_));
    ready_.notify_one();
    space_.wait(lock, [this] { return stop_ || !spare_.empty(); });
    if (stop_) throw Stopped();
    filling_ = std::move(spare_.back());
    spare_.pop_back();
}

TreeReader::Item *TreeReader::Peek() {
    while (!current_ || next_ == current_->items.size()) {
        if (current_ && current_->end) {
            if (failure_) std::rethrow_exception(failure_);
            return nullptr;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        if (current_) {
            current_->Clear();
            spare_.push_back(std::move(current_));
            space_.notify_one();
        }
        ready_.wait(lock, [this] { return !full_.empty(); });
        current_ = std::move(full_.front());
        full_.erase(full_.begin());
        next_ = 0;
    }
    return &current_->items[next_];
}

bool TreeReader::Next(Found &found) {
    while (Item *item = Peek()) {
        ++next_;
        if (item->piece) continue;  // of a file whose content was not taken
        found = std::move(item->found);
        return true;
    }
    return false;
}

void TreeReader::Content(const std::function<void(const char *data, std::size_t n)> &each) {
    while (Item *item = Peek()) {
        if (!item->piece) return;
        ++next_;
        if (item->error) std::rethrow_exception(item->error);
        if (item->n > 0) each(current_->bytes.get() + item->at, item->n);
        if (item->last) return;
    }
}
