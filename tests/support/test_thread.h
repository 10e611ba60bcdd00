#pragma once
// A helper thread of a test whose end is always waited for with a bound. Its body
// is given a stop flag and must return soon after the flag is raised (bounded
// calls, the flag looked at between them). A thread that still has not ended when
// the bound runs out is stuck in a call and still uses the test's objects, so it can
// be neither joined nor left behind: the process ends with a message instead of
// hanging.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

class TestThread {
public:
    static constexpr std::chrono::milliseconds kStopBound{10000};

    template <typename Body>
    TestThread(std::string what, Body body) : what_(std::move(what)) {
        thread_ = std::thread([this, body = std::move(body)]() mutable {
            body(static_cast<const std::atomic<bool>&>(stop_));
            std::lock_guard lock(mutex_);
            ended_ = true;
            endedChanged_.notify_all();
        });
    }
    ~TestThread() { Stop(); }
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;

    // Waits up to `bound` for the body to return by itself; true (and joined) when
    // it did. The thread goes on otherwise.
    bool Wait(std::chrono::milliseconds bound) {
        std::unique_lock lock(mutex_);
        if (!endedChanged_.wait_for(lock, bound, [this] { return ended_; })) return false;
        lock.unlock();
        if (thread_.joinable()) thread_.join();
        return true;
    }

    // Raises the stop flag and waits for the body to return.
    void Stop(std::chrono::milliseconds bound = kStopBound) {
        stop_ = true;
        if (Wait(bound)) return;
        std::fflush(stdout);
        std::fprintf(stderr, "FATAL: %s did not end within %lld ms of being told to stop\n", what_.c_str(),
                     static_cast<long long>(bound.count()));
        std::fflush(stderr);
        std::_Exit(1);
    }

private:
    std::string what_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable endedChanged_;
    bool ended_ = false;
    std::thread thread_;
};
