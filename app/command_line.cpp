#include "command_line.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

#define MORREL_USAGE_LINE "Usage: morrelcom [--log FILE] [--timestamps MODE] [Qt options]\n"

const char kUsageLine[] = MORREL_USAGE_LINE "Try 'morrelcom --help' for more.\n";

const char kUsage[] =
    MORREL_USAGE_LINE
    "Morrel COM Port Tool ver 1.1: a serial terminal with one window.\n"
    "\n"
    "  --log FILE, --log=FILE  log the history to FILE from the start,\n"
    "                          appending if it exists\n"
    "  --timestamps MODE       show each line's time from the start, and log it:\n"
    "                          none, time (of day), since-connect or delta\n"
    "                          (since the line before)\n"
    "  -h, --help              show this help and exit\n"
    "  --version               show the version and exit\n"
    "  --                      ends the options\n"
    "\n"
    "Qt's own options pass to the toolkit, such as -platform NAME, -display NAME,\n"
    "-style NAME or -reverse. Any other argument is refused (exit status 2).\n";

namespace {

// Qt's options (QGuiApplication, QApplication and the X11 platform), with one or
// two leading dashes as Qt takes them.
constexpr std::array<std::string_view, 16> kToolkitWithValue = {
    "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
    "qwindowicon", "qwindowtitle", "session", "display", "geometry", "title", "icon",
    "name", "visual", "style", "stylesheet"};
constexpr std::array<std::string_view, 5> kToolkitFlags = {"reverse", "widgetcount", "nograb",
                                                           "dograb", "sync"};
// Given as -option=value only.
constexpr std::array<std::string_view, 3> kToolkitJoined = {"style=", "stylesheet=",
                                                            "qmljsdebugger="};

template <std::size_t N>
bool Listed(const std::array<std::string_view, N>& list, std::string_view name) {
    return std::find(list.begin(), list.end(), name) != list.end();
}

CommandLine Refused(std::string error) {
    CommandLine refused;
    refused.action = CommandLine::Action::Refuse;
    refused.error = std::move(error);
    return refused;
}

}  // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    CommandLine line;
    line.toolkitArguments.emplace_back(argc > 0 ? argv[0] : "morrelcom");
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!options || arg.size() < 2 || arg[0] != '-')
            return Refused("unexpected argument '" + std::string(arg) + "'");
        if (arg == "--") {
            options = false;
        } else if (arg == "--help" || arg == "-h") {
            line.action = CommandLine::Action::Help;
            return line;
        } else if (arg == "--version") {
            line.action = CommandLine::Action::Version;
            return line;
        } else if (arg == "--log") {
            if (i + 1 == argc || argv[i + 1][0] == '\0') return Refused("--log needs a file name");
            line.log = true;
            line.logPath = argv[++i];
        } else if (arg.starts_with("--log=")) {
            if (arg.size() == 6) return Refused("--log= needs a file name");
            line.log = true;
            line.logPath = arg.substr(6);
        } else if (arg == "--timestamps" || arg.starts_with("--timestamps=")) {
            std::string_view word;
            if (arg == "--timestamps") {
                if (i + 1 == argc) return Refused("--timestamps needs a mode");
                word = argv[++i];
            } else {
                word = arg.substr(13);
            }
            const std::optional<TimestampMode> mode = HistoryStamps::fromWord(word);
            if (!mode)
                return Refused("--timestamps takes none, time, since-connect or delta, not '" + std::string(word) + "'");
            line.timestamps = *mode;
        } else {
            const std::string_view name = arg.substr(arg.starts_with("--") ? 2 : 1);
            const bool joined = std::any_of(kToolkitJoined.begin(), kToolkitJoined.end(),
                                            [&](std::string_view p) {
                                                return name.size() > p.size() && name.starts_with(p);
                                            });
            if (Listed(kToolkitWithValue, name)) {
                if (i + 1 == argc) return Refused(std::string(arg) + " needs a value");
                line.toolkitArguments.emplace_back(arg);
                line.toolkitArguments.emplace_back(argv[++i]);
            } else if (Listed(kToolkitFlags, name) || joined) {
                line.toolkitArguments.emplace_back(arg);
            } else {
                return Refused("unknown option '" + std::string(arg) + "'");
            }
        }
    }
    return line;
}
