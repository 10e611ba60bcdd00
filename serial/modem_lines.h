#pragma once
// RTS and DTR. A pseudo-terminal has no modem lines, so tests watch what the layer
// asks for through this seam instead.

#include <functional>

enum class ModemLine { Rts, Dtr };

// Raises or drops one modem line on the open descriptor fd. The default uses
// TIOCMBIS/TIOCMBIC and treats ENOTTY/EINVAL (a pseudo-terminal) as success.
using ModemLineSetter = std::function<bool(int fd, ModemLine line, bool on)>;

// Replaces the setter (nullptr restores the default). Test seam only.
void SetModemLineSetter(ModemLineSetter setter);

bool SetModemLine(int fd, ModemLine line, bool on);
