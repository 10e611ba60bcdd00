#include "dcb_termios.h"

#include <termios.h>

static_assert(VMIN < kLineCcCount && VTIME < kLineCcCount && VSTART < kLineCcCount &&
              VSTOP < kLineCcCount);

namespace {

std::optional<std::uint32_t> SizeBits(BYTE byteSize) {
    switch (byteSize) {
        case 5: return CS5;
        case 6: return CS6;
        case 7: return CS7;
        case 8: return CS8;
        default: return std::nullopt;
    }
}

BYTE ByteSizeOf(std::uint32_t cflag) {
    switch (cflag & CSIZE) {
        case CS5: return 5;
        case CS6: return 6;
        case CS7: return 7;
        default: return 8;
    }
}

std::optional<std::uint32_t> ParityBits(BYTE parity) {
    switch (parity) {
        case NOPARITY: return 0u;
        case ODDPARITY: return PARENB | PARODD;
        case EVENPARITY: return PARENB;
        case MARKPARITY: return PARENB | CMSPAR | PARODD;
        case SPACEPARITY: return PARENB | CMSPAR;
        default: return std::nullopt;
    }
}

BYTE ParityOf(std::uint32_t cflag) {
    if (!(cflag & PARENB)) return NOPARITY;
    const bool odd = cflag & PARODD;
    if (cflag & CMSPAR) return odd ? MARKPARITY : SPACEPARITY;
    return odd ? ODDPARITY : EVENPARITY;
}

std::optional<bool> StopBitsFlag(BYTE stopBits, BYTE byteSize) {
    switch (stopBits) {
        case ONESTOPBIT: return false;
        // The UART sends 1.5 stop bits for CSTOPB at 5 data bits and 2 otherwise,
        // so each of the two is only possible at its own sizes.
        case ONE5STOPBITS: if (byteSize == 5) return true; return std::nullopt;
        case TWOSTOPBITS: if (byteSize != 5) return true; return std::nullopt;
        default: return std::nullopt;
    }
}

std::uint32_t SetBits(std::uint32_t flags, std::uint32_t mask, std::uint32_t bits) {
    return (flags & ~mask) | bits;
}

}  // namespace

std::optional<DeviceLine> DeviceLineFromDcb(const DCB& dcb, const LineTermios& current) {
    const auto size = SizeBits(dcb.ByteSize);
    const auto parity = ParityBits(dcb.Parity);
    const auto twoStop = StopBitsFlag(dcb.StopBits, dcb.ByteSize);
    if (dcb.BaudRate == 0 || !size || !parity || !twoStop) return std::nullopt;
    if (dcb.fRtsControl == RTS_CONTROL_TOGGLE || dcb.fDtrControl > DTR_CONTROL_ENABLE)
        return std::nullopt;
    if (!dcb.fBinary || dcb.fOutxDsrFlow || dcb.fDsrSensitivity || dcb.fNull || dcb.fErrorChar)
        return std::nullopt;

    DeviceLine out;
    LineTermios& t = out.termios;
    t = current;
    t.speed = dcb.BaudRate;
    const bool handshake = dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    t.cflag = SetBits(t.cflag, CSIZE, *size);
    t.cflag = SetBits(t.cflag, PARENB | PARODD | CMSPAR, *parity);
    t.cflag = SetBits(t.cflag, CSTOPB, *twoStop ? CSTOPB : 0);
    t.cflag = SetBits(t.cflag, CRTSCTS, handshake ? CRTSCTS : 0);
    t.iflag = SetBits(t.iflag, INPCK, dcb.fParity ? INPCK : 0);
    t.iflag = SetBits(t.iflag, IXON, dcb.fOutX ? IXON : 0);
    t.iflag = SetBits(t.iflag, IXOFF, dcb.fInX ? IXOFF : 0);
    t.cc[VSTART] = static_cast<std::uint8_t>(dcb.XonChar);
    t.cc[VSTOP] = static_cast<std::uint8_t>(dcb.XoffChar);

    if (!handshake) out.rts = dcb.fRtsControl == RTS_CONTROL_ENABLE;
    out.dtr = dcb.fDtrControl == DTR_CONTROL_ENABLE;
    return out;
}

DCB DcbFromDeviceLine(const LineTermios& t, ModemLevels levels) {
    DCB dcb;
    dcb.BaudRate = t.speed;
    dcb.ByteSize = ByteSizeOf(t.cflag);
    dcb.Parity = ParityOf(t.cflag);
    if (t.cflag & CSTOPB)
        dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    else
        dcb.StopBits = ONESTOPBIT;
    dcb.fParity = (t.iflag & INPCK) ? 1 : 0;
    const bool handshake = t.cflag & CRTSCTS;
    dcb.fOutxCtsFlow = handshake ? 1 : 0;
    dcb.fRtsControl = handshake ? RTS_CONTROL_HANDSHAKE
                                : (levels.rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE);
    dcb.fDtrControl = levels.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fOutX = (t.iflag & IXON) ? 1 : 0;
    dcb.fInX = (t.iflag & IXOFF) ? 1 : 0;
    dcb.XonChar = static_cast<char>(t.cc[VSTART]);
    dcb.XoffChar = static_cast<char>(t.cc[VSTOP]);
    return dcb;
}

LineTermios MakeRaw(LineTermios t) {
    t.iflag &= ~static_cast<std::uint32_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                           ICRNL | IUCLC | IXON | IXOFF | IXANY | IMAXBEL);
    t.oflag &= ~static_cast<std::uint32_t>(OPOST);
    t.lflag &= ~static_cast<std::uint32_t>(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOKE |
                                           ICANON | ISIG | IEXTEN | XCASE | TOSTOP);
    t.cflag |= CLOCAL | CREAD;
    t.cc[VMIN] = 0;
    t.cc[VTIME] = 0;
    return t;
}
