#include "serial_port.h"

#include <unordered_set>

namespace {

struct Registry {
    std::mutex mutex;
    std::unordered_set<SerialPort*> live;
};

Registry& registry() {
    static Registry r;
    return r;
}

}  // namespace

SerialPort* LivePort(HANDLE handle) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return r.live.count(handle) ? handle : nullptr;
}

void RegisterPort(SerialPort* port) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.live.insert(port);
}

bool UnregisterPort(HANDLE handle) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return r.live.erase(handle) == 1;
}
