// Timing of the serial layer on a pseudo-terminal: how long an empty read with the
// connection's 20 ms time-out really takes, and how soon PurgeComm(PURGE_RXABORT)
// ends a read pending in another thread. Prints a small table.

#include "ports.h"
#include "test_seam.h"
#include "win32.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kPort = 1;
constexpr int kRounds = 100;

double NowUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

void PrintRow(const char* what, std::vector<double> us) {
    std::sort(us.begin(), us.end());
    std::printf("%-40s %10.1f %10.1f %10.1f\n", what, us.front(), us[us.size() / 2], us.back());
}

HANDLE OpenPty(int* leader, int* follower) {
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    cfsetspeed(&raw, B9600);
    if (openpty(leader, follower, name, &raw, nullptr) != 0) return INVALID_HANDLE_VALUE;
    UseOnlyOverriddenPorts(true);
    OverridePortDevice(kPort, name);
    return CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

std::vector<double> EmptyReads(HANDLE port) {
    COMMTIMEOUTS t;
    t.ReadTotalTimeoutConstant = 20;
    SetCommTimeouts(port, &t);
    std::vector<double> us;
    unsigned char buffer[10];
    for (int i = 0; i < kRounds; ++i) {
        DWORD n = 0;
        const double start = NowUs();
        ReadFile(port, buffer, sizeof buffer, &n, nullptr);
        us.push_back(NowUs() - start);
    }
    return us;
}

// The reader announces each read just before it starts; the purge follows a short
// pause so that the read is really waiting in poll.
std::vector<double> AbortLatencies(HANDLE port) {
    COMMTIMEOUTS t;
    t.ReadTotalTimeoutConstant = 5000;
    SetCommTimeouts(port, &t);
    std::atomic<int> started{0};
    std::atomic<double> returnedAt{0};
    std::atomic<int> finished{0};
    std::thread reader([&] {
        unsigned char buffer[10];
        for (int i = 0; i < kRounds; ++i) {
            DWORD n = 0;
            started = i + 1;
            ReadFile(port, buffer, sizeof buffer, &n, nullptr);
            returnedAt = NowUs();
            finished = i + 1;
        }
    });
    std::vector<double> us;
    for (int i = 0; i < kRounds; ++i) {
        while (started < i + 1) usleep(100);  // not spinning: the reader needs the core
        usleep(3000);
        const double purgedAt = NowUs();
        PurgeComm(port, PURGE_RXABORT);
        while (finished < i + 1) usleep(100);  // not spinning: the reader needs the core
        us.push_back(returnedAt - purgedAt);
    }
    reader.join();
    return us;
}

double ThreadCpuUs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

}  // namespace

int main() {
    int leader = -1, follower = -1;
    HANDLE port = OpenPty(&leader, &follower);
    if (port == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open a pseudo-terminal as a port\n");
        return 1;
    }
    std::printf("%-40s %10s %10s %10s\n", "microseconds, " "100 rounds", "best", "median", "worst");
    PrintRow("empty ReadFile, 20 ms total time-out", EmptyReads(port));
    PrintRow("PurgeComm(PURGE_RXABORT) to read return", AbortLatencies(port));

    // The other end goes away: reads must keep their pace instead of spinning.
    close(leader);
    close(follower);
    const double cpuBefore = ThreadCpuUs();
    const std::vector<double> dead = EmptyReads(port);
    const double cpu = ThreadCpuUs() - cpuBefore;
    PrintRow("empty ReadFile, 20 ms, after hang-up", dead);
    double wall = 0;
    for (double d : dead) wall += d;
    std::printf("CPU used by those reads: %.3f%% of their wall time\n", 100.0 * cpu / wall);

    CloseHandle(port);
    ClearPortOverrides();
    return 0;
}
