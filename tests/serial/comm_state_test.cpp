// The line state through a pseudo-terminal: what SetCommState reaches, and the
// modem lines it asks for. What it refuses is the DCB table's.
#include "serial_fixture.h"

#include <mutex>
#include <vector>

namespace {

// A standard rate and rates only BOTHER can make; stop bits and the parity check
// ride along. A pty keeps 8 data bits whatever is asked.
TEST_F(PtyPortTest, StateIsSetAndReadBackExactly) {
    Open();
    for (const DWORD rate : {110u, 14400u, 6250000u}) {
        DCB dcb;
        ASSERT_TRUE(GetCommState(handle_, &dcb));
        dcb.BaudRate = rate;
        dcb.StopBits = TWOSTOPBITS;
        dcb.fParity = 1;
        ASSERT_TRUE(SetCommState(handle_, &dcb));
        DCB back;
        ASSERT_TRUE(GetCommState(handle_, &back));
        EXPECT_EQ(std::tuple(back.BaudRate, back.StopBits, DWORD{back.fParity}, back.ByteSize),
                  std::tuple(rate, BYTE{TWOSTOPBITS}, DWORD{1}, BYTE{8}));
        back.BaudRate = 9600, back.StopBits = ONESTOPBIT, back.fParity = 0;  // so each rate starts plain
        ASSERT_TRUE(SetCommState(handle_, &back));
    }
}

using LineCalls = std::vector<std::pair<ModemLine, bool>>;

// A pty has no modem lines: the seam records what the layer asks for, and fails
// DTR. Which levels a DCB asks for is the DCB table's; here, that they are set,
// RTS not by hand under handshake, and that a failed line undoes the state whole.
TEST_F(PtyPortTest, AFailedModemLineUndoesTheWholeState) {
    std::mutex mutex;
    LineCalls calls;
    SetModemLineSetter([&](int, ModemLine line, bool on) {
        std::lock_guard lock(mutex);
        calls.emplace_back(line, on);
        return line != ModemLine::Dtr || !on;
    });
    Open();
    DCB dcb;
    ASSERT_TRUE(GetCommState(handle_, &dcb));
    dcb.BaudRate = 57600;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(handle_, &dcb));
    dcb.BaudRate = 115200;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    EXPECT_FALSE(SetCommState(handle_, &dcb));
    using enum ModemLine;
    std::lock_guard lock(mutex);
    EXPECT_EQ(calls, (LineCalls{{Dtr, false}, {Rts, true}, {Dtr, true}, {Rts, false}}));
    DCB after;
    ASSERT_TRUE(GetCommState(handle_, &after));
    EXPECT_EQ(after.BaudRate, 57600u);
    EXPECT_EQ(after.fRtsControl, RTS_CONTROL_HANDSHAKE);
}

}  // namespace
