#include "file_sender.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Large enough that an unpaced send costs few system calls, small enough that
// a stop is seen within one bounded write.
constexpr std::size_t kChunk = std::size_t{64} << 10;

// How often a pipe with nothing to read looks whether the send was stopped.
constexpr int kPipePollMs = 50;

std::string SystemReason(const char* what, int error) { return std::string(what) + ": " + std::strerror(error); }

std::string DeviceReason(DWORD error) {
    switch (error) {
    case ERROR_DEVICE_NOT_CONNECTED: return "device gone";
    case ERROR_BROKEN_PIPE: return "hung up";
    case ERROR_INVALID_HANDLE: return "not connected";
    default: return "I/O error";
    }
}

// Reads what the file gives, up to `want` bytes: a pipe or device is waited on
// with poll, so that a stop is seen while it is silent. 0 at the end; -1 on an
// error (errno) or once `stopAsked` says so.
ssize_t ReadSome(int fd, bool regular, unsigned char* into, std::size_t want,
                 const std::function<bool()>& stopAsked) {
    for (;;) {
        if (!regular) {
            pollfd p{fd, POLLIN, 0};
            const int r = poll(&p, 1, kPipePollMs);
            if (r < 0 && errno != EINTR) return -1;
            if (stopAsked()) return -1;
            if (r <= 0) continue;
        }
        const ssize_t n = read(fd, into, want);
        if (n >= 0) return n;
        if (errno == EINTR || errno == EAGAIN) continue;
        return -1;
    }
}

}  // namespace

std::chrono::nanoseconds ByteTime(const DCB& line) {
    if (line.BaudRate == 0) return std::chrono::nanoseconds{0};
    // In half bits, for one and a half stop bits.
    const unsigned stopHalves = line.StopBits == ONESTOPBIT ? 2 : line.StopBits == ONE5STOPBITS ? 3 : 4;
    const unsigned halves = 2 * (1 + line.ByteSize + (line.Parity != NOPARITY ? 1 : 0)) + stopHalves;
    return std::chrono::nanoseconds{std::int64_t{halves} * 500'000'000 / line.BaudRate};
}

FilePiece NextFilePiece(const unsigned char* data, std::size_t size, bool atEnd) {
    std::size_t at = 0;
    while (at < size && data[at] != '\n' && data[at] != '\r') ++at;
    if (at > 0) return {FilePiece::Text, at};
    if (size == 0) return {FilePiece::NeedMore, 0};
    if (data[0] == '\n') return {FilePiece::LineEnd, 1};
    if (size == 1) return atEnd ? FilePiece{FilePiece::LineEnd, 1} : FilePiece{FilePiece::NeedMore, 0};
    return {FilePiece::LineEnd, data[1] == '\n' ? std::size_t{2} : std::size_t{1}};
}

FileSender::FileSender(SimpleThread* reader) : reader_(reader) {}

FileSender::~FileSender() {
    Stop("cancelled");
    if (thread_.joinable()) thread_.join();
}

bool FileSender::Start(FileSendJob job, std::function<void()> finished) {
    if (running_.load()) return false;
    if (thread_.joinable()) thread_.join();
    {
        std::lock_guard lock(mutex_);
        stopReason_.clear();
        done_ = false;
        outcome_ = {};
        reply_ = job.pacing.reply;
        seen_.clear();
        armed_ = replied_ = false;
    }
    finished_ = std::move(finished);
    sent_ = 0;
    size_ = -1;
    running_ = true;
    // Only while a reply is awaited does the reader hand its bytes over.
    if (!job.pacing.reply.empty() && reader_ != nullptr) reader_->SetReceiveTap(this);
    thread_ = std::thread(&FileSender::Run, this, std::move(job));
    return true;
}

void FileSender::Stop(const std::string& reason) {
    {
        std::lock_guard lock(mutex_);
        if (done_ || !stopReason_.empty()) return;
        stopReason_ = reason.empty() ? "stopped" : reason;
    }
    changed_.notify_all();
}

bool FileSender::Wait(std::chrono::milliseconds bound) {
    {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, bound, [this] { return done_; })) return false;
    }
    if (thread_.joinable()) thread_.join();
    return true;
}

std::optional<std::uint64_t> FileSender::Size() const {
    const std::int64_t size = size_.load(std::memory_order_relaxed);
    return size < 0 ? std::nullopt : std::optional<std::uint64_t>(std::uint64_t(size));
}

FileSendOutcome FileSender::TakeOutcome() {
    std::lock_guard lock(mutex_);
    return std::exchange(outcome_, {});
}

void FileSender::Received(const unsigned char* bytes, std::size_t count) {
    std::lock_guard lock(mutex_);
    if (!armed_ || replied_ || reply_.empty()) return;
    seen_.append(reinterpret_cast<const char*>(bytes), count);
    if (seen_.find(reply_) != std::string::npos) {
        replied_ = true;
        changed_.notify_all();
        return;
    }
    // Only a reply split across reads needs what came before.
    if (seen_.size() >= reply_.size()) seen_.erase(0, seen_.size() - (reply_.size() - 1));
}

void FileSender::Run(FileSendJob job) {
    FileSendOutcome outcome;
    // Non-blocking, so that opening a pipe no one writes to does not hang here.
    const int fd = open(job.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat info {};
    if (fd < 0) {
        outcome.stopped = SystemReason("cannot open", errno);
    } else if (fstat(fd, &info) != 0) {
        outcome.stopped = SystemReason("cannot read", errno);
    } else if (S_ISDIR(info.st_mode)) {
        outcome.stopped = SystemReason("cannot read", EISDIR);
    } else {
        if (S_ISREG(info.st_mode)) {
            outcome.size = std::uint64_t(info.st_size);
            size_ = info.st_size;
        }
        Send(job, fd, outcome);
    }
    if (fd >= 0) close(fd);
    if (!job.pacing.reply.empty() && reader_ != nullptr) reader_->SetReceiveTap(nullptr);
    std::function<void()> finished = std::move(finished_);
    {
        std::lock_guard lock(mutex_);
        outcome_ = outcome;
        done_ = true;
        running_ = false;
    }
    changed_.notify_all();
    if (finished) finished();
}

bool FileSender::StopAsked(FileSendOutcome& outcome) {
    std::lock_guard lock(mutex_);
    if (stopReason_.empty()) return false;
    outcome.stopped = stopReason_;
    return true;
}

void FileSender::Send(const FileSendJob& job, int fd, FileSendOutcome& outcome) {
    const FilePacing& pacing = job.pacing;
    const bool paced = pacing.byteDelayMs > 0 || pacing.lineDelayMs > 0 || !pacing.reply.empty();
    const bool regular = outcome.size.has_value();
    std::vector<unsigned char> buffer(kChunk);
    std::size_t held = 0;      // read and not yet sent, at the buffer's start
    std::uint64_t taken = 0;   // bytes read from the file
    bool atEnd = false;
    std::string readProblem;   // why the file gave no more than `taken` bytes
    const auto stopAsked = [&] { return StopAsked(outcome); };
    for (;;) {
        if (!atEnd && held < buffer.size()) {
            std::size_t want = buffer.size() - held;
            // A regular file is sent as long as it was at the start, even if it grows.
            if (regular) want = std::size_t(std::min<std::uint64_t>(want, *outcome.size - taken));
            const ssize_t n = want == 0 ? 0 : ReadSome(fd, regular, buffer.data() + held, want, stopAsked);
            if (n < 0 && !outcome.stopped.empty()) return;
            if (n > 0) {
                held += std::size_t(n);
                taken += std::uint64_t(n);
            } else {
                atEnd = true;
                if (n < 0)
                    readProblem = SystemReason("cannot read", errno);
                else if (regular && taken < *outcome.size)
                    readProblem = "the file shrank while it was sent";
            }
        }
        if (held == 0 && atEnd) break;
        std::size_t at = 0;
        if (!paced) {
            if (!WriteAll(job, buffer.data(), held, outcome)) return;
            at = held;
        }
        while (at < held) {
            const FilePiece piece = NextFilePiece(buffer.data() + at, held - at, atEnd);
            if (piece.kind == FilePiece::NeedMore) break;
            if (!WritePiece(job, buffer.data() + at, piece.length, piece.kind == FilePiece::LineEnd, outcome)) return;
            at += piece.length;
        }
        std::memmove(buffer.data(), buffer.data() + at, held - at);
        held -= at;
    }
    outcome.stopped = readProblem;
}

bool FileSender::WriteAll(const FileSendJob& job, const unsigned char* bytes, std::size_t count,
                          FileSendOutcome& outcome) {
    auto lastTaken = Clock::now();
    std::size_t done = 0;
    while (done < count) {
        if (StopAsked(outcome)) return false;
        DWORD written = 0;
        const BOOL ok = WriteFile(job.port, bytes + done, DWORD(count - done), &written, nullptr);
        const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        done += written;
        outcome.sent += written;
        sent_.fetch_add(written, std::memory_order_relaxed);
        if (written > 0) lastTaken = Clock::now();
        if (ok) continue;
        if (error != ERROR_SEM_TIMEOUT) {
            outcome.stopped = DeviceReason(error);
            return false;
        }
        if (Clock::now() - lastTaken >= job.stallAfter) {
            outcome.stopped = "the line stopped taking bytes";
            return false;
        }
    }
    return true;
}

bool FileSender::WritePiece(const FileSendJob& job, const unsigned char* bytes, std::size_t count, bool lineEnd,
                            FileSendOutcome& outcome) {
    const FilePacing& pacing = job.pacing;
    const std::chrono::milliseconds byteDelay{pacing.byteDelayMs};
    if (lineEnd && !pacing.reply.empty()) {
        std::lock_guard lock(mutex_);
        seen_.clear();
        replied_ = false;
        armed_ = true;
    }
    for (std::size_t at = 0; at < count;) {
        const std::size_t n = byteDelay.count() > 0 ? 1 : count;
        if (!WriteAll(job, bytes + at, n, outcome)) return false;
        at += n;
        // The last byte of a line end waits below, with the line's own pause.
        if (byteDelay.count() > 0 && !(lineEnd && at == count) && !PauseUntil(WireEmpty(job) + byteDelay, outcome))
            return false;
    }
    if (!lineEnd) return true;
    ++outcome.lines;
    auto from = WireEmpty(job);
    if (!pacing.reply.empty()) {
        if (!AwaitReply(job, from, outcome)) return false;
        from = std::max(from, Clock::now());
    }
    const auto pause = byteDelay + std::chrono::milliseconds{pacing.lineDelayMs};
    return pause.count() == 0 || PauseUntil(from + pause, outcome);
}

// When what the driver still holds will have left the wire.
Clock::time_point FileSender::WireEmpty(const FileSendJob& job) const {
    const auto now = Clock::now();
    COMSTAT queued;
    if (job.byteTime.count() == 0 || !ClearCommError(job.port, nullptr, &queued)) return now;
    return now + job.byteTime * queued.cbOutQue;
}

bool FileSender::PauseUntil(Clock::time_point when, FileSendOutcome& outcome) {
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, when, [this] { return !stopReason_.empty(); });
    if (stopReason_.empty()) return true;
    outcome.stopped = stopReason_;
    return false;
}

bool FileSender::AwaitReply(const FileSendJob& job, Clock::time_point from, FileSendOutcome& outcome) {
    std::unique_lock lock(mutex_);
    const auto deadline = from + std::chrono::milliseconds{job.pacing.replyTimeoutMs};
    changed_.wait_until(lock, deadline, [this] { return replied_ || !stopReason_.empty(); });
    armed_ = false;
    if (!stopReason_.empty()) {
        outcome.stopped = stopReason_;
        return false;
    }
    if (replied_) return true;
    outcome.stopped = "no reply \"" + job.pacing.reply + "\" within " + std::to_string(job.pacing.replyTimeoutMs) +
                      " ms after line " + std::to_string(outcome.lines);
    return false;
}
