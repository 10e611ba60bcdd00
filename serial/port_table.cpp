#include "port_table.h"

#include <cstring>
#include <map>
#include <mutex>

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

constexpr char kPathPrefix[] = "\\\\.\\COM";

struct Overrides {
    std::mutex mutex;
    std::map<int, std::string> devices;
    bool onlyOverridden = false;
};

Overrides& overrides() {
    static Overrides o;
    return o;
}

bool InTable(int n) { return n >= kFirstPort && n <= kLastPort; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<std::string> DeviceForPort(int n) {
    if (!InTable(n)) return std::nullopt;
    {
        Overrides& o = overrides();
        std::lock_guard lock(o.mutex);
        if (auto it = o.devices.find(n); it != o.devices.end()) return it->second;
        if (o.onlyOverridden) return std::nullopt;
    }
    for (const auto& range : kPortRanges)
        if (n >= range.first && n <= range.last)
            return range.devicePrefix + std::to_string(n - range.first);
    return std::nullopt;
}

std::optional<int> PortFromPath(const char* path) {
    if (!path) return std::nullopt;
    const std::size_t prefixLength = sizeof kPathPrefix - 1;
    if (std::strncmp(path, kPathPrefix, prefixLength) != 0) return std::nullopt;
    const char* digits = path + prefixLength;
    // strncmp stopped at no NUL before here, so digits[0] is readable; each later
    // index is read only after the previous one was a digit.
    if (!IsDigit(digits[0])) return std::nullopt;
    int n = digits[0] - '0';
    if (IsDigit(digits[1])) {
        n = n * 10 + (digits[1] - '0');
        if (digits[2] != '\0') return std::nullopt;
    } else if (digits[1] != '\0') {
        return std::nullopt;
    }
    return n;
}

void OverridePortDevice(int n, const std::string& device) {
    if (!InTable(n)) return;
    Overrides& o = overrides();
    std::lock_guard lock(o.mutex);
    if (device.empty())
        o.devices.erase(n);
    else
        o.devices[n] = device;
}

void UseOnlyOverriddenPorts(bool only) {
    Overrides& o = overrides();
    std::lock_guard lock(o.mutex);
    o.onlyOverridden = only;
}

void ClearPortOverrides() {
    Overrides& o = overrides();
    std::lock_guard lock(o.mutex);
    o.devices.clear();
    o.onlyOverridden = false;
}
