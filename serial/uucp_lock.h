#pragma once
// UUCP lock files (/var/lock/LCK..ttyUSB0): how other programs say a port is in use.
// The layer only reads them, never writes one.

#include <cstddef>
#include <optional>
#include <span>
#include <string>

// How much of a lock file is read: the ASCII form is 11 bytes ("%10d\n"), some
// writers append a program and user name.
constexpr std::size_t kUucpLockReadLimit = 64;

// The process id a lock file's contents name, or nothing. Accepts the ASCII form
// (optional leading blanks, decimal digits, then the end or white space) and the old
// binary form (exactly four bytes, a native int). Only ids from 1 to the kernel's
// largest possible pid count, so 0 and negatives (process groups, "everyone" to
// kill()) never come out. Pure: reads only the bytes given.
std::optional<int> ParseUucpLockPid(std::span<const unsigned char> contents);

// True when a lock file for `device` (by its base name) names a live process other
// than this one. Unreadable, unparsable or stale files do not hold the port.
bool PortLockedByLiveProcess(const std::string& device);
