#include "dcb_termios.h"

#include <gtest/gtest.h>

#include <termios.h>

namespace {

DCB Line(DWORD baud, BYTE size, BYTE parity, BYTE stop) {
    return {.BaudRate = baud, .ByteSize = size, .Parity = parity, .StopBits = stop};
}

TEST(DcbTermios, FramingMapsToTermiosAndBack) {
    const struct {
        DCB dcb;
        std::uint32_t cflag;  // CSIZE, parity and stop bits expected
    } cases[] = {
        {Line(9600, 8, NOPARITY, ONESTOPBIT), CS8},
        {Line(110, 7, EVENPARITY, ONESTOPBIT), CS7 | PARENB},
        {Line(300, 6, ODDPARITY, TWOSTOPBITS), CS6 | PARENB | PARODD | CSTOPB},
        {Line(115200, 8, MARKPARITY, ONESTOPBIT), CS8 | PARENB | PARODD | CMSPAR},
        {Line(14400, 8, SPACEPARITY, TWOSTOPBITS), CS8 | PARENB | CMSPAR | CSTOPB},
        {Line(6250000, 5, NOPARITY, ONE5STOPBITS), CS5 | CSTOPB},
        {Line(1843200, 5, EVENPARITY, ONESTOPBIT), CS5 | PARENB},
    };
    LineTermios start;
    start.cflag = CS8 | PARENB | PARODD | CMSPAR | CSTOPB | CREAD | CLOCAL | HUPCL;
    constexpr std::uint32_t kFraming = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dcb.BaudRate);
        const auto line = DeviceLineFromDcb(c.dcb, start);
        ASSERT_TRUE(line);
        EXPECT_EQ(line->termios.cflag & kFraming, c.cflag);
        EXPECT_EQ(line->termios.cflag & ~kFraming, start.cflag & ~kFraming) << "unrelated bits changed";
        EXPECT_EQ(line->termios.speed, c.dcb.BaudRate);
        const DCB back = DcbFromDeviceLine(line->termios, {});
        EXPECT_EQ(std::tuple(back.BaudRate, back.ByteSize, back.Parity, back.StopBits),
                  std::tuple(c.dcb.BaudRate, c.dcb.ByteSize, c.dcb.Parity, c.dcb.StopBits));
    }
}

TEST(DcbTermios, WhatTheLineCannotDoIsRefusedWhole) {
    const std::pair<const char*, DCB> cases[] = {
        {"TwoStopBitsWithFiveDataBits", Line(9600, 5, NOPARITY, TWOSTOPBITS)},
        {"OneAndAHalfWithSix", Line(9600, 6, NOPARITY, ONE5STOPBITS)},
        {"UnknownStopBits", Line(9600, 8, NOPARITY, 3)},
        {"FourDataBits", Line(9600, 4, NOPARITY, ONESTOPBIT)},
        {"NineDataBits", Line(9600, 9, NOPARITY, ONESTOPBIT)},
        {"UnknownParity", Line(9600, 8, 5, ONESTOPBIT)},
        {"ZeroRate", Line(0, 8, NOPARITY, ONESTOPBIT)},
        {"RtsToggle", DCB{.BaudRate = 9600, .fRtsControl = RTS_CONTROL_TOGGLE}},
        {"DtrHandshake", DCB{.BaudRate = 9600, .fDtrControl = DTR_CONTROL_HANDSHAKE}},
        {"DsrFlow", DCB{.BaudRate = 9600, .fOutxDsrFlow = 1}},
        {"DiscardNulls", DCB{.BaudRate = 9600, .fNull = 1}},
        {"NotBinary", DCB{.BaudRate = 9600, .fBinary = 0}},
    };
    for (const auto& [name, dcb] : cases) EXPECT_FALSE(DeviceLineFromDcb(dcb, LineTermios{})) << name;
}

// The start is a port found handshaking, read as such: leaving the handshake must
// not be refused because of the CTS flag that came with the reading.
TEST(DcbTermios, LinesHandshakeAndParityCheck) {
    const struct {
        DWORD rtsControl, dtrControl;
        BYTE checkParity;
        std::optional<bool> rts, dtr;
        bool crtscts;
    } cases[] = {
        {RTS_CONTROL_DISABLE, DTR_CONTROL_DISABLE, 0, false, false, false},
        {RTS_CONTROL_ENABLE, DTR_CONTROL_ENABLE, 1, true, true, false},
        {RTS_CONTROL_ENABLE, DTR_CONTROL_DISABLE, 0, true, false, false},
        {RTS_CONTROL_HANDSHAKE, DTR_CONTROL_ENABLE, 1, std::nullopt, true, true},
    };
    LineTermios start;
    start.cflag = CS8 | CRTSCTS;
    start.iflag = INPCK;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "RTS " << c.rtsControl << ", DTR " << c.dtrControl);
        const DCB dcb{.BaudRate = 9600, .fParity = c.checkParity, .fOutxCtsFlow = 1, .fDtrControl = c.dtrControl,
                      .fRtsControl = c.rtsControl, .Parity = EVENPARITY};
        const auto line = DeviceLineFromDcb(dcb, start);
        ASSERT_TRUE(line);
        EXPECT_EQ(line->rts, c.rts);
        EXPECT_EQ(line->dtr, c.dtr);
        EXPECT_EQ((line->termios.cflag & CRTSCTS) != 0, c.crtscts);
        EXPECT_EQ((line->termios.iflag & INPCK) != 0, c.checkParity == 1);

        const DCB back = DcbFromDeviceLine(line->termios, {c.rts.value_or(false), c.dtr.value_or(false)});
        EXPECT_EQ(std::tuple(back.fRtsControl, back.fDtrControl, back.fOutxCtsFlow, back.fParity),
                  std::tuple(c.rtsControl, c.dtrControl, c.crtscts ? 1u : 0u, DWORD{c.checkParity}));
    }
}

}  // namespace
