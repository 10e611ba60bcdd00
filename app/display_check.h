#pragma once

// True when the program can show its window. Otherwise it says why in one line on
// standard error, where Qt would abort with several lines about plugins.
bool CanOpenDisplay(const char* programName);
