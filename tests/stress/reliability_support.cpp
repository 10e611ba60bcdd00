#include "reliability_support.h"

#include <QTest>
#include <QThreadPool>
#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

int CountEntries(const char* directory) {
    DIR* dir = opendir(directory);
    if (!dir) return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    return count;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// "0x%x " pieces, one to ten of them, and nothing else.
bool ParseHexLine(std::string_view data, std::string& out) {
    std::size_t pieces = 0;
    while (!data.empty()) {
        if (data.size() < 4 || data[0] != '0' || data[1] != 'x') return false;
        int value = HexDigit(data[2]);
        std::size_t length = 3;
        if (value < 0) return false;
        if (data[3] != ' ') {
            const int low = HexDigit(data[3]);
            if (low < 0 || value == 0 || data.size() < 5 || data[4] != ' ') return false;
            value = value * 16 + low;
            length = 4;
        }
        out += static_cast<char>(value);
        data.remove_prefix(length + 1);
        ++pieces;
    }
    return pieces >= 1 && pieces <= 10;
}

Holdings CountHoldings() {
    // Qt's pool workers come and go as Qt pleases, each with an event dispatcher's
    // descriptor; waitForDone() lets them all go first.
    QThreadPool::globalInstance()->waitForDone();
    // opendir's own descriptor is among the entries it lists.
    return {CountEntries("/proc/self/fd") - 1, CountEntries("/proc/self/task")};
}

}  // namespace

// A QThread that wait() has seen finish may still be leaving the kernel (Qt's
// threads are detached), so the counts are read until they reach what is expected,
// or without an expectation, until they have held still for 200 ms.
Holdings CurrentHoldings(const Holdings* expected) {
    Holdings now = CountHoldings();
    int still = 0;
    static_cast<void>(QTest::qWaitFor(
        [&] {
            const Holdings previous = now;
            QTest::qWait(20);
            now = CountHoldings();
            still = now == previous ? still + 1 : 0;
            return expected ? now == *expected : still >= 10;
        },
        3000));
    return now;
}

double ProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

SequenceFeeder::SequenceFeeder(int leaderFd) : fd_(leaderFd) {
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

SequenceFeeder::~SequenceFeeder() { Stop(); }

void SequenceFeeder::Start(std::size_t count, std::size_t piece, std::chrono::microseconds pause) {
    Stop();
    thread_ = std::make_unique<TestThread>(
        "the sequence feeder", [=, this](const std::atomic<bool>& stop) { Run(count, piece, pause, stop); });
}

std::size_t SequenceFeeder::Stop() {
    thread_.reset();  // raises the stop flag and waits, with a bound
    return written_;
}

std::size_t SequenceFeeder::Finish(std::chrono::milliseconds bound) {
    if (thread_ && !thread_->Wait(bound))
        ADD_FAILURE() << "the pty took only " << written_ << " bytes of the sequence in " << bound.count()
                      << " ms: nobody reads the other side";
    return Stop();
}

void SequenceFeeder::Run(std::size_t count, std::size_t piece, std::chrono::microseconds pause,
                         const std::atomic<bool>& stop) {
    std::string buffer;
    std::size_t left = count;
    while (left > 0 && !stop) {
        const std::size_t start = written_;
        buffer.clear();
        for (std::size_t i = 0; i < std::min(left, piece); ++i) buffer += static_cast<char>(SequenceByte(start + i));
        const ssize_t n = write(fd_, buffer.data(), buffer.size());
        if (n > 0) {
            written_ += static_cast<std::size_t>(n);
            left -= static_cast<std::size_t>(n);
            if (pause.count() > 0) std::this_thread::sleep_for(pause);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd_, POLLOUT, 0};
            poll(&p, 1, 10);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;  // the pty is gone
        }
    }
}

void HistoryFollower::Poll() {
    const HistoryStore& store = view_.store();
    // The last line is the open one the next append extends.
    const qsizetype complete = store.lineCount() - 1;
    for (; nextLine_ < complete; ++nextLine_) {
        const std::string_view line = store.lineText(nextLine_);
        constexpr std::string_view prefix = "received:";
        if (line.substr(0, prefix.size()) == prefix) {
            if (!ParseHexLine(line.substr(prefix.size()), received)) broken.emplace_back(line);
        } else {
            records.emplace_back(line);
        }
    }
}

bool WaitForReceived(HistoryFollower& follower, std::size_t count, int timeoutMs) {
    return QTest::qWaitFor(
        [&] {
            follower.Poll();
            return follower.received.size() >= count;
        },
        timeoutMs);
}

std::size_t FirstSequenceMismatch(const std::string& received, std::size_t from) {
    for (std::size_t i = 0; i < received.size(); ++i)
        if (static_cast<unsigned char>(received[i]) != SequenceByte(from + i)) return i;
    return std::string::npos;
}
