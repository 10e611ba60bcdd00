#pragma once
// Port names and the one fixed map from port numbers to Linux devices.
// CreateFileA consults only this, so no text from the user ever reaches open().
//
//   COM1-COM32   /dev/ttyS0-/dev/ttyS31
//   COM33-COM64  /dev/ttyUSB0-/dev/ttyUSB31
//   COM65-COM80  /dev/ttyACM0-/dev/ttyACM15
//   COM81-COM88  /dev/ttyAMA0-/dev/ttyAMA7
//   COM89-COM98  /dev/rfcomm0-/dev/rfcomm9

#include <optional>
#include <string>
#include <string_view>
#include <vector>

constexpr int kFirstPort = 1;
constexpr int kLastPort = 98;

// The device for port n, or nothing when n is outside the table (tests may point
// a number elsewhere through test_seam.h).
std::optional<std::string> DeviceForPort(int n);

// The port number a "\\.\COMn" path names: "\\.\COM" followed by one or two decimal
// digits and nothing else. Anything else names no port.
std::optional<int> PortFromPath(const char* path);

// The two path texts, each starting as the template "\\.\COMxx" (which names no
// device) and living for the whole run.
extern char ScanPath[10];
extern char ConnectPath[10];

// The names ("COM3", "COM12"), ascending, of the ports from COM1 to COM98 that
// would open now, each written into ScanPath in turn. Found without opening any
// (port_probe.h): opening raises DTR and RTS and can echo a talking device.
std::vector<std::string> ScanPorts();

// Rebuilds ConnectPath from the selector's text (8-bit). Only "COM" in any letter
// case followed by one or two decimal digits names a port; any other text sets the
// template, so the connect fails rather than opening a port nobody asked for.
void BuildConnectPath(const std::string& selectorText);
