#include "ports.h"

#include "port_probe.h"
#include "serial_port.h"
#include "test_seam.h"
#include "win32.h"

#include <cstring>
#include <utility>

namespace {

struct PortRange {
    int first;
    int last;
    const char* devicePrefix;  // the device number counts from 0 at `first`
};

constexpr PortRange kPortRanges[] = {
    {1, 32, "/dev/ttyS"},
    {33, 64, "/dev/ttyUSB"},
    {65, 80, "/dev/ttyACM"},
    {81, 88, "/dev/ttyAMA"},
    {89, 98, "/dev/rfcomm"},
};

constexpr char kPathTemplate[10] = "\\\\.\\COMxx";
constexpr std::string_view kPathPrefix = "\\\\.\\COM";
constexpr int kFirstDigit = 7;

bool SameLetters(std::string_view text, std::string_view prefix) {
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if ((text[i] | 0x20) != (prefix[i] | 0x20)) return false;
    return true;
}

// The one rule for a port name: `prefix` (letter case aside where asked), then
// one or two decimal digits, then the end.
std::optional<int> PortNumberAfter(std::string_view text, std::string_view prefix, bool anyCase) {
    if (text.size() <= prefix.size() || text.size() > prefix.size() + 2) return std::nullopt;
    if (anyCase ? !SameLetters(text, prefix) : text.substr(0, prefix.size()) != prefix)
        return std::nullopt;
    int n = 0;
    for (char c : text.substr(prefix.size())) {
        if (!IsDecimalDigit(static_cast<unsigned char>(c))) return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return n;
}

// Writes n (1-99) over the placeholders, ending the text after its last digit.
void WritePortNumber(char* path, int n) {
    if (n < 10) {
        path[kFirstDigit] = static_cast<char>('0' + n);
        path[kFirstDigit + 1] = '\0';
    } else {
        path[kFirstDigit] = static_cast<char>('0' + n / 10);
        path[kFirstDigit + 1] = static_cast<char>('0' + n % 10);
        path[kFirstDigit + 2] = '\0';
    }
}

}  // namespace

char ScanPath[10] = "\\\\.\\COMxx";
char ConnectPath[10] = "\\\\.\\COMxx";

std::optional<std::string> DeviceForPort(int n) {
    if (n < kFirstPort || n > kLastPort) return std::nullopt;
    if (PortOverride o = OverriddenDevice(n); o.overridden) return o.device;
    for (const auto& range : kPortRanges)
        if (n >= range.first && n <= range.last)
            return range.devicePrefix + std::to_string(n - range.first);
    return std::nullopt;
}

std::optional<int> PortFromPath(const char* path) {
    if (!path) return std::nullopt;
    // Never reads past what a port path can hold, whatever the caller passed.
    const std::string_view text(path, strnlen(path, kPathPrefix.size() + 3));
    return PortNumberAfter(text, kPathPrefix, false);
}

std::vector<std::string> ScanPorts() {
    std::vector<int> numbers;
    std::vector<std::string> devices;
    for (int n = kFirstPort; n <= kLastPort; ++n) {
        if (auto device = DeviceForPort(n)) {
            numbers.push_back(n);
            devices.push_back(std::move(*device));
        }
    }
    const std::vector<DWORD> verdicts = ProbePorts(devices);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        if (verdicts[i] != ERROR_SUCCESS) continue;
        WritePortNumber(ScanPath, numbers[i]);
        names.emplace_back(ScanPath + 4);
    }
    return names;
}

void BuildConnectPath(const std::string& selectorText) {
    std::memcpy(ConnectPath, kPathTemplate, sizeof kPathTemplate);
    if (!PortNumberAfter(selectorText, "COM", true)) return;
    ConnectPath[kFirstDigit] = selectorText[3];
    ConnectPath[kFirstDigit + 1] = selectorText.size() == 5 ? selectorText[4] : '\0';
    ConnectPath[kFirstDigit + 2] = '\0';
}
