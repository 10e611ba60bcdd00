#include "test_seam.h"

#include <atomic>
#include <map>
#include <mutex>
#include <utility>

namespace {

struct Seam {
    std::mutex mutex;
    std::map<int, std::string> devices;
    bool onlyOverridden = false;
    std::optional<std::vector<std::string>> lockDirectories;
    std::optional<std::pair<std::string, std::string>> systemRoots;  // sys, proc
    ModemLineSetter modemLineSetter;
    LayerObserver observer;
    std::atomic<bool> observed{false};  // spares every read the lock when nobody watches
};

Seam& seam() {
    static Seam s;
    return s;
}

}  // namespace

void OverridePortDevice(int n, const std::string& device) {
    Seam& s = seam();
    std::lock_guard lock(s.mutex);
    if (device.empty())
        s.devices.erase(n);
    else
        s.devices[n] = device;
}

void UseOnlyOverriddenPorts(bool only) {
    Seam& s = seam();
    std::lock_guard lock(s.mutex);
    s.onlyOverridden = only;
}

void ClearPortOverrides() {
    Seam& s = seam();
    std::lock_guard lock(s.mutex);
    s.devices.clear();
    s.onlyOverridden = false;
}

PortOverride OverriddenDevice(int n) {
    Seam& s = seam();
    std::lock_guard lock(s.mutex);
    if (auto it = s.devices.find(n); it != s.devices.end()) return {true, it->second};
    if (s.onlyOverridden) return {true, std::nullopt};
    return {};
}

void OverrideUucpLockDirectories(std::vector<std::string> directories) {
    Seam& s = seam();
    std::lock_guard lock(s.mutex);
    s.lockDirectories = std::move(directories);
}

void RestoreUucpLockDirectories() {
    Seam& s = seam();
    std::lock_guard lock(s.mutex);
    s.lockDirectories.reset();
}

std::vector<std::string> UucpLockDirectories() {
    Seam& s = seam();
    std::lock_guard lock(s.mutex);
    if (s.lockDirectories) return *s.lockDirectories;
    return {"/var/lock", "/run/lock"};
}

void OverrideSystemRoots(std::string sys, std::string proc) {
    Seam& s = seam();
    std::lock_guard lock(s.mutex);
    s.systemRoots.emplace(std::move(sys), std::move(proc));
}

void RestoreSystemRoots() {
    Seam& s = seam();
    std::lock_guard lock(s.mutex);
    s.systemRoots.reset();
}

std::string SysfsRoot() {
    Seam& s = seam();
    std::lock_guard lock(s.mutex);
    return s.systemRoots ? s.systemRoots->first : "/sys";
}

std::string ProcRoot() {
    Seam& s = seam();
    std::lock_guard lock(s.mutex);
    return s.systemRoots ? s.systemRoots->second : "/proc";
}

void SetModemLineSetter(ModemLineSetter setter) {
    Seam& s = seam();
    std::lock_guard lock(s.mutex);
    s.modemLineSetter = std::move(setter);
}

ModemLineSetter ReplacedModemLineSetter() {
    Seam& s = seam();
    std::lock_guard lock(s.mutex);
    return s.modemLineSetter;
}

void SetLayerObserver(LayerObserver observer) {
    Seam& s = seam();
    std::lock_guard lock(s.mutex);
    s.observed = static_cast<bool>(observer);
    s.observer = std::move(observer);
}

void NotifyLayer(LayerEvent event) {
    Seam& s = seam();
    if (!s.observed.load(std::memory_order_acquire)) return;
    LayerObserver observer;
    {
        std::lock_guard lock(s.mutex);
        observer = s.observer;
    }
    if (observer) observer(event);
}
