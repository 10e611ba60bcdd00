#pragma once
// What a HANDLE points at, and the registry that tells live handles from stale ones.
// Internal to the layer.

#include "dcb_termios.h"
#include "win32.h"

#include <atomic>
#include <cstdint>
#include <mutex>

struct SerialPort {
    SerialPort(int deviceFd, int eventFd) : fd(deviceFd), wakeFd(eventFd) {}

    const int fd;
    const int wakeFd;  // eventfd in every ReadFile poll, written by PurgeComm

    // Bumped by PURGE_RXABORT. A read aborts only when it changed since the read
    // began, so a wake-up left over from an earlier purge cannot end a later read.
    std::atomic<std::uint64_t> abortGeneration{0};

    // RTS and DTR as last set, for devices that cannot report them. Touched only by
    // GetCommState/SetCommState, which belong to one thread.
    ModemLevels levels;

    // The reader may be inside ReadFile while the other thread sets time-outs.
    COMMTIMEOUTS timeouts() const {
        std::lock_guard lock(timeoutsMutex_);
        return timeouts_;
    }
    void setTimeouts(const COMMTIMEOUTS& t) {
        std::lock_guard lock(timeoutsMutex_);
        timeouts_ = t;
    }

private:
    mutable std::mutex timeoutsMutex_;
    COMMTIMEOUTS timeouts_;
};

// The port behind a handle that CreateFileA returned and CloseHandle has not yet
// closed; nullptr for anything else (nullptr, INVALID_HANDLE_VALUE, closed).
SerialPort* LivePort(HANDLE handle);
void RegisterPort(SerialPort* port);
// False when the handle was not live.
bool UnregisterPort(HANDLE handle);
