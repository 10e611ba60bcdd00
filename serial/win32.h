#pragma once
// The serial device layer: the Win32 serial calls the program is written against,
// implemented on Linux termios. Nothing here knows about Qt.
//
// How it works
// - A HANDLE is one open terminal device plus an eventfd used to wake a pending
//   read, and the COMMTIMEOUTS set on it. CreateFileA opens only "\\.\COMn" where
//   n is in the fixed port table (ports.h); any other path opens nothing.
// - Opening is exclusive: flock(LOCK_EX|LOCK_NB), TIOCEXCL, a UUCP lock file
//   naming a live process, any lock in /proc/locks and another process with the
//   device open all mean "held". What can be known without opening (port_probe.h)
//   is checked before open(), and the flock right after it, so a held port's line
//   is never touched. A port opened goes into raw mode (speed, character size,
//   parity and stop bits kept) in the system calls right after that, with output
//   held meanwhile, and what arrived before that (and any echo of it) is
//   discarded: a device may already be sending, and the kernel's cooked defaults
//   (ECHO, ICRNL, IXON) would echo it back, translate it or swallow XON/XOFF. The
//   port scan (ScanPorts) opens nothing. CloseHandle puts back the termios found
//   at open.
// - Every call is synchronous. ReadFile may run on one thread while PurgeComm,
//   WriteFile and ClearCommError run on another; every other call belongs to a
//   single thread at a time.
// - No call waits without a bound that the caller chose, and WriteFile never
//   waits longer than kMaxWriteWaitMs whatever the time-outs say, so a stalled
//   line (flow control, a device that stops reading) never holds its caller.
//
// Failure
// - CreateFileA returns INVALID_HANDLE_VALUE and leaves nothing open; GetLastError
//   says why: ERROR_SHARING_VIOLATION (another program holds the port),
//   ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND (no such device, or a port number
//   outside the table), ERROR_INVALID_NAME (the path names no port) or
//   ERROR_GEN_FAILURE (not a terminal, or the line could not be set).
// - Every other call returns FALSE on failure and leaves the device as it was,
//   except where noted. Passing INVALID_HANDLE_VALUE or nullptr fails cleanly.
// - After a failed ReadFile, WriteFile or TransmitCommChar, GetLastError on the
//   same thread says why: ERROR_OPERATION_ABORTED (PurgeComm), ERROR_SEM_TIMEOUT
//   (no room within the bound), ERROR_BROKEN_PIPE (hung up),
//   ERROR_DEVICE_NOT_CONNECTED (the device is gone) or ERROR_GEN_FAILURE.
//
// On a pseudo-terminal the kernel forces 8 data bits and no parity, and modem-line
// ioctls fail with ENOTTY; the layer ignores the latter (RTS/DTR go through the
// seam in test_seam.h) and GetCommProperties says what the device can carry.

#include <cstdint>

using DWORD = std::uint32_t;
using BYTE = std::uint8_t;
using BOOL = int;
using LPCSTR = const char*;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
constexpr DWORD MAXDWORD = 0xFFFFFFFFu;

struct SerialPort;  // defined by the layer
using HANDLE = SerialPort*;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});

// CreateFileA arguments the program uses; others are accepted and ignored.
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD OPEN_EXISTING = 3;

// GetLastError values the layer sets.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_BROKEN_PIPE = 109;
constexpr DWORD ERROR_SEM_TIMEOUT = 121;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;

// The longest WriteFile waits for room on a stalled line.
constexpr DWORD kMaxWriteWaitMs = 300;

// PurgeComm flags.
constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

// DCB values.
constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE MARKPARITY = 3;
constexpr BYTE SPACEPARITY = 4;

constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE ONE5STOPBITS = 1;
constexpr BYTE TWOSTOPBITS = 2;

constexpr DWORD DTR_CONTROL_DISABLE = 0;
constexpr DWORD DTR_CONTROL_ENABLE = 1;
constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0;
constexpr DWORD RTS_CONTROL_ENABLE = 1;
constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_TOGGLE = 3;

// The line state, laid out as Win32 defines it.
struct DCB {
    DWORD DCBlength = sizeof(DCB);
    DWORD BaudRate = 0;
    DWORD fBinary : 1 = 1;
    DWORD fParity : 1 = 0;
    DWORD fOutxCtsFlow : 1 = 0;
    DWORD fOutxDsrFlow : 1 = 0;
    DWORD fDtrControl : 2 = 0;
    DWORD fDsrSensitivity : 1 = 0;
    DWORD fTXContinueOnXoff : 1 = 0;
    DWORD fOutX : 1 = 0;
    DWORD fInX : 1 = 0;
    DWORD fErrorChar : 1 = 0;
    DWORD fNull : 1 = 0;
    DWORD fRtsControl : 2 = 0;
    DWORD fAbortOnError : 1 = 0;
    DWORD fDummy2 : 17 = 0;
    std::uint16_t wReserved = 0;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    BYTE ByteSize = 8;
    BYTE Parity = NOPARITY;
    BYTE StopBits = ONESTOPBIT;
    char XonChar = 0x11;
    char XoffChar = 0x13;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    std::uint16_t wReserved1 = 0;
};

// What ClearCommError reports: bytes waiting in the driver's queues.
struct COMSTAT {
    DWORD cbInQue = 0;
    DWORD cbOutQue = 0;
};

// What the device can carry (GetCommProperties), as Win32's bit masks.
constexpr std::uint16_t DATABITS_5 = 0x0001;
constexpr std::uint16_t DATABITS_6 = 0x0002;
constexpr std::uint16_t DATABITS_7 = 0x0004;
constexpr std::uint16_t DATABITS_8 = 0x0008;
constexpr std::uint16_t STOPBITS_10 = 0x0001;
constexpr std::uint16_t STOPBITS_15 = 0x0002;
constexpr std::uint16_t STOPBITS_20 = 0x0004;
constexpr std::uint16_t PARITY_NONE = 0x0100;
constexpr std::uint16_t PARITY_ODD = 0x0200;
constexpr std::uint16_t PARITY_EVEN = 0x0400;
constexpr std::uint16_t PARITY_MARK = 0x0800;
constexpr std::uint16_t PARITY_SPACE = 0x1000;

// Which line parameters the device has at all (COMMPROP's dwSettableParams).
constexpr DWORD SP_PARITY = 0x0001;
constexpr DWORD SP_BAUD = 0x0002;
constexpr DWORD SP_DATABITS = 0x0004;
constexpr DWORD SP_STOPBITS = 0x0008;
constexpr DWORD SP_HANDSHAKING = 0x0010;
constexpr DWORD SP_PARITY_CHECK = 0x0020;

struct COMMPROP {
    DWORD dwSettableParams = 0;
    std::uint16_t wSettableData = 0;
    std::uint16_t wSettableStopParity = 0;
};

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout = 0;
    DWORD ReadTotalTimeoutMultiplier = 0;
    DWORD ReadTotalTimeoutConstant = 0;
    DWORD WriteTotalTimeoutMultiplier = 0;
    DWORD WriteTotalTimeoutConstant = 0;
};

// Opens "\\.\COMn" exclusively (see above). Access, share mode, creation and flags
// are taken as the program passes them: read/write, exclusive, existing device.
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, void* security, DWORD creation,
                   DWORD flags, HANDLE templateFile);

// Puts back the termios found at open if the handle changed it, drops TIOCEXCL
// (if it was ours) and the flock, closes the device and frees the handle. Output
// still queued is given a short while to drain and then discarded, so that a
// stalled line cannot hold the close. No other thread may be inside a call on
// the handle.
BOOL CloseHandle(HANDLE handle);

// The time-outs kept with the handle (the kernel has no such thing).
BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts);
BOOL SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS* timeouts);

// The device's line state in DCB terms; fields termios cannot express keep the
// defaults above. XON/XOFF flow control shows as the handle drives the line: the
// kernel's cooked IXON/IXOFF are not a choice anyone made, so a handle that only
// looks reports them off. RTS and DTR are the levels the driver reports where it
// reflects what was set, otherwise (a pseudo-terminal, rfcomm, which reports the
// remote end's) the levels last set.
BOOL GetCommState(HANDLE handle, DCB* dcb);
// Applies the DCB whole or not at all: a combination the layer refuses (two stop
// bits with five data bits, 1.5 stop bits with more than five, a size outside 5-8,
// an unknown parity, a zero rate, a rate the driver would quietly make wrong:
// ftdi_sio below 183 baud) changes nothing and returns FALSE.
BOOL SetCommState(HANDLE handle, const DCB* dcb);

// PURGE_RXABORT wakes a ReadFile pending on the handle in another thread at once;
// it does not affect a read started afterwards. The CLEAR flags map to tcflush.
// Safe to call while another thread is inside ReadFile.
BOOL PurgeComm(HANDLE handle, DWORD flags);

// Win32 read time-out rules: total = multiplier * count + constant; the interval
// time-out runs between bytes once one has arrived; MAXDWORD/0/0 returns at once
// with what is there; all zero waits for the full count. On a hung-up or failed
// device it returns FALSE with *read = 0 only once its time-out has run out, so a
// caller's loop never spins.
BOOL ReadFile(HANDLE handle, void* buffer, DWORD count, DWORD* read, void* overlapped);

// Writes every byte, waiting for the device; within the write time-out if one is
// set and never longer than kMaxWriteWaitMs. *written says how many the driver
// took; nothing refused is kept to go out later. FALSE unless all went.
BOOL WriteFile(HANDLE handle, const void* buffer, DWORD count, DWORD* written, void* overlapped);

// Writes one byte as WriteFile does.
BOOL TransmitCommChar(HANDLE handle, char c);

// Waits until the output queued in the driver has gone, never longer than
// kMaxWriteWaitMs; FALSE with ERROR_SEM_TIMEOUT when some is still queued then
// (ClearCommError says how much).
BOOL FlushFileBuffers(HANDLE handle);

// Puts the line into the break state (held low) until ClearCommBreak, at once:
// output still queued is not waited for (FlushFileBuffers does that, bounded).
// A pseudo-terminal has no line to hold: the kernel accepts the request and drops
// it, so the layer refuses it instead, FALSE with ERROR_NOT_SUPPORTED, rather than
// report a break that never happened. Both change nothing else on the line.
BOOL SetCommBreak(HANDLE handle);
BOOL ClearCommBreak(HANDLE handle);

// The bytes waiting in the driver's queues; *errors is always 0 (line errors are
// not counted). Safe while another thread is inside ReadFile.
BOOL ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* stat);

// The character sizes, stop bits and parities the device can carry, from what
// the kernel's driver for it is known to do where reading termios back cannot
// tell (ftdi_sio keeps CS5 in termios but runs the chip at 8 bits). A
// pseudo-terminal has neither data bits nor parity to set (no SP_DATABITS,
// SP_PARITY): it carries 8 data bits and no parity only.
BOOL GetCommProperties(HANDLE handle, COMMPROP* properties);

DWORD GetLastError();
void SetLastError(DWORD error);

void Sleep(DWORD milliseconds);
