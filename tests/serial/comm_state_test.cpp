#include "serial_fixture.h"

#include <mutex>
#include <vector>

namespace {

class BaudRateTest : public PtyPortTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(BaudRateTest, IsSetAndReadBackExactly) {
    Open();
    DCB dcb;
    ASSERT_TRUE(GetCommState(handle_, &dcb));
    dcb.BaudRate = GetParam();
    ASSERT_TRUE(SetCommState(handle_, &dcb));
    DCB back;
    ASSERT_TRUE(GetCommState(handle_, &back));
    EXPECT_EQ(back.BaudRate, GetParam());
}

// Every rate the program offers, standard and not.
INSTANTIATE_TEST_SUITE_P(ProgramRates, BaudRateTest,
                         ::testing::Values(110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000,
                                           57600, 115200, 128000, 230400, 256000, 460800, 921600, 1843200,
                                           6250000));

using CommStateTest = PtyPortTest;

TEST_F(CommStateTest, StopBitsAndParityReachThePty) {
    Open();
    DCB dcb;
    ASSERT_TRUE(GetCommState(handle_, &dcb));
    dcb.StopBits = TWOSTOPBITS;
    dcb.Parity = ODDPARITY;
    dcb.fParity = 1;
    ASSERT_TRUE(SetCommState(handle_, &dcb));
    DCB back;
    ASSERT_TRUE(GetCommState(handle_, &back));
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.fParity, 1u);
    // The pty keeps 8 data bits and no parity whatever is asked.
    EXPECT_EQ(back.ByteSize, 8);
}

TEST_F(CommStateTest, ARefusedStateChangesNothing) {
    Open();
    DCB before;
    ASSERT_TRUE(GetCommState(handle_, &before));
    DCB refused = before;
    refused.BaudRate = 6250000;
    refused.ByteSize = 5;
    refused.StopBits = TWOSTOPBITS;
    EXPECT_FALSE(SetCommState(handle_, &refused));
    DCB after;
    ASSERT_TRUE(GetCommState(handle_, &after));
    EXPECT_EQ(after.BaudRate, before.BaudRate);
    EXPECT_EQ(after.StopBits, before.StopBits);
}

struct LineCall {
    ModemLine line;
    bool on;
    bool operator==(const LineCall&) const = default;
};

class ModemLineTest : public PtyPortTest {
protected:
    void SetUp() override {
        PtyPortTest::SetUp();
        SetModemLineSetter([this](int, ModemLine line, bool on) {
            std::lock_guard lock(mutex_);
            calls_.push_back({line, on});
            return !(failDtr_ && line == ModemLine::Dtr);
        });
    }
    std::vector<LineCall> Calls() {
        std::lock_guard lock(mutex_);
        return std::exchange(calls_, {});
    }

    std::mutex mutex_;
    std::vector<LineCall> calls_;
    bool failDtr_ = false;
};

TEST_F(ModemLineTest, RtsAndDtrFollowTheDcb) {
    Open();
    DCB dcb;
    ASSERT_TRUE(GetCommState(handle_, &dcb));
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(handle_, &dcb));
    EXPECT_EQ(Calls(), (std::vector<LineCall>{{ModemLine::Rts, true}, {ModemLine::Dtr, false}}));
    DCB back;
    ASSERT_TRUE(GetCommState(handle_, &back));
    EXPECT_EQ(back.fRtsControl, RTS_CONTROL_ENABLE);
    EXPECT_EQ(back.fDtrControl, DTR_CONTROL_DISABLE);

    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(handle_, &dcb));
    EXPECT_EQ(Calls(), (std::vector<LineCall>{{ModemLine::Rts, false}, {ModemLine::Dtr, true}}));

    // Handshake hands RTS to the driver: it is not set by hand.
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ASSERT_TRUE(SetCommState(handle_, &dcb));
    EXPECT_EQ(Calls(), (std::vector<LineCall>{{ModemLine::Dtr, true}}));
    ASSERT_TRUE(GetCommState(handle_, &back));
    EXPECT_EQ(back.fRtsControl, RTS_CONTROL_HANDSHAKE);
}

TEST_F(ModemLineTest, AFailingLineUndoesTheWholeState) {
    Open();
    DCB before;
    ASSERT_TRUE(GetCommState(handle_, &before));
    Calls();
    failDtr_ = true;
    DCB dcb = before;
    dcb.BaudRate = 57600;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    EXPECT_FALSE(SetCommState(handle_, &dcb));
    EXPECT_EQ(Calls(), (std::vector<LineCall>{{ModemLine::Rts, true}, {ModemLine::Dtr, true}, {ModemLine::Rts, false}}));
    DCB after;
    ASSERT_TRUE(GetCommState(handle_, &after));
    EXPECT_EQ(after.BaudRate, before.BaudRate);
    EXPECT_EQ(after.fRtsControl, before.fRtsControl);
}

}  // namespace
