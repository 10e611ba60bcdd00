#include "history_log.h"

#include "history_store.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A queue this long wakes the writer before its next tick.
constexpr std::size_t kWriteAhead = std::size_t{1} << 20;
constexpr auto kCloseBound = std::chrono::seconds(5);

int writeAll(int fd, const std::string& bytes, std::uint64_t& written) {
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

// Writes to a removed file would succeed and reach no one.
std::string whyGone(int fd, const std::string& path) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_nlink == 0)
        return "the file was removed";
    if (::access(path.c_str(), W_OK) != 0)
        return errno == ENOENT ? "the file was removed" : std::strerror(errno);
    return {};
}

std::string startLine(const std::string& path, off_t size) {
    std::string line;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    char last = '\n';
    if (fd >= 0) {
        if (::pread(fd, &last, 1, size - 1) != 1)
            last = '\n';
        ::close(fd);
    }
    if (last != '\n')
        line += '\n';
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    return line + "[log started " + stamp + "]\n";
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
    int fd = -1;
    std::string path;
    Stopped report;

    void run();
    void fail(const std::string& reason) {
        failed = true;
        std::string().swap(queue);
        if (!quiet && report)
            report(reason, written);
    }
};

void HistoryLog::Shared::run() {
    using Clock = std::chrono::steady_clock;
    std::string buffer;
    auto lastSync = Clock::now();
    bool unsynced = false;
    std::uint64_t total = 0;
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait_for(lock, std::chrono::milliseconds(kSyncMs),
                      [this] { return stop || flushAsked || failed || queue.size() >= kWriteAhead; });
        if (failed)
            break;
        buffer.swap(queue);
        const bool closing = stop;
        const bool asked = flushAsked;
        flushAsked = false;
        lock.unlock();

        int error = writeAll(fd, buffer, total);
        unsynced = unsynced || !buffer.empty();
        buffer.clear();
        const auto now = Clock::now();
        if (error == 0 && unsynced && (closing || asked || now - lastSync >= std::chrono::milliseconds(kSyncMs))) {
            if (::fdatasync(fd) != 0 && errno != EINVAL)  // EINVAL: a file that cannot be synced
                error = errno;
            unsynced = false;
            lastSync = now;
        }
        const std::string reason = error != 0 ? std::string(std::strerror(error)) : whyGone(fd, path);

        lock.lock();
        written = total;
        if (!reason.empty()) {
            fail(reason);
            break;
        }
        if (closing)
            break;
    }
    ::close(fd);
    fd = -1;
    exited = true;
    ended.notify_all();
}

HistoryLog::HistoryLog(Stopped stopped, std::size_t queueLimit)
    : stoppedCallback_(std::move(stopped)), queueLimit_(queueLimit) {}

HistoryLog::~HistoryLog() { close(); }

std::string HistoryLog::open(const std::string& path) {
    close();
    // Non-blocking, so that a FIFO without a reader cannot hang the window.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0)
        return std::strerror(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return "not a regular file";
    }
    auto shared = std::make_shared<Shared>();
    shared->fd = fd;
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
    shared->path = absolute.empty() ? path : absolute.string();
    shared->report = stoppedCallback_;
    if (st.st_size > 0)
        shared->queue = startLine(path, st.st_size);
    shared_ = shared;
    thread_ = std::thread([shared] { shared->run(); });
    path_ = path;
    carriageReturn_ = false;
    return {};
}

void HistoryLog::close() {
    if (!shared_)
        return;
    bool ended;
    {
        std::unique_lock lock(shared_->mutex);
        if (carriageReturn_ && !shared_->failed)
            shared_->queue.push_back('\r');
        shared_->stop = true;
        shared_->quiet = true;
        shared_->wake.notify_one();
        ended = shared_->ended.wait_for(lock, kCloseBound, [this] { return shared_->exited; });
    }
    // A disk that stalls for longer keeps the thread; it ends with the program.
    if (ended)
        thread_.join();
    else
        thread_.detach();
    shared_.reset();
    path_.clear();
    carriageReturn_ = false;
}

bool HistoryLog::isOpen() const {
    if (!shared_)
        return false;
    std::lock_guard lock(shared_->mutex);
    return !shared_->failed;
}

void HistoryLog::add(std::string_view bytes) {
    if (!shared_ || bytes.empty())
        return;
    std::lock_guard lock(shared_->mutex);
    if (shared_->failed || shared_->stop)
        return;
    std::string& queue = shared_->queue;
    if (queue.size() + bytes.size() + 1 > queueLimit_) {
        shared_->fail("the disk did not keep up");
        shared_->wake.notify_one();
        return;
    }
    if (carriageReturn_ && bytes.front() != '\n')
        queue.push_back('\r');
    // A '\r' at the end waits: its '\n' may begin the next text.
    carriageReturn_ = bytes.back() == '\r';
    HistoryStore::appendBreaksNormalized(queue, bytes.substr(0, bytes.size() - (carriageReturn_ ? 1 : 0)));
    if (queue.size() >= kWriteAhead)
        shared_->wake.notify_one();
}

void HistoryLog::flush() {
    if (!shared_)
        return;
    std::lock_guard lock(shared_->mutex);
    shared_->flushAsked = true;
    shared_->wake.notify_one();
}
