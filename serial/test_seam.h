#pragma once
// The one place where tests reach into the layer: which device a port number
// opens, where UUCP lock files are looked for, where /sys and /proc are, and how RTS and DTR are set (a
// pseudo-terminal has no modem lines, so tests watch what the layer asks for).
// The shipped program never calls the setters. Safe from any thread.

#include <functional>
#include <optional>
#include <string>
#include <vector>

// Points port n at another device (a pseudo-terminal); an empty device removes
// the override. With only-overridden on, ports without an override map to
// nothing, so a test sees exactly the ports it made. ClearPortOverrides restores
// the table.
void OverridePortDevice(int n, const std::string& device);
void UseOnlyOverriddenPorts(bool only);
void ClearPortOverrides();

// Looks for lock files in `directories` instead of /var/lock and /run/lock;
// Restore puts the real ones back.
void OverrideUucpLockDirectories(std::vector<std::string> directories);
void RestoreUucpLockDirectories();

// Reads what the kernel says about devices, locks and open files under `sys` and
// `proc` instead of /sys and /proc (a fake tree); Restore puts the real ones back.
void OverrideSystemRoots(std::string sys, std::string proc);
void RestoreSystemRoots();

enum class ModemLine { Rts, Dtr };
// Raises or drops one modem line on the open descriptor fd.
using ModemLineSetter = std::function<bool(int fd, ModemLine line, bool on)>;
// Replaces the setter (nullptr restores the default: TIOCMBIS/TIOCMBIC, with
// ENOTTY/EINVAL from a pseudo-terminal taken as success).
void SetModemLineSetter(ModemLineSetter setter);

// Moments a test may watch, and hold: the observer runs on the thread that calls
// the layer, inside the call, and may block it. Opened: CreateFileA has the device
// open (for use, with its output held) and the line still as found. Looking:
// CreateFileA begins, before it looks at the device (one look for a lost port).
enum class LayerEvent { ReadBegins, ReadEnds, Closing, Opened, Looking };
using LayerObserver = std::function<void(LayerEvent)>;
void SetLayerObserver(LayerObserver observer);  // nullptr removes it

// What the layer asks of the seam.
struct PortOverride {
    bool overridden = false;  // when false, the fixed table decides
    std::optional<std::string> device;
};
PortOverride OverriddenDevice(int n);
std::vector<std::string> UucpLockDirectories();
std::string SysfsRoot();
std::string ProcRoot();
ModemLineSetter ReplacedModemLineSetter();
void NotifyLayer(LayerEvent event);
