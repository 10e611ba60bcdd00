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

// Opens ConnectPath into PortHandle; true when it opened.
bool OpenConnectPath();

// Saves the port's time-outs, applies the connection's own, and writes the
// choices into the line state. A line state the port refuses is not reported: the
// connection goes on with what the port kept.
void ConfigureConnection(const LineChoices& choices);

// Puts the saved time-outs back and closes PortHandle. Only once the reader no
// longer uses the handle.
void RestoreAndClose();
