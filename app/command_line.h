#pragma once
// The command line, read strictly as Linux tools read theirs: an option the
// program does not know is refused, not ignored, so a mistyped --log never starts
// a capture that logs nothing. Qt's own options pass, by an explicit list.

#include "history_stamps.h"

#include <string>
#include <vector>

struct CommandLine {
    enum class Action { Run, Help, Version, Refuse };
    Action action = Action::Run;
    bool log = false;
    // The file name exactly as given: bytes, not text, so a name that is not
    // UTF-8 reaches the file system unchanged.
    std::string logPath;
    // --timestamps MODE: how lines' times show from the start.
    TimestampMode timestamps = TimestampMode::None;
    // Refuse: what was wrong, one line without the program's name.
    std::string error;
    // The program's name and the Qt options, in order: what the toolkit gets.
    std::vector<std::string> toolkitArguments;
};

CommandLine ParseCommandLine(int argc, const char* const* argv);

// The usage for --help (standard output), and its first line for a refusal
// (standard error).
extern const char kUsage[];
extern const char kUsageLine[];

constexpr int kUsageExitCode = 2;
