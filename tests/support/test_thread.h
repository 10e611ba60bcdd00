#pragma once
// A helper thread of a test whose end is always waited for with a bound. Its body
// is given a stop flag and must return soon after the flag is raised (bounded
// calls, the flag looked at between them). A thread that still has not ended when
// the bound runs out is stuck in a call and still uses the test's objects, so it can
// be neither joined nor left behind: the process ends with a message instead of
// hanging.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <utility>

class TestThread {
public:
    static constexpr std::chrono::milliseconds kStopBound{10000};

    template <typename Body>
    TestThread(std::string what, Body body)
        : what_(std::move(what)),
          ended_(std::async(std::launch::async, [this, body = std::move(body)]() mutable { body(stop_); })) {}
    ~TestThread() { Stop(); }
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;

    // Waits up to `bound` for the body to return by itself; true when it did. The
    // thread goes on otherwise.
    bool Wait(std::chrono::milliseconds bound) { return ended_.wait_for(bound) == std::future_status::ready; }

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
    std::future<void> ended_;  // after stop_: the body may look at the flag at once
};

// Looks at `done` every millisecond until it holds or `bound` passed; whether it held.
template <typename Done>
bool WaitUntil(Done done, std::chrono::milliseconds bound = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done())
        if (std::chrono::steady_clock::now() >= deadline) return false;
        else std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}
