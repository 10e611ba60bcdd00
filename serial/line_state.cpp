// The line state: GetCommState, SetCommState and GetCommProperties, with RTS and
// DTR set through the test seam.
#include "serial_port.h"
#include "test_seam.h"

#include <optional>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

std::optional<ModemLevels> QueryModemLevels(int fd) {
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
    *dcb = DcbFromDeviceLine(t, levels);
    return TRUE;
}

BOOL SetCommState(HANDLE handle, const DCB* dcb) {
    SerialPort* port = LivePort(handle);
    if (!port || !dcb) return FALSE;
    LineTermios before;
    if (!ReadLineTermios(port->fd, &before)) return FALSE;
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
    struct stat st {};
    if (fstat(port->fd, &st) != 0) return FALSE;
    // Unix98 pseudo-terminal followers (majors 136-143): the kernel forces 8 data
    // bits and no parity on them.
    const unsigned major = ::major(st.st_rdev);
    const bool pseudo = major >= 136 && major <= 143;
    properties->wSettableData =
        pseudo ? DATABITS_8 : (DATABITS_5 | DATABITS_6 | DATABITS_7 | DATABITS_8);
    properties->wSettableStopParity = STOPBITS_10 | STOPBITS_15 | STOPBITS_20 | PARITY_NONE;
    if (!pseudo)
        properties->wSettableStopParity |=
            PARITY_ODD | PARITY_EVEN | PARITY_MARK | PARITY_SPACE;
    return TRUE;
}
