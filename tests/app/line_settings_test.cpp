// Writing the user's choices into the line state, by position.
#include "line_settings.h"

#include <gtest/gtest.h>

namespace {

TEST(LineSettings, DefaultsGive9600EightNoneOne) {
    DCB line;
    line.BaudRate = 4800;
    line.fParity = 1;
    LineChoices choices;
    choices.baudPosition = kSettingLists[0].defaultPosition;
    choices.stopBitsPosition = kSettingLists[1].defaultPosition;
    choices.parityPosition = kSettingLists[2].defaultPosition;
    choices.dataBitsPosition = kSettingLists[3].defaultPosition;
    choices.rtsOff = choices.dtrOff = true;
    ApplyChoices(choices, line);
    EXPECT_EQ(line.BaudRate, 9600u);
    EXPECT_EQ(line.StopBits, ONESTOPBIT);
    EXPECT_EQ(line.Parity, NOPARITY);
    EXPECT_EQ(line.fParity, 0u);
    EXPECT_EQ(line.ByteSize, 8);
    EXPECT_EQ(line.fRtsControl, RTS_CONTROL_DISABLE);
    EXPECT_EQ(line.fDtrControl, DTR_CONTROL_DISABLE);
}

TEST(LineSettings, ParityIsTakenByPositionNotValueOrder) {
    const BYTE expected[] = {EVENPARITY, MARKPARITY, NOPARITY, ODDPARITY};
    for (int position = 0; position < 4; ++position) {
        DCB line;
        LineChoices choices;
        choices.parityPosition = position;
        ApplyChoices(choices, line);
        EXPECT_EQ(line.Parity, expected[position]) << position;
    }
}

TEST(LineSettings, EveryBaudPositionGivesItsRate) {
    for (size_t position = 0; position < kBaudChoices.size(); ++position) {
        DCB line;
        LineChoices choices;
        choices.baudPosition = static_cast<int>(position);
        ApplyChoices(choices, line);
        EXPECT_EQ(std::to_string(line.BaudRate), kBaudChoices[position].item);
    }
}

TEST(LineSettings, NoSelectedPositionKeepsWhatThePortReported) {
    DCB line;
    line.BaudRate = 1234;
    line.StopBits = TWOSTOPBITS;
    line.Parity = SPACEPARITY;
    line.ByteSize = 6;
    line.fRtsControl = RTS_CONTROL_HANDSHAKE;
    line.fOutX = 1;
    LineChoices choices;  // every position -1, no radio button checked
    choices.baudPosition = 20;  // past the end, as an edited selector cannot give
    ApplyChoices(choices, line);
    EXPECT_EQ(line.BaudRate, 1234u);
    EXPECT_EQ(line.StopBits, TWOSTOPBITS);
    EXPECT_EQ(line.Parity, SPACEPARITY);
    EXPECT_EQ(line.ByteSize, 6);
    EXPECT_EQ(line.fRtsControl, RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(line.fOutX, 1u);
}

TEST(LineSettings, OnWinsOverOffAndCheckParitySetsTheFlag) {
    DCB line;
    LineChoices choices;
    choices.rtsOff = choices.rtsOn = true;
    choices.dtrOn = true;
    choices.checkParity = true;
    choices.stopBitsPosition = 1;
    choices.dataBitsPosition = 0;
    ApplyChoices(choices, line);
    EXPECT_EQ(line.fRtsControl, RTS_CONTROL_ENABLE);
    EXPECT_EQ(line.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(line.fParity, 1u);
    EXPECT_EQ(line.StopBits, ONE5STOPBITS);
    EXPECT_EQ(line.ByteSize, 5);
}

}  // namespace
