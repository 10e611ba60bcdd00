#include "dcb_termios.h"

#include <gtest/gtest.h>

#include <termios.h>

namespace {

DCB Line(DWORD baud, BYTE size, BYTE parity, BYTE stop) {
    DCB dcb;
    dcb.BaudRate = baud;
    dcb.ByteSize = size;
    dcb.Parity = parity;
    dcb.StopBits = stop;
    return dcb;
}

struct FramingCase {
    const char* name;
    DCB dcb;
    std::uint32_t cflag;  // CSIZE, parity and stop bits expected
};

class DcbFramingTest : public ::testing::TestWithParam<FramingCase> {};

TEST_P(DcbFramingTest, MapsToTermiosAndBack) {
    const FramingCase& c = GetParam();
    LineTermios start;
    start.cflag = CS8 | PARENB | PARODD | CMSPAR | CSTOPB | CREAD | CLOCAL | HUPCL;
    const auto line = DeviceLineFromDcb(c.dcb, start);
    ASSERT_TRUE(line);
    constexpr std::uint32_t kFraming = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    EXPECT_EQ(line->termios.cflag & kFraming, c.cflag);
    EXPECT_EQ(line->termios.cflag & ~kFraming, start.cflag & ~kFraming) << "unrelated bits changed";
    EXPECT_EQ(line->termios.speed, c.dcb.BaudRate);

    const DCB back = DcbFromDeviceLine(line->termios, {});
    EXPECT_EQ(back.BaudRate, c.dcb.BaudRate);
    EXPECT_EQ(back.ByteSize, c.dcb.ByteSize);
    EXPECT_EQ(back.Parity, c.dcb.Parity);
    EXPECT_EQ(back.StopBits, c.dcb.StopBits);
}

INSTANTIATE_TEST_SUITE_P(
    Framing, DcbFramingTest,
    ::testing::Values(FramingCase{"Default", Line(9600, 8, NOPARITY, ONESTOPBIT), CS8},
                      FramingCase{"Seven", Line(110, 7, EVENPARITY, ONESTOPBIT), CS7 | PARENB},
                      FramingCase{"Six", Line(300, 6, ODDPARITY, TWOSTOPBITS), CS6 | PARENB | PARODD | CSTOPB},
                      FramingCase{"Mark", Line(115200, 8, MARKPARITY, ONESTOPBIT), CS8 | PARENB | PARODD | CMSPAR},
                      FramingCase{"Space", Line(14400, 8, SPACEPARITY, TWOSTOPBITS), CS8 | PARENB | CMSPAR | CSTOPB},
                      FramingCase{"FiveOneAndAHalf", Line(6250000, 5, NOPARITY, ONE5STOPBITS), CS5 | CSTOPB},
                      FramingCase{"FiveOne", Line(1843200, 5, EVENPARITY, ONESTOPBIT), CS5 | PARENB}),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusedCase {
    const char* name;
    DCB dcb;
};

class DcbRefusedTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(DcbRefusedTest, IsRefusedWhole) { EXPECT_FALSE(DeviceLineFromDcb(GetParam().dcb, LineTermios{})); }

DCB With(DCB dcb, void (*change)(DCB&)) {
    change(dcb);
    return dcb;
}

INSTANTIATE_TEST_SUITE_P(
    Refused, DcbRefusedTest,
    ::testing::Values(
        RefusedCase{"TwoStopBitsWithFiveDataBits", Line(9600, 5, NOPARITY, TWOSTOPBITS)},
        RefusedCase{"OneAndAHalfWithSix", Line(9600, 6, NOPARITY, ONE5STOPBITS)},
        RefusedCase{"UnknownStopBits", Line(9600, 8, NOPARITY, 3)},
        RefusedCase{"FourDataBits", Line(9600, 4, NOPARITY, ONESTOPBIT)},
        RefusedCase{"NineDataBits", Line(9600, 9, NOPARITY, ONESTOPBIT)},
        RefusedCase{"UnknownParity", Line(9600, 8, 5, ONESTOPBIT)},
        RefusedCase{"ZeroRate", Line(0, 8, NOPARITY, ONESTOPBIT)},
        RefusedCase{"RtsToggle", With(DCB{}, [](DCB& d) { d.BaudRate = 9600; d.fRtsControl = RTS_CONTROL_TOGGLE; })},
        RefusedCase{"DtrHandshake", With(DCB{}, [](DCB& d) { d.BaudRate = 9600; d.fDtrControl = DTR_CONTROL_HANDSHAKE; })},
        RefusedCase{"DsrFlow", With(DCB{}, [](DCB& d) { d.BaudRate = 9600; d.fOutxDsrFlow = 1; })},
        RefusedCase{"DiscardNulls", With(DCB{}, [](DCB& d) { d.BaudRate = 9600; d.fNull = 1; })},
        RefusedCase{"NotBinary", With(DCB{}, [](DCB& d) { d.BaudRate = 9600; d.fBinary = 0; })}),
    [](const auto& info) { return std::string(info.param.name); });

struct ControlCase {
    const char* name;
    DWORD rtsControl;
    DWORD dtrControl;
    BYTE checkParity;
    std::optional<bool> rts;
    std::optional<bool> dtr;
    bool crtscts;
};

class DcbControlTest : public ::testing::TestWithParam<ControlCase> {};

// The start is a port found handshaking, read as such: leaving the handshake must
// not be refused because of the CTS flag that came with the reading.
TEST_P(DcbControlTest, LinesHandshakeAndParityCheck) {
    const ControlCase& c = GetParam();
    DCB dcb = Line(9600, 8, EVENPARITY, ONESTOPBIT);
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = c.rtsControl;
    dcb.fDtrControl = c.dtrControl;
    dcb.fParity = c.checkParity;
    LineTermios start;
    start.cflag = CS8 | CRTSCTS;
    start.iflag = INPCK;
    const auto line = DeviceLineFromDcb(dcb, start);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->rts, c.rts);
    EXPECT_EQ(line->dtr, c.dtr);
    EXPECT_EQ((line->termios.cflag & CRTSCTS) != 0, c.crtscts);
    EXPECT_EQ((line->termios.iflag & INPCK) != 0, c.checkParity == 1);

    const DCB back = DcbFromDeviceLine(line->termios, {c.rts.value_or(false), c.dtr.value_or(false)});
    EXPECT_EQ(back.fRtsControl, c.rtsControl);
    EXPECT_EQ(back.fDtrControl, c.dtrControl);
    EXPECT_EQ(back.fOutxCtsFlow, c.crtscts ? 1u : 0u);
    EXPECT_EQ(back.fParity, c.checkParity);
}

INSTANTIATE_TEST_SUITE_P(
    Controls, DcbControlTest,
    ::testing::Values(
        ControlCase{"BothOff", RTS_CONTROL_DISABLE, DTR_CONTROL_DISABLE, 0, false, false, false},
        ControlCase{"BothOn", RTS_CONTROL_ENABLE, DTR_CONTROL_ENABLE, 1, true, true, false},
        ControlCase{"RtsOnly", RTS_CONTROL_ENABLE, DTR_CONTROL_DISABLE, 0, true, false, false},
        ControlCase{"Handshake", RTS_CONTROL_HANDSHAKE, DTR_CONTROL_ENABLE, 1, std::nullopt, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
