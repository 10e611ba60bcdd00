#pragma once
// A port number mapped onto a fresh pseudo-terminal, with the port table, the
// modem-line setter and the lock directories put back after every test.

#include "measure.h"
#include "ports.h"
#include "pty_pair.h"
#include "test_seam.h"
#include "win32.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

constexpr int kTestPort = 7;
inline const char* const kTestPath = "\\\\.\\COM7";

// Opens the mapped port as the program does.
inline HANDLE OpenTestPort() {
    return CreateFileA(kTestPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

class PtyPortTest : public ::testing::Test {
protected:
    void SetUp() override { UseOnlyOverriddenPorts(true); }
    void TearDown() override {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        ClearPortOverrides();
        SetModemLineSetter(nullptr);
        RestoreUucpLockDirectories();
    }

    // Opens the port for the fixture to close; fails the test when it cannot.
    HANDLE Open() {
        handle_ = OpenTestPort();
        EXPECT_NE(handle_, INVALID_HANDLE_VALUE);
        return handle_;
    }
    void SetReadTimeouts(DWORD interval, DWORD multiplier, DWORD constant) {
        const COMMTIMEOUTS t{interval, multiplier, constant, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(handle_, &t));
    }
    // One ReadFile of up to `count` bytes; the bytes read, and the result in `ok`.
    std::string Read(DWORD count, BOOL* ok = nullptr) {
        std::string buffer(count, '\0');
        DWORD n = 12345;
        const BOOL result = ReadFile(handle_, buffer.data(), count, &n, nullptr);
        if (ok) *ok = result;
        buffer.resize(n);
        return buffer;
    }

    PtyPair pty_;
    MappedPort mapped_{kTestPort, pty_};
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// A fresh folder under /tmp, removed with everything in it.
struct TempDir {
    TempDir() {
        char name[] = "/tmp/serial-test-XXXXXX";
        if (mkdtemp(name)) path = name;
        else ADD_FAILURE() << "mkdtemp failed";
    }
    ~TempDir() {
        if (!path.empty()) std::filesystem::remove_all(path);
    }
    std::filesystem::path path;
};

// Runs `body` in a child process as nobody when we are root (root may open any
// device, passes TIOCEXCL and may signal any process), as a user meets the port;
// what went wrong by its account, "" when nothing. The child gets 10 s.
inline std::string AsAnotherUser(const std::function<std::string()>& body) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return "no pipe";
    const pid_t child = fork();
    if (child == 0) {
        std::string failed = geteuid() != 0 || (setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 &&
                                                setresuid(65534, 65534, 65534) == 0)
                                 ? body()
                                 : "could not become nobody";
        _exit(write(out[1], failed.data(), failed.size()) < 0);
    }
    close(out[1]);
    std::string told(256, '\0');
    pollfd p{out[0], POLLIN, 0};
    const ssize_t n = child > 0 && poll(&p, 1, 10000) == 1 ? read(out[0], told.data(), told.size()) : -1;
    close(out[0]);
    if (child > 0) kill(child, SIGKILL), waitpid(child, nullptr, 0);
    return n < 0 ? "the child did not answer" : told.substr(0, std::size_t(n));
}

// Milliseconds spent by `f`.
template <typename F>
double ElapsedMs(F&& f) {
    const std::int64_t start = NowNs();
    f();
    return (NowNs() - start) / 1e6;
}
