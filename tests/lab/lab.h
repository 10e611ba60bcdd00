#pragma once
// What the lab's tests share inside the guest (tests/lab/run): the two ports under
// test, the far end of each line, the QEMU monitor, and QEMU's trace of what the
// drivers programmed into the chips.

#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <termios.h>

// One port under test.
struct LabPort {
    const char* name;    // "COM1"
    const char* path;    // "\\.\COM1"
    const char* device;  // "/dev/ttyS0"
    const char* peer;    // the far end of its line, under /dev/virtio-ports
    bool usb;            // the FTDI adapter (its trace and its limits differ)
    unsigned maxRate;    // the highest rate its driver accepts
};

inline constexpr LabPort kUart{"COM1", "\\\\.\\COM1", "/dev/ttyS0", "peer.uart", false, 115200};
inline constexpr LabPort kFtdi{"COM33", "\\\\.\\COM33", "/dev/ttyUSB0", "peer.ftdi", true, 3000000};

// Readable test names: "COM1".
inline void PrintTo(const LabPort& port, std::ostream* out) { *out << port.name; }

// True inside the lab's guest; tests skip elsewhere.
bool InLab();

// The far end of a port's line: what the device sends and receives. Open for
// the whole run, so nothing the device sent between tests is kept back by QEMU.
class Peer {
public:
    static Peer& Of(const LabPort& port);
    // Writes all of `bytes` within `timeoutMs`; false when the line would not take them.
    bool Write(const std::string& bytes, int timeoutMs = 10000);
    // Reads until `count` bytes came or `timeoutMs` passed.
    std::string Read(std::size_t count, int timeoutMs);
    // Reads until all that came ends with `tail` or the time is up; for `tail` as
    // the last thing the other side sends.
    std::string ReadUntil(const std::string& tail, int timeoutMs);
    // Throws away what is waiting: leftovers of an earlier test.
    void Drain();

private:
    explicit Peer(int fd) : fd_(fd) {}
    int fd_;
};

// What the chip was last set to, as QEMU saw it.
struct Chip {
    unsigned baud = 0;
    char parity = '?';  // N O E; the 16550 model shows mark as O and space as E
    int dataBits = 0;
    int stopBits = 0;   // 2 also for 1.5 (the 16550 with 5 data bits)
    int rts = -1, dtr = -1;  // modem lines; -1 never set
    bool operator==(const Chip&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Chip& chip);

// QEMU's trace of chip settings, read from the results share.
namespace Trace {
// Where the trace ends now: later events come after this.
std::size_t Mark();
// The trace's lines after `mark`.
std::string Since(std::size_t mark);
// The chip of `port` as the events after `mark` set it.
Chip ChipOf(const LabPort& port, std::size_t mark = 0);
}  // namespace Trace

// The QEMU monitor: a real unplug and replug of the FTDI adapter. Each returns
// once the device node is gone or back (false when that took too long).
bool Unplug();
bool Replug();

// The port's termios as the kernel holds it now, read through a descriptor of
// our own. Mind that every open of a tty raises RTS and DTR.
termios TermiosOf(const LabPort& port);

// A port with the kernel's cooked defaults echoes what arrives while open() runs,
// before any program can make it raw (ftdi_sio's open takes several USB control
// transfers). Reads until the device got `tail`; what came before it can only be
// that echo of what the device had queued, so only characters in `echoable`. Its
// size is printed, so that the log counts it.
::testing::AssertionResult GetsAfterOpenEcho(const LabPort& port, const std::string& tail,
                                             const std::string& echoable);
