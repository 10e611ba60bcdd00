#include "lab.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <map>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const char* TracePath() { return std::getenv("MORREL_LAB_TRACE"); }

int Remaining(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

int OpenQuietly(const char* device) {
    const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error(std::string("cannot open ") + device);
    return fd;
}

// A monitor command that plugs the adapter in or out (its answer, up to the next
// prompt, is dropped); then waits until the device node is there or gone, in short
// steps, as nothing tells when.
bool PlugAdapter(const std::string& command, bool in) {
    Peer& monitor = Peer::Of(LabPort{"monitor", nullptr, nullptr, "peer.monitor", false, 0});
    monitor.Drain();
    monitor.Write(command + "\n");
    monitor.ReadUntil("(qemu) ", 5000);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while ((access(kFtdi.device, F_OK) == 0) != in) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace

bool InLab() { return TracePath() != nullptr; }

Peer& Peer::Of(const LabPort& port) {
    static std::map<std::string, Peer> peers;
    auto found = peers.find(port.peer);
    if (found == peers.end()) {
        const std::string path = std::string("/dev/virtio-ports/") + port.peer;
        found = peers.emplace(port.peer, Peer(OpenQuietly(path.c_str()))).first;
    }
    return found->second;
}

bool Peer::Write(const std::string& bytes, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        pollfd p{fd_, POLLOUT, 0};
        if (Remaining(deadline) == 0 || poll(&p, 1, Remaining(deadline)) <= 0) return false;
    }
    return true;
}

std::string Peer::Read(std::size_t count, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string got;
    char buffer[4096];
    while (got.size() < count) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, Remaining(deadline)) <= 0) break;
        const ssize_t n = read(fd_, buffer, std::min(sizeof buffer, count - got.size()));
        if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

std::string Peer::ReadUntil(const std::string& tail, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string got;
    char buffer[65536];
    for (pollfd p{fd_, POLLIN, 0}; !got.ends_with(tail) && poll(&p, 1, Remaining(deadline)) > 0;) {
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

void Peer::Drain() {
    while (!Read(4096, 100).empty()) {
    }
}

std::ostream& operator<<(std::ostream& out, const Chip& chip) {
    return out << chip.baud << ' ' << chip.dataBits << chip.parity << chip.stopBits << " rts " << chip.rts
               << " dtr " << chip.dtr;
}

std::string Trace::Since(std::size_t mark) {
    std::ifstream in(TracePath(), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(mark));
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::size_t Trace::Mark() { return Since(0).size(); }

Chip Trace::ChipOf(const LabPort& port, std::size_t mark) {
    Chip chip;
    std::istringstream lines(Since(mark));
    std::string line;
    unsigned value = 0;
    unsigned long long rate = 0;
    char parity = 0;
    int data = 0, stop = 0;
    while (std::getline(lines, line)) {
        const char* text = line.c_str();
        if (!port.usb && std::sscanf(text, "serial_update_parameters baudrate=%llu parity='%c' data=%d stop=%d",
                                     &rate, &parity, &data, &stop) == 4) {
            chip.baud = static_cast<unsigned>(rate);
            std::tie(chip.parity, chip.dataBits, chip.stopBits) = std::tuple(parity, data, stop);
        } else if (!port.usb && std::sscanf(text, "serial_write write addr 0x04 val 0x%x", &value) == 1) {
            // The 16550's modem control register: DTR is bit 0, RTS bit 1.
            chip.dtr = (value & 1) != 0;
            chip.rts = (value & 2) != 0;
        } else if (port.usb && std::sscanf(text, "usb_serial_set_baud dev %*d:%*d baud rate %u", &value) == 1) {
            chip.baud = value;
        } else if (port.usb && std::sscanf(text, "usb_serial_set_data dev %*d:%*d parity %c, data bits %d, stop bits %d",
                                           &parity, &data, &stop) == 3) {
            std::tie(chip.parity, chip.dataBits, chip.stopBits) = std::tuple(parity, data, stop);
        } else if (port.usb && std::sscanf(text, "usb_serial_handle_control dev %*d:%*d got control 0x4001, value 0x%x",
                                           &value) == 1) {
            // FTDI modem control: the high byte says which lines, the low byte their levels.
            if (value & 0x100) chip.dtr = (value & 1) != 0;
            if (value & 0x200) chip.rts = (value & 2) != 0;
        }
    }
    return chip;
}

bool Unplug() { return PlugAdapter("device_del ftdi", false); }

bool Replug() { return PlugAdapter("device_add usb-serial,id=ftdi,chardev=ftdi", true); }

termios TermiosOf(const LabPort& port) {
    const int fd = OpenQuietly(port.device);
    termios settings{};
    tcgetattr(fd, &settings);
    close(fd);
    return settings;
}

::testing::AssertionResult GetsAfterOpenEcho(const LabPort& port, const std::string& tail,
                                             const std::string& echoable) {
    std::string got = Peer::Of(port).ReadUntil(tail, 20000);
    if (!got.ends_with(tail)) return ::testing::AssertionFailure() << "got " << ::testing::PrintToString(got);
    got.resize(got.size() - tail.size());
    if (!got.empty()) std::cout << "lab: " << got.size() << " bytes echoed during open() on " << port.name << "\n";
    if (got.find_first_not_of(echoable) != std::string::npos)
        return ::testing::AssertionFailure() << "echoed " << ::testing::PrintToString(got);
    return ::testing::AssertionSuccess();
}
