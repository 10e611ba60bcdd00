#pragma once
// The one open connection: its handle and the records connect and disconnect keep.
// Used from the window's thread only; the reader gets the handle handed to it.

#include "line_settings.h"
#include "win32.h"

// Nothing open before the first connect; INVALID_HANDLE_VALUE after a failed open;
// a closed handle after a disconnect (never used again).
extern HANDLE PortHandle;
extern DCB LineState;
extern COMMTIMEOUTS SavedTimeouts;
// The line state the port holds after the connect set it, read back.
extern DCB InForceState;

// Opens ConnectPath into PortHandle; true when it opened.
bool OpenConnectPath();

// Saves the port's time-outs, applies the connection's own, writes the choices
// into the line state, and reads back what the port holds into InForceState. A
// line state the port refuses leaves the connection with what the port kept.
void ConfigureConnection(const LineChoices& choices);

// After the device failed: closes PortHandle, which is left INVALID_HANDLE_VALUE.
void CloseLostPort();

// Opens ConnectPath again and gives it the connection's time-outs and the line
// state that was in force; true when it opened.
bool ReopenConnectPath();

// Gives the output still queued a short while to go, then discards the rest;
// returns how many bytes were discarded.
DWORD DiscardUnsentOutput();

// Puts the saved time-outs back and closes PortHandle. Only once the reader no
// longer uses the handle.
void RestoreAndClose();
