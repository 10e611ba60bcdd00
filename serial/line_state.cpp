// The line state: GetCommState, SetCommState and GetCommProperties, with RTS and
// DTR set through the test seam.
#include "serial_port.h"
#include "test_seam.h"

#include <climits>
#include <optional>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

bool IsPseudoTerminal(dev_t device) { return major(device) >= 136 && major(device) <= 143; }

namespace {

// Bluetooth's rfcomm.
bool IsRfcomm(dev_t device) { return major(device) == 216; }

dev_t DeviceNumber(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 ? st.st_rdev : 0;
}

// The kernel driver behind a terminal ("ftdi_sio", "serial8250"), empty when sysfs
// does not name one.
std::string DriverName(dev_t device) {
    const std::string link = "/sys/dev/char/" + std::to_string(major(device)) + ":" +
                             std::to_string(minor(device)) + "/device/driver";
    char target[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) return {};
    const std::string path(target, static_cast<std::size_t>(n));
    return path.substr(path.rfind('/') + 1);
}

bool IsFtdi(dev_t device) { return DriverName(device) == "ftdi_sio"; }

// ftdi_sio divides 3 MHz by a 14-bit divisor and lets a larger one overflow
// without a word: 110 baud would run at 275. Such a rate is refused instead.
constexpr DWORD kFtdiLowestRate = 183;

bool DriverCannotMake(dev_t device, DWORD rate) {
    return rate < kFtdiLowestRate && IsFtdi(device);
}

// The levels the driver reports, where they are the ones we set: rfcomm reports
// the remote end's signals instead.
std::optional<ModemLevels> QueryModemLevels(int fd) {
    if (IsRfcomm(DeviceNumber(fd))) return std::nullopt;
    int bits = 0;
    if (RetryOnEintr([&] { return ioctl(fd, TIOCMGET, &bits); }) != 0) return std::nullopt;
    return ModemLevels{(bits & TIOCM_RTS) != 0, (bits & TIOCM_DTR) != 0};
}

bool SetWithIoctl(int fd, ModemLine line, bool on) {
    int bit = line == ModemLine::Rts ? TIOCM_RTS : TIOCM_DTR;
    const int r = RetryOnEintr([&] { return ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit); });
    // A pseudo-terminal has no modem lines; there is nothing to set.
    return r == 0 || errno == ENOTTY || errno == EINVAL;
}

bool SetModemLine(int fd, ModemLine line, bool on) {
    const ModemLineSetter replaced = ReplacedModemLineSetter();
    return replaced ? replaced(fd, line, on) : SetWithIoctl(fd, line, on);
}

}  // namespace

BOOL GetCommState(HANDLE handle, DCB* dcb) {
    SerialPort* port = LivePort(handle);
    if (!port || !dcb) return FALSE;
    LineTermios t;
    if (!ReadLineTermios(port->fd, &t)) return FALSE;
    // A pseudo-terminal cannot report its lines; then what we last set stands.
    const ModemLevels levels = QueryModemLevels(port->fd).value_or(port->levels);
    // Until this handle drives the line, it is as the handle will drive it: the
    // cooked defaults (IXON) are no setting to carry over.
    *dcb = DcbFromDeviceLine(port->configured() ? t : MakeRaw(t), levels);
    return TRUE;
}

BOOL SetCommState(HANDLE handle, const DCB* dcb) {
    SerialPort* port = LivePort(handle);
    if (!port || !dcb) return FALSE;
    LineTermios before;
    if (!ReadLineTermios(port->fd, &before) || DriverCannotMake(DeviceNumber(port->fd), dcb->BaudRate))
        return FALSE;
    // The first configuration also puts the line in raw mode, in the same write.
    const auto wanted = DeviceLineFromDcb(*dcb, port->configured() ? before : MakeRaw(before));
    if (!wanted || !WriteLineTermios(port->fd, wanted->termios)) return FALSE;

    // Lines after termios, because termios can be put back whole if a line fails.
    ModemLevels levels = QueryModemLevels(port->fd).value_or(port->levels);
    const bool rtsDone = !wanted->rts || SetModemLine(port->fd, ModemLine::Rts, *wanted->rts);
    const bool dtrDone = rtsDone && (!wanted->dtr || SetModemLine(port->fd, ModemLine::Dtr, *wanted->dtr));
    if (!rtsDone || !dtrDone) {
        if (rtsDone && wanted->rts) SetModemLine(port->fd, ModemLine::Rts, levels.rts);
        WriteLineTermios(port->fd, before);
        return FALSE;
    }
    port->MarkConfigured();
    if (wanted->rts) levels.rts = *wanted->rts;
    if (wanted->dtr) levels.dtr = *wanted->dtr;
    port->levels = levels;
    return TRUE;
}

BOOL GetCommProperties(HANDLE handle, COMMPROP* properties) {
    SerialPort* port = LivePort(handle);
    if (!port || !properties) return FALSE;
    const dev_t device = DeviceNumber(port->fd);
    if (device == 0) return FALSE;
    properties->dwSettableParams = SP_BAUD | SP_STOPBITS | SP_PARITY_CHECK | SP_HANDSHAKING;
    properties->wSettableStopParity = STOPBITS_10 | STOPBITS_15 | STOPBITS_20 | PARITY_NONE;
    // The kernel forces 8 data bits and no parity on a pseudo-terminal.
    if (IsPseudoTerminal(device)) {
        properties->wSettableData = DATABITS_8;
        return TRUE;
    }
    properties->dwSettableParams |= SP_DATABITS | SP_PARITY;
    properties->wSettableStopParity |= PARITY_ODD | PARITY_EVEN | PARITY_MARK | PARITY_SPACE;
    // ftdi_sio turns 6 data bits into 8 in termios, but keeps 5 there while the
    // chip runs 8 bits, so only what it is known to do tells the truth.
    properties->wSettableData = IsFtdi(device) ? (DATABITS_7 | DATABITS_8)
                                               : (DATABITS_5 | DATABITS_6 | DATABITS_7 | DATABITS_8);
    return TRUE;
}
