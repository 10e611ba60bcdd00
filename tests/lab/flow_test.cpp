// Bytes through the real drivers, and a real USB unplug under the window.
#include "connection.h"
#include "lab_window.h"
#include "test_thread.h"
#include "win32.h"

#include <atomic>
#include <fcntl.h>
#include <numeric>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace {

class BytesTest : public ::testing::TestWithParam<LabPort> {};

// On a port with the kernel's cooked defaults (ECHO, ICRNL, IXON) and a device
// already talking at Connect: every byte value passes both ways unchanged at
// 115200, what came before shows unchanged if at all, and nothing goes back but
// what the kernel echoed while open() ran.
TEST_P(BytesTest, EveryByteValuePassesBothWaysUnchanged) {
    LAB_ONLY();
    const LabPort& port = GetParam();
    const termios kernel = TermiosOf(port);
    ASSERT_TRUE((kernel.c_lflag & ECHO) && (kernel.c_iflag & ICRNL) && (kernel.c_iflag & IXON));
    std::string all(256, '\0');
    std::iota(all.begin(), all.end(), '\0');
    // What a talking device keeps sending: line ends and XON/XOFF, which a line left
    // cooked would echo, translate or swallow.
    std::string chatter;
    for (int i = 0; i < 16; ++i) chatter += "T\r\n\x11\x13\x7f" + std::to_string(i) + "\r";
    Peer& device = Peer::Of(port);
    device.Drain();
    LabWindow w;
    ASSERT_TRUE(LabWindow::Pick(w.form->ComboBox2, "115200"));
    ASSERT_TRUE(device.Write(chatter));
    ASSERT_TRUE(w.Connect(port));
    ASSERT_TRUE(device.Write(all));
    ASSERT_TRUE(w.WaitForReceived(all)) << w.Text();
    const std::string before = w.Received().substr(0, w.Received().size() - 256);
    EXPECT_TRUE(chatter.ends_with(before)) << "shown changed: " << ::testing::PrintToString(before);

    // Each byte value by itself, as a number.
    w.form->CheckBox5->setChecked(true);
    for (unsigned char byte : all) w.Send(QString::number(byte));
    // The kernel's echo of the chatter: line ends and what stays in the line.
    EXPECT_TRUE(GetsAfterOpenEcho(port, all, "T\r\n0123456789"));
    EXPECT_EQ(w.Count("Send failed"), 0);
    w.Disconnect();
    EXPECT_TRUE(w.History().endsWith(QStringLiteral("%1 Closed\n").arg(port.name))) << w.Text();
}

INSTANTIATE_TEST_SUITE_P(Lab, BytesTest, ::testing::Values(kUart, kFtdi), ::testing::PrintToStringParamName());

// A 16550 that cannot transmit: its far end stops reading, so the chain behind the
// chip (virtio port, QEMU, socat, QEMU) fills and the UART holds its bytes. Neither a
// close nor Disconnect waits for them (the kernel's own close would wait 30 s): both
// end while the device still does not read, which it does again only after 20 s.
// What a send left queued in the driver at Disconnect is counted, and never goes later.
TEST(LabStall, OutputLeftQueuedAtDisconnectIsCountedAndDropped) {
    LAB_ONLY();
    Peer& device = Peer::Of(kUart);
    device.Drain();
    std::atomic<bool> reading{false};
    TestThread late("the device reading again", [&](const std::atomic<bool>& stop) {
        for (int i = 0; i < 2000 && !stop; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        reading = !stop;
        while (!stop) device.Read(65536, 100);
    });
    // Filler until a write times out: the chain holds a few KiB, and a moving line
    // takes 4 KiB well within a write's 0.3 s.
    const std::string filler(4096, '.');
    HANDLE h = CreateFileA(kUart.path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    int chunks = 0;
    while (chunks < 64 && WriteFile(h, filler.data(), DWORD(filler.size()), &written, nullptr)) ++chunks;
    ASSERT_TRUE(CloseHandle(h));
    ASSERT_LT(chunks, 64) << "256 KiB went and the line never stalled";
    EXPECT_FALSE(reading) << "the close waited for the stalled line";

    LabWindow w;
    ASSERT_TRUE(w.Connect(kUart));
    const QString line(200, 'U');
    w.Send(line);
    EXPECT_TRUE(w.History().contains("\nSent:" + line + "\n")) << w.Text();
    COMSTAT queued{};
    ASSERT_TRUE(ClearCommError(PortHandle, nullptr, &queued));
    ASSERT_GT(queued.cbOutQue, 1u);
    w.Disconnect();
    EXPECT_FALSE(reading) << "Disconnect waited for the stalled line";
    EXPECT_TRUE(w.History().endsWith(
        QStringLiteral("\n[%1 bytes not sent: the line stopped taking them]\nCOM1 Closed\n").arg(queued.cbOutQue)))
        << w.Text();
    late.Stop();
    device.Drain();

    // The device reads again; all that reaches it before a later marker is filler.
    h = CreateFileA(kUart.path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(WriteFile(h, "end", 3, &written, nullptr));
    std::string later = device.ReadUntil("end", 30000);
    EXPECT_TRUE(CloseHandle(h));
    ASSERT_TRUE(later.ends_with("end")) << later.size() << " bytes came, not the marker";
    later.resize(later.size() - 3);
    EXPECT_EQ(later.find_first_not_of('.'), std::string::npos) << later.substr(later.find_first_not_of('.'), 64);
}

// Output is held from the open until the line is raw: what a device sends once the
// port is open but still cooked is not echoed, while held (the driver counts it
// queued) nor later. (Bytes that come while open() itself runs are the kernel's.)
TEST(LabOpen, WhatComesWhileTheLineIsStillCookedIsNeverEchoed) {
    LAB_ONLY();
    Peer& device = Peer::Of(kUart);
    device.Drain();
    ASSERT_TRUE(TermiosOf(kUart).c_lflag & ECHO);
    int queuedWhileCooked = 0;
    SetLayerObserver([&](LayerEvent event) {
        if (event != LayerEvent::Opened) return;
        device.Write("late\r");
        const int fd = open(kUart.device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        // A cooked line counts whole lines in; held, its echo waits in the driver.
        for (int i = 0, in = 0; i < 3000 && (ioctl(fd, FIONREAD, &in) != 0 || in < 5 || queuedWhileCooked < 6); ++i) {
            ioctl(fd, TIOCOUTQ, &queuedWhileCooked);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        close(fd);
    });
    HANDLE h = CreateFileA(kUart.path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    SetLayerObserver(nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(queuedWhileCooked, 6) << "the echo of \"late\\r\" was not held";
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, "end", 3, &written, nullptr));
    EXPECT_EQ(device.ReadUntil("end", 10000), "end");
    EXPECT_TRUE(CloseHandle(h));
}

// The adapter pulled out and put back.
class UnplugTest : public ::testing::TestWithParam<LabPort> {
protected:
    void SetUp() override {
        LAB_ONLY();
        Peer::Of(kFtdi).Drain();
    }
    void TearDown() override {
        // The adapter is back for whatever runs next, whatever happened here.
        if (InLab() && access(kFtdi.device, F_OK) != 0) Replug();
    }
    LabWindow w;
};

// Pulled out while the device floods the line: one loss, and the new device is
// programmed afresh, to the same line, and passes bytes both ways; after a
// Disconnect, a connect opens it like any port.
TEST_P(UnplugTest, LossDuringAFloodIsSaidOnceReplugPutsEverythingBackAndConnectJustWorks) {
    ASSERT_TRUE(LabWindow::Pick(w.form->ComboBox2, "115200") && LabWindow::Pick(w.form->ComboBox4, "Even") &&
                LabWindow::Pick(w.form->ComboBox5, "Seven"));
    w.form->RadioButton4->setChecked(true);
    ASSERT_TRUE(w.Connect(kFtdi));
    const Chip connected = Trace::ChipOf(kFtdi);
    // The device talks at about the line's rate until it has been pulled out
    // (QEMU's model would otherwise pass everything at once).
    std::atomic<bool> pulled{false};
    std::thread device([&] {
        const std::string chunk(1024, 'F');
        for (int i = 0; i < 2000 && !pulled; ++i) {
            if (!Peer::Of(kFtdi).Write(chunk, 1000)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(80));
        }
    });
    const bool flowing = w.WaitForHistory("received:", 20000);
    const bool unplugged = Unplug();
    const bool lost = w.WaitForHistory("COM33 Lost (", 20000);
    pulled = true;
    device.join();
    ASSERT_TRUE(flowing && unplugged && lost) << w.Text();
    EXPECT_EQ(w.Count("COM33 Lost (device gone)\n"), 1) << w.Text();
    w.Send("gone");
    EXPECT_TRUE(w.History().contains("Send failed (0 of 4")) << w.Text();

    const std::size_t mark = Trace::Mark();
    ASSERT_TRUE(Replug());
    ASSERT_TRUE(w.WaitForHistory("COM33 Reopened", 20000)) << w.Text();
    EXPECT_EQ(Trace::ChipOf(kFtdi, mark), connected);
    EXPECT_EQ(std::pair(connected.parity, connected.dataBits), std::pair('E', 7));
    // Whatever the device still had queued comes first, then what it says now.
    ASSERT_TRUE(Peer::Of(kFtdi).Write("back\x11\r\x13"));
    EXPECT_TRUE(w.WaitForReceived("back\x11\r\x13", 60000)) << w.Text();
    // A new adapter's line starts cooked: what the kernel echoes at the reopen
    // can only be flood, never what the device said since.
    w.Send("ok");
    EXPECT_TRUE(GetsAfterOpenEcho(kFtdi, "ok", "F"));
    EXPECT_EQ(w.Count("Lost"), 1);
    EXPECT_EQ(w.Count("Reopened"), 1);
    w.Disconnect();

    ASSERT_TRUE(w.Connect(kFtdi)) << w.Text();
    EXPECT_TRUE(w.History().contains("COM33 Closed\nCOM33 Opened\n")) << w.Text();
    ASSERT_TRUE(Peer::Of(kFtdi).Write("hi"));
    EXPECT_TRUE(w.WaitForReceived("hi")) << w.Text();
    w.Send("yo");
    EXPECT_TRUE(GetsAfterOpenEcho(kFtdi, "yo", "F"));
    w.Disconnect();
}

// Parameterised only to run after the other suites, which want the adapter untouched.
INSTANTIATE_TEST_SUITE_P(Lab, UnplugTest, ::testing::Values(kFtdi), ::testing::PrintToStringParamName());

}  // namespace
