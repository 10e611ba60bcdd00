#pragma once
// Finding the ports that open, and turning the port selector's text into the path
// connect opens.

#include <string>
#include <vector>

// The two path texts, each starting as the template "\\.\COMxx" (which names no
// device) and living for the whole run.
extern char ScanPath[10];
extern char ConnectPath[10];

// Opens "\\.\COM1" to "\\.\COM98" in turn through ScanPath and returns the names
// ("COM3", "COM12") of those that opened, ascending. Each handle is closed at once.
std::vector<std::string> ScanPorts();

// Rebuilds ConnectPath from the selector's text (8-bit). Only "COM" in any letter case followed
// by one or two decimal digits names a port; any other text sets the template,
// so the connect fails rather than opening a port nobody asked for.
void BuildConnectPath(const std::string& selectorText);
