#include "history_log.h"

#include "history_store.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A queue this long wakes the writer before its next tick.
constexpr std::size_t kWriteAhead = std::size_t{1} << 20;

int writeAll(int fd, std::string_view bytes, std::uint64_t& written) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += std::size_t(n);
            written += std::uint64_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return n < 0 ? errno : ENOSPC;
        }
    }
    return 0;
}

int closeFile(int fd) {
    // Linux frees the descriptor even when close reports EINTR: never retried.
    return ::close(fd);
}

std::string now() {
    const std::time_t t = std::time(nullptr);
    std::tm local {};
    localtime_r(&t, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    return stamp;
}

// "\n" when a file of `size` bytes at `path` ends inside a line, so that a
// marking line added to it starts a line of its own.
std::string breakBefore(const std::string& path, off_t size) {
    if (size <= 0)
        return {};
    char last = '\n';
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd >= 0) {
        ssize_t n;
        do
            n = ::pread(fd, &last, 1, size - 1);
        while (n < 0 && errno == EINTR);
        if (n != 1)
            last = '\n';
        closeFile(fd);
    }
    return last == '\n' ? "" : "\n";
}

// Non-blocking, so that a FIFO without a reader cannot hang the opener; appending,
// so that writes land at the end of a file truncated under the log.
int openForLog(const std::string& path, struct stat& st, std::string& error) {
    int fd;
    do
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "not a regular file";
        closeFile(fd);
        return -1;
    }
    return fd;
}

}  // namespace

struct HistoryLog::Shared {
    std::mutex mutex;
    std::condition_variable wake;   // the writer's
    std::condition_variable ended;  // the writer has closed the file
    std::string queue;
    bool stop = false;
    bool flushAsked = false;
    bool failed = false;
    bool quiet = false;  // closing: the log no longer reports
    bool exited = false;
    std::uint64_t written = 0;
    dev_t dev = 0;  // the file open now
    ino_t ino = 0;
    int syncMs = kSyncMs;
    std::function<int(int)> sync;
    std::string path;
    Stopped report;
    std::shared_ptr<Shared> before;  // a writer on the same file that must end first

    void run(int fd);
    bool waitForBefore();
    std::string follow(int& fd, std::uint64_t& total);
    void fail(const std::string& reason) {
        failed = true;
        std::string().swap(queue);
        if (!quiet && report)
            report(reason, written);
    }
};

// A writer a close left behind on this same file writes its last bytes first.
// False when this log failed meanwhile.
bool HistoryLog::Shared::waitForBefore() {
    if (!before)
        return true;
    {
        std::unique_lock lock(before->mutex);
        while (!before->exited) {
            before->ended.wait_for(lock, std::chrono::milliseconds(100));
            lock.unlock();
            {
                std::lock_guard own(mutex);
                if (failed)
                    return false;
            }
            lock.lock();
        }
    }
    before.reset();
    return true;
}

// When the path no longer names the open file (renamed or removed by log
// rotation, or by hand), opens the path again and marks the new file. "" when
// the log goes on, else the reason it cannot.
std::string HistoryLog::Shared::follow(int& fd, std::uint64_t& total) {
    struct stat named {};
    if (::stat(path.c_str(), &named) == 0 && named.st_dev == dev && named.st_ino == ino)
        return {};
    struct stat mine {};
    const char* why = ::fstat(fd, &mine) == 0 && mine.st_nlink == 0 ? "the file was removed"
                                                                      : "the file was moved away";
    // What reached the old file stays there, on the disk.
    if (sync(fd) != 0 && errno != EINVAL)
        return std::strerror(errno);
    struct stat st {};
    std::string error;
    const int next = openForLog(path, st, error);
    if (next < 0)
        return error;
    const std::string line = breakBefore(path, st.st_size) + "[log continued " + now() + ": " + why + "]\n";
    if (const int e = writeAll(next, line, total); e != 0) {
        closeFile(next);
        return std::strerror(e);
    }
    closeFile(fd);
    fd = next;
    std::lock_guard lock(mutex);
    dev = st.st_dev;
    ino = st.st_ino;
    return {};
}

void HistoryLog::Shared::run(int fd) {
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::milliseconds(syncMs);
    std::string buffer;
    auto lastSync = Clock::now();
    bool unsynced = false;
    std::uint64_t total = 0;
    bool go = waitForBefore();
    std::unique_lock lock(mutex);
    while (go) {
        wake.wait_for(lock, period, [this] { return stop || flushAsked || failed || queue.size() >= kWriteAhead; });
        if (failed)
            break;
        buffer.swap(queue);
        const bool closing = stop;
        const bool asked = flushAsked;
        flushAsked = false;
        lock.unlock();

        // Looked at before writing, so that what follows a rotation goes to the new file.
        std::string reason = follow(fd, total);
        if (reason.empty()) {
            if (const int error = writeAll(fd, buffer, total); error != 0)
                reason = std::strerror(error);
        }
        unsynced = unsynced || !buffer.empty();
        buffer.clear();
        const auto at = Clock::now();
        if (reason.empty() && unsynced && (closing || asked || at - lastSync >= period)) {
            if (sync(fd) != 0 && errno != EINVAL)  // EINVAL: a file that cannot be synced
                reason = std::strerror(errno);
            unsynced = false;
            lastSync = at;
        }

        lock.lock();
        written = total;
        if (!reason.empty()) {
            fail(reason);
            break;
        }
        if (closing)
            break;
    }
    lock.unlock();
    closeFile(fd);
    lock.lock();
    exited = true;
    ended.notify_all();
}

HistoryLog::HistoryLog(Stopped stopped) : HistoryLog(std::move(stopped), Options{}) {}

HistoryLog::HistoryLog(Stopped stopped, Options options)
    : stoppedCallback_(std::move(stopped)), options_(std::move(options)) {
    if (!options_.sync)
        options_.sync = [](int fd) { return ::fdatasync(fd); };
}

HistoryLog::~HistoryLog() { close(); }

std::string HistoryLog::open(const std::string& path, const std::string& note) {
    close();
    struct stat st {};
    std::string error;
    const int fd = openForLog(path, st, error);
    if (fd < 0)
        return error;
    auto shared = std::make_shared<Shared>();
    shared->dev = st.st_dev;
    shared->ino = st.st_ino;
    shared->syncMs = options_.syncMs;
    shared->sync = options_.sync;
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
    shared->path = absolute.empty() ? path : absolute.string();
    shared->report = stoppedCallback_;
    if (st.st_size > 0 || !note.empty())
        shared->queue = breakBefore(path, st.st_size) + "[log started " + now() + (note.empty() ? "" : "; " + note) +
                        "]\n";
    for (const auto& left : leftBehind_) {
        std::lock_guard lock(left->mutex);
        if (!left->exited && left->dev == st.st_dev && left->ino == st.st_ino)
            shared->before = left;
    }
    shared_ = shared;
    thread_ = std::thread([shared, fd] { shared->run(fd); });
    path_ = path;
    carriageReturn_ = false;
    lineOpen_ = false;
    return {};
}

bool HistoryLog::end(std::chrono::milliseconds wait) {
    if (!shared_)
        return true;
    bool ended;
    {
        std::unique_lock lock(shared_->mutex);
        if (!shared_->failed)
            noteLocked(shared_->queue, "[log ended " + now() + "]");
        shared_->stop = true;
        shared_->quiet = true;
        shared_->wake.notify_one();
        ended = shared_->ended.wait_for(lock, wait, [this] { return shared_->exited; });
    }
    // A writer stuck on a stalled disk is left to finish alone; it holds what it uses.
    if (ended) {
        thread_.join();
    } else {
        thread_.detach();
        leftBehind_.push_back(shared_);
    }
    shared_.reset();
    path_.clear();
    carriageReturn_ = false;
    lineOpen_ = false;
    return ended;
}

void HistoryLog::close() {
    end(std::chrono::milliseconds(kCloseWaitMs));
    std::erase_if(leftBehind_, [](const std::shared_ptr<Shared>& left) {
        std::lock_guard lock(left->mutex);
        return left->exited;
    });
}

bool HistoryLog::finish(int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    bool closed = end(std::chrono::milliseconds(ms));
    for (const auto& left : leftBehind_) {
        std::unique_lock lock(left->mutex);
        closed = left->ended.wait_until(lock, deadline, [&] { return left->exited; }) && closed;
    }
    std::erase_if(leftBehind_, [](const std::shared_ptr<Shared>& left) {
        std::lock_guard lock(left->mutex);
        return left->exited;
    });
    return closed;
}

bool HistoryLog::isOpen() const {
    if (!shared_)
        return false;
    std::lock_guard lock(shared_->mutex);
    return !shared_->failed;
}

bool HistoryLog::isSameFile(const std::string& path) const {
    if (!shared_)
        return false;
    struct stat named {};
    if (::stat(path.c_str(), &named) != 0)
        return false;
    std::lock_guard lock(shared_->mutex);
    return !shared_->failed && shared_->dev == named.st_dev && shared_->ino == named.st_ino;
}

void HistoryLog::add(std::string_view bytes) {
    if (!shared_ || bytes.empty())
        return;
    std::lock_guard lock(shared_->mutex);
    if (shared_->failed || shared_->stop)
        return;
    std::string& queue = shared_->queue;
    // Making "\r\n" "\n" only shortens the text: this is the most it can add.
    if (queue.size() + bytes.size() + (carriageReturn_ ? 1 : 0) > options_.queueLimit) {
        shared_->fail("the disk did not keep up");
        shared_->wake.notify_one();
        return;
    }
    const std::size_t before = queue.size();
    if (carriageReturn_ && bytes.front() != '\n')
        queue.push_back('\r');
    // A '\r' at the end waits: its '\n' may begin the next text.
    carriageReturn_ = bytes.back() == '\r';
    HistoryStore::appendBreaksNormalized(queue, bytes.substr(0, bytes.size() - (carriageReturn_ ? 1 : 0)));
    if (queue.size() > before)
        lineOpen_ = queue.back() != '\n';
    if (queue.size() >= kWriteAhead)
        shared_->wake.notify_one();
}

void HistoryLog::noteLocked(std::string& queue, const std::string& line) {
    if (carriageReturn_)
        queue.push_back('\r');
    if (carriageReturn_ || lineOpen_)
        queue.push_back('\n');
    queue += line;
    queue.push_back('\n');
    carriageReturn_ = false;
    lineOpen_ = false;
}

void HistoryLog::note(const std::string& line) {
    if (!shared_)
        return;
    std::lock_guard lock(shared_->mutex);
    if (!shared_->failed && !shared_->stop)
        noteLocked(shared_->queue, line);
}

void HistoryLog::add(std::string_view bytes, std::string_view first, std::string_view rest) {
    if (bytes.empty())
        return;
    if (first.empty() && rest.empty()) {
        add(bytes);
        return;
    }
    // Line by line, so that each line begun (at its first byte, a held '\r'
    // included) gets its time before it.
    std::string_view prefix = first;
    while (!bytes.empty()) {
        const std::size_t nl = bytes.find('\n');
        const std::string_view line = bytes.substr(0, nl == std::string_view::npos ? bytes.size() : nl + 1);
        const bool begins = !lineOpen_ && !carriageReturn_;
        if (begins)
            add(prefix);
        add(line);
        if (begins)
            prefix = rest;
        bytes.remove_prefix(line.size());
    }
}

void HistoryLog::flush() {
    if (!shared_)
        return;
    std::lock_guard lock(shared_->mutex);
    shared_->flushAsked = true;
    shared_->wake.notify_one();
}
