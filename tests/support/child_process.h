#pragma once
// The program run as a process of its own, for the tests of how it ends: started,
// waited for with a bound, and what it leaves behind (the port's settings, its log).

#include "test_files.h"
#include "test_thread.h"

#include <algorithm>
#include <csignal>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <termios.h>
#include <vector>

extern char** environ;

// Starts `arguments` (the program first) with the test's environment, in which
// `environment` replaces what it sets of the same names; the pid, or -1.
inline pid_t Spawn(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {}) {
    std::vector<std::string> env = environment;
    for (char** e = environ; *e; ++e) {
        const std::string_view name = std::string_view(*e).substr(0, std::string_view(*e).find('=') + 1);
        if (std::ranges::none_of(environment, [&](const std::string& own) { return own.starts_with(name); }))
            env.emplace_back(*e);
    }
    std::vector<char*> argv, envp;
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    pid_t pid = -1;
    return posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) == 0 ? pid : -1;
}

// The child's wait status, or -1 when it had not ended within `ms` (it is then killed).
inline int WaitForExit(pid_t pid, int ms) {
    int status = 0;
    if (WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::milliseconds(ms)))
        return status;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

// All that a port's settings hold, to compare and to show.
inline std::string Describe(const termios& t) {
    std::string all = "iflag " + std::to_string(t.c_iflag) + " oflag " + std::to_string(t.c_oflag) + " cflag " +
                      std::to_string(t.c_cflag) + " lflag " + std::to_string(t.c_lflag) + " speed " +
                      std::to_string(cfgetospeed(&t)) + " cc";
    for (const cc_t c : t.c_cc) all += ' ' + std::to_string(c);
    return all;
}

// What a log file holds before the log's own closing line.
inline std::string LoggedText(const std::string& path) {
    std::string text = FileText(path);
    if (const auto end = text.rfind("\n[log "); end != std::string::npos) text.resize(end + 1);
    return text;
}
