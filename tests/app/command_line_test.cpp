// The command line: strict as Linux tools are, file names kept as bytes, Qt's
// own options passed on; and the built program's exit statuses.
#include "command_line.h"

#include <QProcess>
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

using Action = CommandLine::Action;

struct LineCase {
    std::vector<std::string> arguments;  // after the program's name
    Action action;
    std::string logPath;                    // when Run with a log
    std::vector<std::string> toolkit = {};  // after the program's name, when Run
    TimestampMode timestamps = TimestampMode::None;
};

void PrintTo(const LineCase& c, std::ostream* out) {
    for (const std::string& a : c.arguments) *out << '[' << a << ']';
}

class CommandLineRules : public ::testing::TestWithParam<LineCase> {};

TEST_P(CommandLineRules, Parse) {
    const LineCase& c = GetParam();
    std::vector<const char*> argv = {"morrelcom"};
    for (const std::string& a : c.arguments) argv.push_back(a.c_str());
    const CommandLine line = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(line.action, c.action) << line.error;
    EXPECT_EQ(line.error.empty(), c.action != Action::Refuse);
    if (c.action != Action::Run) return;
    EXPECT_EQ(line.log, !c.logPath.empty());
    EXPECT_EQ(line.logPath, c.logPath);
    EXPECT_EQ(line.timestamps, c.timestamps);
    std::vector<std::string> toolkit = {"morrelcom"};
    toolkit.insert(toolkit.end(), c.toolkit.begin(), c.toolkit.end());
    EXPECT_EQ(line.toolkitArguments, toolkit);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CommandLineRules,
    ::testing::Values(
        LineCase{{}, Action::Run, ""},
        LineCase{{"--log", "a b.txt"}, Action::Run, "a b.txt"},
        LineCase{{"--log=x=y.log"}, Action::Run, "x=y.log"},
        LineCase{{"--log=caf\xe9.log"}, Action::Run, "caf\xe9.log"},
        LineCase{{"--log", "-platform"}, Action::Run, "-platform"},
        LineCase{{"-platform", "offscreen", "--display", ":3", "-reverse", "-style=Fusion", "--log", "f"},
                 Action::Run, "f", {"-platform", "offscreen", "--display", ":3", "-reverse", "-style=Fusion"}},
        LineCase{{"--"}, Action::Run, ""},
        LineCase{{"--", "-reverse"}, Action::Refuse, ""},
        LineCase{{"capture.txt"}, Action::Refuse, ""},
        LineCase{{"--log="}, Action::Refuse, ""},
        LineCase{{"--log"}, Action::Refuse, ""},
        LineCase{{"--log", ""}, Action::Refuse, ""},
        LineCase{{"--logfile", "x"}, Action::Refuse, ""},
        LineCase{{"--timestamps", "since-connect", "--log", "f"}, Action::Run, "f", {}, TimestampMode::SinceConnect},
        LineCase{{"--timestamps=delta"}, Action::Run, "", {}, TimestampMode::SincePrevious},
        LineCase{{"--timestamps", "Time"}, Action::Refuse, ""},
        LineCase{{"--timestamps"}, Action::Refuse, ""},
        LineCase{{"-log", "x"}, Action::Refuse, ""},
        LineCase{{"--bogus"}, Action::Refuse, ""},
        LineCase{{"-platform"}, Action::Refuse, ""},
        LineCase{{"--help", "--bogus"}, Action::Help, ""},
        LineCase{{"-h"}, Action::Help, ""},
        LineCase{{"--version"}, Action::Version, ""}));

// The built program: the answers and exit statuses a script sees, with no display.
TEST(CommandLineProgram, HelpExitsZeroAndAnUnknownOptionTwoWithTheUsage) {
    // The exit code (-1 when it crashed or hung), standard output and error.
    const auto run = [](const char* option) {
        QProcess program;
        program.start(QStringLiteral(MORREL_PROGRAM), {QString::fromLatin1(option)});
        const bool ended = program.waitForFinished(10000) && program.exitStatus() == QProcess::NormalExit;
        if (!ended) program.kill(), program.waitForFinished(5000);
        return std::tuple{ended ? program.exitCode() : -1, program.readAllStandardOutput(),
                          program.readAllStandardError()};
    };
    const auto [helpCode, helpOut, helpErr] = run("--help");
    EXPECT_EQ(helpCode, 0);
    EXPECT_TRUE(helpOut.startsWith("Usage: morrelcom")) << helpOut.toStdString();
    EXPECT_TRUE(helpErr.isEmpty());
    const auto [bogusCode, bogusOut, bogusErr] = run("--bogus");
    EXPECT_EQ(bogusCode, 2);
    EXPECT_TRUE(bogusOut.isEmpty());
    EXPECT_TRUE(bogusErr.contains("unknown option '--bogus'") && bogusErr.contains("Usage: morrelcom"))
        << bogusErr.toStdString();
}

}  // namespace
