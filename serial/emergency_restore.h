#pragma once
// For an end that cannot wait (a second signal, the display gone): every open,
// configured port's line settings as found, kept where a signal handler reaches
// them without a lock or an allocation, so even an abrupt end leaves no port raw.
//
// CreateFileA remembers a port it configured, CloseHandle forgets it once its
// settings are back; both may run on any thread. RestoreAllPortsNow may run in a
// signal handler, also while one of the others is under way on the same thread.

#include "termios2_io.h"

constexpr int kEmergencySlots = 8;

// Remembers descriptor `fd` with its settings as found; `dropExclusive` when we
// set TIOCEXCL on it. False when every slot is taken: the port works all the
// same, but an abrupt end would leave it as it then is.
bool RememberPortForEmergency(int fd, const SavedTermios& found, bool dropExclusive);
// Before `fd` is closed: an abrupt end no longer touches it.
void ForgetPortForEmergency(int fd);
// Async-signal-safe: puts every remembered port's settings back as found and
// drops the exclusive hold we set; nothing but ioctl calls.
void RestoreAllPortsNow();
