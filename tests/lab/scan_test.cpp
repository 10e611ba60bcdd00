// Starting the program disturbs no device: the port list is made without opening
// a port, so no DTR or RTS goes up and a talking device hears nothing back.
#include "lab_window.h"
#include "win32.h"

#include <atomic>
#include <cstdio>
#include <sstream>
#include <thread>

namespace {

// QEMU's trace lines after `mark` that raise DTR or RTS on `port`'s chip: a write
// of the 16550's modem control register (DTR bit 0, RTS bit 1), or an FTDI
// SET_MODEM_CTRL whose high byte picks a line and whose low byte raises it.
std::vector<std::string> Raises(const LabPort& port, std::size_t mark) {
    std::istringstream in(Trace::Since(mark));
    std::vector<std::string> raises;
    unsigned v = 0;
    for (std::string line; std::getline(in, line);) {
        const bool raised =
            port.usb ? std::sscanf(line.c_str(), "usb_serial_handle_control dev %*d:%*d got control 0x4001, value 0x%x",
                                   &v) == 1 && ((v & 0x101) == 0x101 || (v & 0x202) == 0x202)
                     : std::sscanf(line.c_str(), "serial_write write addr 0x04 val 0x%x", &v) == 1 && (v & 3) != 0;
        if (raised) raises.push_back(line);
    }
    return raises;
}

// Both ports with the kernel's cooked defaults (ECHO on), both devices saying
// "AT\r" over and over, and the window made as the program starts, then closed
// without a connect.
TEST(LabScan, StartingTheProgramRaisesNoLineAndEchoesNothing) {
    LAB_ONLY();
    const LabPort* const ports[] = {&kUart, &kFtdi};
    for (const LabPort* port : ports) {
        ASSERT_TRUE(TermiosOf(*port).c_lflag & ECHO) << port->name;
        Peer::Of(*port).Drain();
    }
    const std::size_t mark = Trace::Mark();
    std::atomic<bool> stop{false};
    std::thread devices([&] {
        // A steady stream, so that bytes arrive during any open; bounded, as what
        // the ports do not take waits in QEMU for the next opener.
        for (int i = 0; i < 300 && !stop; ++i) {
            for (const LabPort* port : ports) Peer::Of(*port).Write("AT\r", 20);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<QString> listed;
    {
        LabWindow w;
        for (int i = 0; i < w.form->ComboBox1->count(); ++i) listed.push_back(w.form->ComboBox1->itemText(i));
        QTest::qWait(200);
    }
    stop = true;
    devices.join();
    EXPECT_EQ(listed, (std::vector<QString>{"COM1", "COM33"}));
    for (const LabPort* port : ports) {
        EXPECT_EQ(Raises(*port, mark), std::vector<std::string>{}) << port->name;
        EXPECT_EQ(Peer::Of(*port).Read(64, 500), "") << port->name << " heard something back";
    }

    // What the devices said is taken in raw, so that no later test meets it; and
    // this open raises both lines, as the trace must show for the checks above to
    // mean anything.
    for (const LabPort* port : ports) {
        const std::size_t before = Trace::Mark();
        const HANDLE h = CreateFileA(port->path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << port->name;
        const COMMTIMEOUTS quiet{0, 0, 300, 0, 0};
        SetCommTimeouts(h, &quiet);
        char buffer[256];
        DWORD n = 0;
        for (int i = 0; i < 100 && ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0;) ++i;
        CloseHandle(h);
        EXPECT_FALSE(Raises(*port, before).empty()) << port->name << ": the trace shows no raise at an open";
    }
}

}  // namespace
