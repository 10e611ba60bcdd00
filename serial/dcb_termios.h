#pragma once
// DCB <-> termios, one pure function each way: no device, no system call.
//
// What maps: BaudRate <-> speed; ByteSize 5-8 <-> CS5-CS8; Parity <-> PARENB,
// PARODD, CMSPAR; StopBits <-> CSTOPB (which gives 1.5 bits at 5 data bits, so
// ONE5STOPBITS needs 5 data bits and TWOSTOPBITS refuses them); fParity <-> INPCK;
// fOutX/fInX <-> IXON/IXOFF with XonChar/XoffChar <-> VSTART/VSTOP;
// fRtsControl handshake <-> CRTSCTS, enable/disable -> the RTS level; fDtrControl
// enable/disable -> the DTR level.
//
// Linux ties CTS output flow to RTS handshake in the one CRTSCTS bit, so
// fRtsControl decides it and fOutxCtsFlow only reports it: a caller that reads a
// handshaking port and turns RTS off must not be refused for the field it left.
//
// Refused, so nothing is applied: BaudRate 0, ByteSize outside 5-8, an unknown
// Parity or StopBits, 1.5 stop bits with more than 5 data bits, 2 stop bits with 5,
// RTS toggle, DTR handshake, and what Linux cannot do at all (fBinary off, DSR flow
// or sensitivity, fNull, fErrorChar). Fields with no effect on the bytes
// (XonLim, XoffLim, EofChar, EvtChar, ErrorChar, fTXContinueOnXoff, fAbortOnError)
// are ignored.

#include "termios2_io.h"
#include "win32.h"

#include <optional>

struct ModemLevels {
    bool rts = false;
    bool dtr = false;
};

struct DeviceLine {
    LineTermios termios;
    std::optional<bool> rts;  // level to set; none when CRTSCTS drives it
    std::optional<bool> dtr;
};

// The settings that give `dcb`, starting from `current` so that every bit the DCB
// does not speak of stays; nothing when the DCB is refused.
std::optional<DeviceLine> DeviceLineFromDcb(const DCB& dcb, const LineTermios& current);

// The DCB that describes `termios` with the modem lines at `levels`; fields termios
// cannot express keep DCB's defaults.
DCB DcbFromDeviceLine(const LineTermios& termios, ModemLevels levels);

// Raw mode as the layer opens a port: no line editing, echo, signals, output
// processing, software flow control or byte marking; reads return at once (VMIN 0,
// VTIME 0); CLOCAL and CREAD on. Speed, character size, parity and stop bits stay.
LineTermios MakeRaw(LineTermios termios);
