#include "emergency_restore.h"

#include <atomic>
#include <cerrno>
#include <sys/ioctl.h>

namespace {

// A slot is written only between Free and Ready, by the one thread that claimed
// it, so a handler that sees Ready reads a whole record.
enum SlotState : int { kFree, kFilling, kReady, kEmptying };

struct Slot {
    std::atomic<int> state{kFree};
    std::atomic<int> fd{-1};  // read by ForgetPortForEmergency while another slot fills
    bool dropExclusive = false;
    SavedTermios found{};
};

Slot slots[kEmergencySlots];

static_assert(std::atomic<int>::is_always_lock_free, "a handler may only use lock-free atomics");

}  // namespace

bool RememberPortForEmergency(int fd, const SavedTermios& found, bool dropExclusive) {
    for (Slot& slot : slots) {
        int expected = kFree;
        if (!slot.state.compare_exchange_strong(expected, kFilling, std::memory_order_acquire))
            continue;
        slot.fd.store(fd, std::memory_order_relaxed);
        slot.dropExclusive = dropExclusive;
        slot.found = found;
        slot.state.store(kReady, std::memory_order_release);
        return true;
    }
    return false;
}

void ForgetPortForEmergency(int fd) {
    for (Slot& slot : slots) {
        int expected = kReady;
        if (slot.fd.load(std::memory_order_relaxed) != fd ||
            !slot.state.compare_exchange_strong(expected, kEmptying, std::memory_order_acquire))
            continue;
        slot.fd.store(-1, std::memory_order_relaxed);
        slot.state.store(kFree, std::memory_order_release);
        return;
    }
}

void RestoreAllPortsNow() {
    const int savedErrno = errno;
    for (Slot& slot : slots) {
        if (slot.state.load(std::memory_order_acquire) != kReady) continue;
        const int fd = slot.fd.load(std::memory_order_relaxed);
        RestoreTermios(fd, slot.found);
        if (slot.dropExclusive) {
            while (ioctl(fd, TIOCNXCL) != 0 && errno == EINTR) {
            }
        }
    }
    errno = savedErrno;
}
