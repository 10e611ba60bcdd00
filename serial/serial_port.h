#pragma once
// What a HANDLE points at, and the registry that tells live handles from stale ones.
// Internal to the layer.

#include "dcb_termios.h"
#include "win32.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

struct SerialPort {
    SerialPort(int deviceFd, int eventFd, std::string path)
        : fd(deviceFd), wakeFd(eventFd), device(std::move(path)) {}

    const int fd;
    const int wakeFd;  // eventfd in every ReadFile poll, written by PurgeComm
    const std::string device;  // the path opened, to tell a vanished device from a hang-up

    // The line as found at open, put back by CloseHandle once we changed it.
    SavedTermios found{};
    bool weSetExclusive = false;  // TIOCEXCL was ours to drop

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

    // Raw mode goes on at the first call that configures or moves bytes, not at
    // open, so that merely looking at a port (the scan) leaves its line alone.
    // False when the line could not be read or set.
    bool EnsureRaw();
    void MarkConfigured() {
        std::lock_guard lock(rawMutex_);
        configured_ = true;
    }
    bool configured() const {
        std::lock_guard lock(rawMutex_);
        return configured_;
    }

private:
    mutable std::mutex rawMutex_;
    bool configured_ = false;
    mutable std::mutex timeoutsMutex_;
    COMMTIMEOUTS timeouts_;
};

// Why the device failed, as GetLastError reports it: gone (its path no longer
// names the device we opened), hung up, or another I/O error.
DWORD DeviceFailure(const SerialPort& port, bool hungUp);

// The port behind a handle that CreateFileA returned and CloseHandle has not yet
// closed; nullptr for anything else (nullptr, INVALID_HANDLE_VALUE, closed).
SerialPort* LivePort(HANDLE handle);
void RegisterPort(SerialPort* port);
// False when the handle was not live.
bool UnregisterPort(HANDLE handle);
