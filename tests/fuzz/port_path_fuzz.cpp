// The port selector's text to the path connect opens, and that path to a device.
// Whatever the text, the path is "\\.\COM" and the text's own one or two digits
// when the text is "COM" (any case) and those digits, and the template otherwise;
// and no path that is not exactly "\\.\COM" and one or two digits names a port.
#include "ports.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

namespace {

const std::regex kPortText("[cC][oO][mM]([0-9]{1,2})");
const std::regex kPortPath(R"(\\\\\.\\COM([0-9]{1,2}))");
const std::regex kDevice("/dev/(ttyS|ttyUSB|ttyACM|ttyAMA|rfcomm)[0-9]{1,2}");

[[noreturn]] void Fail(const char* what, const std::string& input) {
    std::fprintf(stderr, "%s: input of %zu bytes \"%s\", ConnectPath \"%.10s\"\n", what,
                 input.size(), input.c_str(), ConnectPath);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    BuildConnectPath(text);
    if (std::memchr(ConnectPath, '\0', sizeof ConnectPath) == nullptr) Fail("path not ended", text);
    const std::string path(ConnectPath);
    std::smatch named;
    if (std::regex_match(text, named, kPortText)) {
        if (path != "\\\\.\\COM" + named[1].str()) Fail("wrong path for a port name", text);
        if (PortFromPath(ConnectPath) != std::stoi(named[1].str())) Fail("path names another port", text);
    } else {
        if (path != "\\\\.\\COMxx") Fail("a path built from no port name", text);
        if (PortFromPath(ConnectPath)) Fail("the template names a port", text);
    }

    // Any text at all handed to the path rule as a path.
    const std::string asPath(text.c_str());
    const auto port = PortFromPath(asPath.c_str());
    std::smatch digits;
    const bool isPortPath = std::regex_match(asPath, digits, kPortPath);
    if (port.has_value() != isPortPath) Fail("PortFromPath accepts the wrong paths", asPath);
    if (port) {
        if (*port != std::stoi(digits[1].str())) Fail("PortFromPath gives another number", asPath);
        const auto device = DeviceForPort(*port);
        if (!device && *port >= 1 && *port <= 98) Fail("a port of the table has no device", asPath);
        if (device && (*port < 1 || *port > 98 || !std::regex_match(*device, kDevice)))
            Fail("device outside the table", asPath);
    }
    return 0;
}
