#pragma once
// Whether a port would open, found out without opening it. Every open() of a
// terminal raises DTR and RTS (many boards reset on DTR) and meets a talking
// device with the kernel's cooked defaults (its bytes are echoed back), so the
// port scan asks only the kernel: the device node, sysfs and /proc. CreateFileA
// asks the same before it opens, so that a port another program holds is never
// touched.

#include "win32.h"

#include <string>
#include <vector>

// For each device, what keeps it from opening, in GetLastError's terms;
// ERROR_SUCCESS when nothing we can see does:
// - ERROR_FILE_NOT_FOUND: no terminal there (no node, not a character device, a
//   device /proc/tty/drivers does not list), or a UART the kernel found absent
//   (sysfs "type" 0);
// - ERROR_ACCESS_DENIED: we may not both read and write it;
// - ERROR_SHARING_VIOLATION: another program holds it: a UUCP lock file names a
//   live process, /proc/locks lists a lock on its node (ours too: a second handle
//   would be refused), or another process has it open, as far as /proc/PID/fd is
//   readable to us (this process does not count).
// A port held where we cannot look (another user's program that set TIOCEXCL)
// looks free. /proc is read once for all the devices.
std::vector<DWORD> ProbePorts(const std::vector<std::string>& devices);
DWORD ProbePort(const std::string& device);
