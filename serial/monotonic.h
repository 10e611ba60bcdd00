#pragma once
// Deadlines in nanoseconds on CLOCK_MONOTONIC, immune to clock changes.

#include <cstdint>
#include <limits>
#include <time.h>

constexpr std::int64_t kNsPerMs = 1'000'000;
constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

inline std::int64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

// start + span, held at kNever instead of wrapping.
inline std::int64_t DeadlineAfter(std::int64_t start, std::int64_t span) {
    return span >= kNever - start ? kNever : start + span;
}

// What is left until `deadline`, for ppoll: nullptr (wait forever) for kNever.
inline const timespec* TimeLeft(std::int64_t deadline, timespec* storage) {
    if (deadline == kNever) return nullptr;
    std::int64_t left = deadline - MonotonicNs();
    if (left < 0) left = 0;
    storage->tv_sec = left / 1'000'000'000;
    storage->tv_nsec = left % 1'000'000'000;
    return storage;
}
