#include "line_settings.h"

COMMTIMEOUTS WorkTimeouts;

void SetWorkTimeouts() {
    WorkTimeouts.ReadIntervalTimeout = 0;
    WorkTimeouts.ReadTotalTimeoutMultiplier = 0;
    WorkTimeouts.ReadTotalTimeoutConstant = 20;
    WorkTimeouts.WriteTotalTimeoutMultiplier = 0;
    WorkTimeouts.WriteTotalTimeoutConstant = 0;
}

namespace {

// The value at `position`, or nothing when the position is outside the list.
template <size_t N>
bool ValueAt(const std::array<SettingChoice, N>& list, int position, DWORD& value) {
    if (position < 0 || position >= static_cast<int>(N)) return false;
    value = list[static_cast<size_t>(position)].value;
    return true;
}

}  // namespace

void ApplyChoices(const LineChoices& choices, DCB& line) {
    DWORD value = 0;
    if (ValueAt(kBaudChoices, choices.baudPosition, value)) line.BaudRate = value;
    if (ValueAt(kStopBitChoices, choices.stopBitsPosition, value))
        line.StopBits = static_cast<BYTE>(value);
    if (ValueAt(kParityChoices, choices.parityPosition, value))
        line.Parity = static_cast<BYTE>(value);
    line.fParity = choices.checkParity ? 1 : 0;
    if (ValueAt(kDataBitChoices, choices.dataBitsPosition, value))
        line.ByteSize = static_cast<BYTE>(value);
    if (choices.rtsOff) line.fRtsControl = RTS_CONTROL_DISABLE;
    if (choices.rtsOn) line.fRtsControl = RTS_CONTROL_ENABLE;
    if (choices.dtrOff) line.fDtrControl = DTR_CONTROL_DISABLE;
    if (choices.dtrOn) line.fDtrControl = DTR_CONTROL_ENABLE;
}
