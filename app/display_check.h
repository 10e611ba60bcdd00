#pragma once
// Without a display Qt aborts with several lines about platform plugins. While the
// application object is being made, this turns that into one clear line on
// standard error and a plain exit code instead.

// Call before constructing the application object...
void BeginDisplayCheck(const char* programName);
// ...and after. Messages Qt gave meanwhile go to standard error as usual.
void EndDisplayCheck();

constexpr int kNoDisplayExitCode = 2;

// For the program's whole run. When the X server goes away, Qt's X11 platform
// says "The X11 connection broke" and calls exit(1) at once, from inside the
// event loop. This runs `orderlyEnd` (once) as that message passes, so the port
// is put back and the log written before that exit; and an exit() from anywhere
// that skips the orderly end still puts every open port's settings back.
void WatchDisplayLoss(void (*orderlyEnd)());
