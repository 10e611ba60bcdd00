#pragma once
// Stands in for fdatasync: counts the calls, holds them while stalled (10 s at
// most, so that no test can hang on it), and fails them when told an errno.
// Syncs of a folder are counted apart as well.

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

struct SyncSeam {
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    int folders = 0;
    int inside = 0;
    bool stalled = false;
    int error = 0;

    int sync(int fd) {
        int fails = 0;
        {
            std::unique_lock lock(mutex);
            ++calls;
            struct stat st {};
            if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) ++folders;
            ++inside;
            changed.notify_all();
            changed.wait_for(lock, std::chrono::seconds(10), [this] { return !stalled; });
            --inside;
            fails = error;
        }
        errno = fails;
        return fails != 0 ? -1 : ::fdatasync(fd);
    }
    void stall(bool on) {
        std::lock_guard lock(mutex);
        stalled = on;
        changed.notify_all();
    }
    int count() {
        std::lock_guard lock(mutex);
        return calls;
    }
    template <class Done>
    bool waitFor(Done done, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, bound, done);
    }
};
