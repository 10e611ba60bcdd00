#pragma once
// Reading a history line the reader made back into the bytes it shows: the check
// that every byte received is shown once and in order.

#include "render.h"

#include <string>
#include <string_view>

// Appends the bytes of `line` ("received:" and one to ten bytes as RenderReceived
// writes them in `format`, without the break) to `out`. False, with `out` as it
// was, for any other line.
bool ParseReceivedLine(std::string_view line, ReceiveFormat format, std::string& out);
