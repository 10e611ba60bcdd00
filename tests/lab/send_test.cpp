// The Send menu through the real drivers: each input mode's bytes reach the
// device exactly, and Send Break puts the chip's line in break and takes it out.
#include "lab_window.h"

#include <QAction>
#include <cstdio>
#include <sstream>

namespace {

// Whether the trace after `mark` shows the break set and then cleared: bit 6 of
// the 16550's line control register, bit 14 of the FTDI's data request.
bool BreakSetAndCleared(const LabPort& port, std::size_t mark) {
    std::istringstream lines(Trace::Since(mark));
    const char* format = port.usb ? "usb_serial_handle_control dev %*d:%*d got control 0x4004, value 0x%x"
                                  : "serial_write write addr 0x03 val 0x%x";
    const unsigned bit = port.usb ? 0x4000 : 0x40;
    bool set = false;
    unsigned value = 0;
    for (std::string line; std::getline(lines, line);)
        if (std::sscanf(line.c_str(), format, &value) == 1) {
            if (value & bit) set = true;
            else if (set) return true;
        }
    return false;
}

class SendMenuTest : public ::testing::TestWithParam<LabPort> {};

TEST_P(SendMenuTest, EachInputModeArrivesExactAndBreakReachesTheChip) {
    LAB_ONLY();
    const LabPort& port = GetParam();
    Peer& device = Peer::Of(port);
    device.Drain();
    LabWindow w;
    ASSERT_TRUE(w.Connect(port));
    const auto choose = [&](const char* name) {
        QAction* item = w.form->findChild<QAction*>(QString::fromLatin1(name));
        ASSERT_TRUE(item && item->isEnabled()) << name;
        item->trigger();
    };
    choose("LineEndCrLf");
    w.Send("hello");
    choose("InputHexBytes");
    w.Send("01 03 00 00 00 0A C5 CD");
    choose("InputEscapes");
    w.Send(R"(AT\r\n\x00\xff)");
    const std::string tail("AT\r\n\0\xff\r\n", 8);
    EXPECT_EQ(device.ReadUntil(tail, 10000), "hello\r\n" + std::string("\x01\x03\0\0\0\x0a\xc5\xcd", 8) + tail);

    const std::size_t mark = Trace::Mark();
    choose("SendBreak");
    EXPECT_TRUE(w.History().endsWith("\nSent:break\n")) << w.Text();
    EXPECT_TRUE(BreakSetAndCleared(port, mark)) << Trace::Since(mark);
    w.Disconnect();
}

INSTANTIATE_TEST_SUITE_P(Lab, SendMenuTest, ::testing::Values(kUart, kFtdi), ::testing::PrintToStringParamName());

}  // namespace
