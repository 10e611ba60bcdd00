#include "comm_timeouts.h"

#include "monotonic.h"
#include "serial_port.h"

namespace {

// Up to (2^32-1)^2 + 2^32-1 milliseconds: far past what nanoseconds in 64 bits
// hold, and far past any wait that matters, so it is held at kNever.
std::optional<std::int64_t> TotalNs(DWORD multiplier, DWORD constant, DWORD count) {
    if (multiplier == 0 && constant == 0) return std::nullopt;
    const unsigned __int128 ms = static_cast<unsigned __int128>(multiplier) * count + constant;
    if (ms >= static_cast<unsigned __int128>(kNever / kNsPerMs)) return kNever;
    return static_cast<std::int64_t>(ms) * kNsPerMs;
}

}  // namespace

ReadPlan PlanRead(const COMMTIMEOUTS& t, DWORD count) {
    ReadPlan plan;
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
        plan.totalNs = 0;
        plan.returnOnAnyData = true;
        return plan;
    }
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
        t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD) {
        plan.totalNs = std::int64_t{t.ReadTotalTimeoutConstant} * kNsPerMs;
        plan.returnOnAnyData = true;
        return plan;
    }
    plan.totalNs = TotalNs(t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant, count);
    if (t.ReadIntervalTimeout != 0) plan.intervalNs = std::int64_t{t.ReadIntervalTimeout} * kNsPerMs;
    return plan;
}

std::optional<std::int64_t> WriteTimeoutNs(const COMMTIMEOUTS& t, DWORD count) {
    return TotalNs(t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant, count);
}

BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    SerialPort* port = LivePort(handle);
    if (!port || !timeouts) return FALSE;
    *timeouts = port->timeouts();
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS* timeouts) {
    SerialPort* port = LivePort(handle);
    if (!port || !timeouts) return FALSE;
    port->setTimeouts(*timeouts);
    return TRUE;
}
