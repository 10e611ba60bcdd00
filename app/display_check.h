#pragma once
// Without a display Qt aborts with several lines about platform plugins. While the
// application object is being made, this turns that into one clear line on
// standard error and a plain exit code instead.

// Call before constructing the application object...
void BeginDisplayCheck(const char* programName);
// ...and after. Messages Qt gave meanwhile go to standard error as usual.
void EndDisplayCheck();

constexpr int kNoDisplayExitCode = 2;
