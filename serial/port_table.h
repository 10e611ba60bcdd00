#pragma once
// The one fixed map from port numbers to Linux devices. CreateFileA consults only
// this, so no text from the user ever reaches open() directly.
//
//   COM1-COM32   /dev/ttyS0-/dev/ttyS31
//   COM33-COM64  /dev/ttyUSB0-/dev/ttyUSB31
//   COM65-COM80  /dev/ttyACM0-/dev/ttyACM15
//   COM81-COM88  /dev/ttyAMA0-/dev/ttyAMA7
//   COM89-COM98  /dev/rfcomm0-/dev/rfcomm9

#include <optional>
#include <string>

constexpr int kFirstPort = 1;
constexpr int kLastPort = 98;

// The device for port n, or nothing when n is outside the table.
std::optional<std::string> DeviceForPort(int n);

// The port number a "\\.\COMn" path names: "\\.\COM" followed by one or two decimal
// digits and nothing else. Anything else names no port.
std::optional<int> PortFromPath(const char* path);

// Test seam: point port n at another device (a pseudo-terminal); an empty device
// removes the override. With only-overridden on, ports without an override map to
// nothing, so a test sees exactly the ports it made. ClearPortOverrides restores
// the table. The shipped program never calls these. Safe from any thread.
void OverridePortDevice(int n, const std::string& device);
void UseOnlyOverriddenPorts(bool only);
void ClearPortOverrides();
