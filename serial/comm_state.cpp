#include "dcb_termios.h"
#include "modem_lines.h"
#include "serial_port.h"
#include "termios2_io.h"

#include <cerrno>
#include <optional>
#include <sys/ioctl.h>

namespace {

std::optional<ModemLevels> QueryModemLevels(int fd) {
    int bits = 0;
    int r;
    do r = ioctl(fd, TIOCMGET, &bits);
    while (r < 0 && errno == EINTR);
    if (r != 0) return std::nullopt;
    return ModemLevels{(bits & TIOCM_RTS) != 0, (bits & TIOCM_DTR) != 0};
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
    const auto wanted = DeviceLineFromDcb(*dcb, before);
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
    if (wanted->rts) levels.rts = *wanted->rts;
    if (wanted->dtr) levels.dtr = *wanted->dtr;
    port->levels = levels;
    return TRUE;
}
