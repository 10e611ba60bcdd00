#include "connection.h"

#include "ports.h"

HANDLE PortHandle = nullptr;
DCB LineState;
COMMTIMEOUTS SavedTimeouts;
DCB InForceState;

bool OpenConnectPath() {
    PortHandle = CreateFileA(ConnectPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr);
    return PortHandle != INVALID_HANDLE_VALUE;
}

void ConfigureConnection(const LineChoices& choices) {
    GetCommTimeouts(PortHandle, &SavedTimeouts);
    SetWorkTimeouts();
    SetCommTimeouts(PortHandle, &WorkTimeouts);
    GetCommState(PortHandle, &LineState);
    ApplyChoices(choices, LineState);
    SetCommState(PortHandle, &LineState);
    if (!GetCommState(PortHandle, &InForceState)) InForceState = LineState;
}

void CloseLostPort() {
    CloseHandle(PortHandle);
    PortHandle = INVALID_HANDLE_VALUE;
}

bool ReopenConnectPath() {
    if (!OpenConnectPath()) return false;
    SetCommTimeouts(PortHandle, &WorkTimeouts);
    SetCommState(PortHandle, &InForceState);
    return true;
}

DWORD DiscardUnsentOutput() {
    COMSTAT queued;
    if (FlushFileBuffers(PortHandle) || !ClearCommError(PortHandle, nullptr, &queued)) return 0;
    PurgeComm(PortHandle, PURGE_TXCLEAR);
    return queued.cbOutQue;
}

void RestoreAndClose() {
    SetCommTimeouts(PortHandle, &SavedTimeouts);
    CloseHandle(PortHandle);
}
