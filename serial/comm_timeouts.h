#pragma once
// The Win32 time-out rules turned into spans, as pure functions.

#include "win32.h"

#include <cstdint>
#include <optional>

struct ReadPlan {
    std::optional<std::int64_t> totalNs;     // none: no total time-out
    std::optional<std::int64_t> intervalNs;  // none: no time-out between bytes
    bool returnOnAnyData = false;            // done as soon as any byte is in hand
};

// total = multiplier * count + constant (none when both are 0); interval as given
// (none when 0). MAXDWORD/0/0 returns at once with what is there; MAXDWORD/MAXDWORD/c
// waits up to c for the first byte and returns with it.
ReadPlan PlanRead(const COMMTIMEOUTS& timeouts, DWORD count);

// multiplier * count + constant, none when both are 0.
std::optional<std::int64_t> WriteTimeoutNs(const COMMTIMEOUTS& timeouts, DWORD count);
