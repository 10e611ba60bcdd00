// What reaches the chip: every setting through the serial layer, as QEMU saw the
// driver program it; and what the window says when the chip cannot do what it shows.
#include "lab_window.h"
#include "line_settings.h"
#include "win32.h"

#include <cmath>
#include <deque>
#include <tuple>
#include <vector>

namespace {

// One line state through SetCommState; the rest stays at a non-default baseline
// (57600 7E1, Check Parity, RTS on, DTR off), so a default left in place shows.
struct Setting {
    const char* name;
    DWORD baud = 57600;
    BYTE size = 7;
    BYTE parity = EVENPARITY;
    BYTE stop = ONESTOPBIT;
    bool check = true;
    bool rts = true, dtr = false;
};

std::vector<Setting> Settings() {
    std::vector<Setting> all;
    static std::deque<std::string> names;  // the cases' names live as long as the cases
    for (const SettingChoice& rate : kBaudChoices) {
        names.push_back("Baud" + std::to_string(rate.value));
        all.push_back({.name = names.back().c_str(), .baud = rate.value});
    }
    all.push_back({.name = "ParityNone", .parity = NOPARITY});
    all.push_back({.name = "ParityOdd", .parity = ODDPARITY});
    all.push_back({.name = "ParityMark", .parity = MARKPARITY});
    all.push_back({.name = "ParitySpace", .parity = SPACEPARITY});
    all.push_back({.name = "FiveDataBits", .size = 5});
    all.push_back({.name = "SixDataBits", .size = 6});
    all.push_back({.name = "EightDataBits", .size = 8});
    all.push_back({.name = "TwoStopBits", .stop = TWOSTOPBITS});
    all.push_back({.name = "OneAndAHalfStopBitsAt115200", .baud = 115200, .size = 5, .stop = ONE5STOPBITS});
    all.push_back({.name = "NoCheckRtsOffDtrOn", .check = false, .rts = false, .dtr = true});
    return all;
}

// What the chip runs when the driver is asked for `s`: what each driver and QEMU's
// models were measured to do.
Chip Expected(const LabPort& port, const Setting& s) {
    Chip chip{.baud = s.baud <= port.maxRate ? s.baud : 9600,  // refused: the rate of the open stays
              .dataBits = s.size,
              .stopBits = s.stop == ONESTOPBIT ? 1 : 2,  // the 16550 model shows 1.5 as 2
              .rts = s.rts,
              .dtr = s.dtr};
    // The 16550 model reports stick parity by its base: mark as odd, space as even.
    static constexpr char kLetter[] = {'N', 'O', 'E', 'O', 'E'};
    chip.parity = kLetter[s.parity];
    if (port.usb) {
        // ftdi_sio: 5 data bits go as the "CS5 quirk", which the chip takes as 8;
        // 6 are refused and the size before stays (8 from the open).
        if (s.size < 7) chip.dataBits = 8;
        // QEMU's FTDI model refuses mark and space parity (real chips do them):
        // the data request fails and the chip keeps 8N1 from the open.
        if (s.parity == MARKPARITY || s.parity == SPACEPARITY)
            std::tie(chip.parity, chip.dataBits, chip.stopBits) = std::tuple('N', 8, 1);
    }
    return chip;
}

class ChipTest : public ::testing::TestWithParam<std::tuple<LabPort, Setting>> {};

TEST_P(ChipTest, DriverProgramsTheChipAsTheDcbSays) {
    LAB_ONLY();
    const auto& [port, s] = GetParam();
    const HANDLE h = CreateFileA(port.path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // Every open programs the port's termios, the kernel's 9600 8N1 here.
    const Chip opened = Trace::ChipOf(port);
    EXPECT_EQ(std::tuple(opened.baud, opened.dataBits, opened.parity), std::tuple(9600u, 8, 'N'));
    DCB dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = s.baud;
    dcb.ByteSize = s.size;
    dcb.Parity = s.parity;
    dcb.StopBits = s.stop;
    dcb.fParity = s.check;
    dcb.fRtsControl = s.rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    dcb.fDtrControl = s.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    // Below 183 baud ftdi_sio's divisor overflows (110 would run at 275): refused,
    // the chip keeps what the open gave it.
    const bool refused = port.usb && s.baud < 183;
    EXPECT_EQ(SetCommState(h, &dcb) != 0, !refused);

    const Chip want = refused ? opened : Expected(port, s);
    Chip got = Trace::ChipOf(port);
    // Divisors round: within 3 % is the rate asked for (56000 is 57600 on a 16550,
    // 921600 is 923076 on an FTDI).
    EXPECT_LE(std::abs(double(got.baud) - want.baud), want.baud * 0.03) << got;
    got.baud = want.baud;
    EXPECT_EQ(got, want);
    // Check Parity is the driver's INPCK.
    EXPECT_EQ((TermiosOf(port).c_iflag & INPCK) != 0, s.check && !refused);
    EXPECT_TRUE(CloseHandle(h));
}

// "COM1_Baud9600"
template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<std::tuple<LabPort, Case>>& info) {
    return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Lab, ChipTest, ::testing::Combine(::testing::Values(kUart, kFtdi), ::testing::ValuesIn(Settings())),
                         CaseName<Setting>);

// The window on each chip: a choice the chip cannot make gets one truthful
// "In force" line; a rate it makes within tolerance, and a default session, none.
struct Shown {
    const char* name;
    const char* baud = "9600";
    const char* stop = "One Stop Bit";
    const char* parity = "None";
    const char* data = "Eight";
    const char* uartLine = "";  // the line expected on the 16550, and on the FTDI
    const char* ftdiLine = "";
};

const Shown kShown[] = {
    {.name = "Defaults"},
    {.name = "Baud921600", .baud = "921600", .uartLine = "In force, not as shown: Baud 9600"},
    {.name = "SixDataBits", .data = "Six", .ftdiLine = "In force, not as shown: Data bits Eight"},
    {.name = "FiveDataBits", .baud = "115200", .data = "Five", .ftdiLine = "In force, not as shown: Data bits Eight"},
    {.name = "OddParity", .baud = "57600", .parity = "Odd", .data = "Seven"},
    // Refused whole by the layer on the FTDI: the open's rate and raised lines stay.
    {.name = "Baud110", .baud = "110", .ftdiLine = "In force, not as shown: Baud 9600, RTS On, DTR On"},
};

class InForceTest : public ::testing::TestWithParam<std::tuple<LabPort, Shown>> {};

TEST_P(InForceTest, WindowSaysOnceWhatTheChipRunsWhenItDiffers) {
    LAB_ONLY();
    const auto& [port, shown] = GetParam();
    LabWindow w;
    ASSERT_TRUE(LabWindow::Pick(w.form->ComboBox2, shown.baud) && LabWindow::Pick(w.form->ComboBox3, shown.stop) &&
                LabWindow::Pick(w.form->ComboBox4, shown.parity) && LabWindow::Pick(w.form->ComboBox5, shown.data));
    ASSERT_TRUE(w.Connect(port));
    const QString expected = QString::fromLatin1(port.usb ? shown.ftdiLine : shown.uartLine);
    EXPECT_EQ(w.Count("In force"), expected.isEmpty() ? 0 : 1) << w.Text();
    EXPECT_TRUE(expected.isEmpty() || w.History().contains(expected + "\n")) << w.Text();
    // No line for the FTDI's 921600: it runs 923076, within tolerance.
    if (port.usb && std::string(shown.baud) == "921600") { EXPECT_EQ(Trace::ChipOf(port).baud, 923076u); }
    w.Disconnect();
}

INSTANTIATE_TEST_SUITE_P(Lab, InForceTest, ::testing::Combine(::testing::Values(kUart, kFtdi), ::testing::ValuesIn(kShown)),
                         CaseName<Shown>);

}  // namespace
