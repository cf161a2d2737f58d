// A directory source in payload order: walked on the caller's thread (TreeWalk), or walked and
// its files read on a thread of its own, ahead of the one that checks and writes them (TreeReader).
#ifndef SONARIS_PACK_TREEWALK_H
#define SONARIS_PACK_TREEWALK_H

#include "posix/fd.h"
#include "tools/member.h"

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

// Calls `each(member, directory, child, mode)` for every entry below `source` but its top, in
// payload order, whatever its type; `directory` is a descriptor of the member's directory and
// `child` its name there, open during the call, `mode` the entry's own. A directory's descriptor
// stays open while its contents are walked. A directory that cannot be read is told to `problem`
// and passed over.
class TreeWalk {
public:
    using Each = std::function<void(Member &member, int directory, const char *child, mode_t mode)>;
    using Problem = std::function<void(const std::string &line)>;
    TreeWalk(std::string source, Each each, Problem problem)
        : source_(std::move(source)), each_(std::move(each)), problem_(std::move(problem)) {}

    void Run();

private:
    struct Child;
    std::string PathOf(const std::string &name) const { return source_ + "/" + name; }
    void Walk(Fd fd, const std::string &name);
    void Visit(const Child &c, int at, const std::string &name);

    std::string source_;
    Each each_;
    Problem problem_;
};

// Every name of a file after its first in the payload becomes a hard link to that first, as tar
// makes them; the launcher stays a regular file of its own. Members come in payload order.
class NameLinker {
public:
    void Link(Member &m);

private:
    std::unordered_map<std::string, std::string> first_;  // identity -> the name that carries the content
};

// TreeWalk on a thread of its own, each file opened and read there, its names linked
// (NameLinker): what it finds comes out of Next in the walk's order, problems and failures just
// where the walk met them, a bounded amount (at most 2.5 MB of content) ahead of the caller.
class TreeReader {
public:
    struct Found {
        std::string problem;  // "": a member; else a directory that cannot be read, as TreeWalk tells it
        Member member;
        mode_t mode = 0;         // the entry's own
        std::string cannotRead;  // a file that would not open: the problem, naming it
    };

    explicit TreeReader(std::string source);
    ~TreeReader();  // stops the walk
    TreeReader(const TreeReader &) = delete;
    TreeReader &operator=(const TreeReader &) = delete;

    // Moves the next entry into `found`; false at the end. Throws what ended the walk (a file that
    // cannot be examined, say) where the walk met it.
    bool Next(Found &found);
    // The content of the file Next gave last, piece by piece to `each`; throws what kept it from
    // being read whole ("changed while being packed", a read error). What is not taken is skipped.
    void Content(const std::function<void(const char *data, std::size_t n)> &each);
    // Files are still opened, but no longer read: their content is not wanted.
    void StopReading() { wanted_ = false; }

private:
    struct Item;
    struct Batch;
    struct Stopped {};  // the reader is going away

    void Run() noexcept;
    void Each(Member &member, int directory, const char *child, mode_t mode);
    void Read(int fd, const std::string &path, std::uint64_t size);
    void Room(std::size_t bytes);
    Item &Add();
    void Piece(std::size_t n, bool last, std::exception_ptr error = nullptr);
    void Flush();
    Item *Peek();

    std::string source_;
    std::atomic<bool> wanted_{true};  // the content of files

    // The walk's.
    NameLinker linker_;
    std::unique_ptr<Batch> filling_;

    // The caller's.
    std::unique_ptr<Batch> current_;
    std::size_t next_ = 0;  // of its items

    // A fixed pool of batches, so that memory stays flat and the walk's last hand-over cannot fail.
    std::mutex mutex_;
    std::condition_variable ready_, space_;
    std::vector<std::unique_ptr<Batch>> full_, spare_;  // full_ oldest first
    std::exception_ptr failure_;  // what ended the walk, behind the last batch
    bool stop_ = false;
    std::thread thread_;
};

#endif
