// The serial layer's timing on a pseudo-terminal: how long an empty read with the
// reader's 20 ms time-out takes, and how soon PurgeComm(PURGE_RXABORT) ends a read
// pending in another thread.
//
//   serial_timing [--rounds 100]
#include "bench.h"

#include "pseudo_terminal.h"
#include "test_seam.h"
#include "win32.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace bench;

namespace {

void SetReadTimeout(HANDLE port, DWORD ms) {
    COMMTIMEOUTS t;
    t.ReadTotalTimeoutConstant = ms;
    SetCommTimeouts(port, &t);
}

std::vector<double> EmptyReads(HANDLE port, int rounds) {
    SetReadTimeout(port, 20);
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        unsigned char buffer[10];
        DWORD n = 0;
        const std::int64_t t0 = NowNs();
        ReadFile(port, buffer, sizeof buffer, &n, nullptr);
        ms.push_back(Ms(NowNs() - t0));
    }
    std::sort(ms.begin(), ms.end());
    return ms;
}

// The reader says when each read starts; the purge follows 3 ms later, so the read
// is waiting by then.
std::vector<double> AbortLatencies(HANDLE port, int rounds) {
    SetReadTimeout(port, 5000);
    std::atomic<int> started{0}, finished{0};
    std::atomic<std::int64_t> returnedAt{0};
    std::thread reader([&] {
        for (int i = 1; i <= rounds; ++i) {
            unsigned char buffer[10];
            DWORD n = 0;
            started = i;
            ReadFile(port, buffer, sizeof buffer, &n, nullptr);
            returnedAt = NowNs();
            finished = i;
        }
    });
    std::vector<double> ms;
    for (int i = 1; i <= rounds; ++i) {
        while (started < i) usleep(100);  // not spinning: the reader needs the core
        usleep(3000);
        const std::int64_t purgedAt = NowNs();
        PurgeComm(port, PURGE_RXABORT);
        while (finished < i) usleep(100);
        ms.push_back(Ms(returnedAt - purgedAt));
    }
    reader.join();
    std::sort(ms.begin(), ms.end());
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = std::max(1, int(Arg(argc, argv, "--rounds", 100)));
    Pty pty;
    UseOnlyOverriddenPorts(true);
    OverridePortDevice(1, pty.followerPath());
    const HANDLE port = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    Title("Serial timing on a pty: empty reads with the 20 ms time-out, aborts");
    if (!pty.ok() || port == INVALID_HANDLE_VALUE) {
        Row("the pty opens as COM1", 0, "", "opens", false);
        return 1;
    }
    const std::vector<double> reads = EmptyReads(port, rounds);
    Row("empty read, shortest of " + std::to_string(rounds), reads.front(), "ms", ">= 20", reads.front() >= 20);
    Info("empty read, median", reads[reads.size() / 2], "ms");
    Info("empty read, longest", reads.back(), "ms");
    const std::vector<double> aborts = AbortLatencies(port, rounds);
    Info("PurgeComm(PURGE_RXABORT) until the read ends, median", aborts[aborts.size() / 2], "ms");
    Info("PurgeComm(PURGE_RXABORT) until the read ends, longest", aborts.back(), "ms");
    CloseHandle(port);
    ClearPortOverrides();
    return gMissed ? 1 : 0;
}
