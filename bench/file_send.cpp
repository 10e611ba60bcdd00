// Sending a file through the sender (exchange/file_sender) over a pseudo-terminal
// whose other end a thread of this process drains as fast as it can:
//
//   file_send [--mib 64] [--lines 1000]
//
// - an unpaced file of --mib MiB: the rate, every byte checked as it arrives;
// - --lines short lines with 10 ms after each line end: how far the gap between
//   one line's end and the next, as the device sees it, is from 10 ms.
#include "bench.h"

#include "file_sender.h"
#include "pseudo_terminal.h"
#include "test_seam.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace bench;

namespace {

constexpr std::uint64_t kSeed = 0xf11e;

// What the device side saw: the bytes checked against the pattern (or counted),
// and when each line feed came.
struct Drained {
    std::uint64_t bytes = 0;
    bool asSent = true;
    std::vector<std::int64_t> lineEnds;
};

// Reads the leader until `expected` bytes came or `stop` is raised, then a
// second of silence.
void Drain(const Pty& pty, std::uint64_t expected, const std::string* exact, Drained& out,
           const std::atomic<bool>& stop) {
    Pattern pattern(kSeed, false);
    std::vector<char> buffer(1 << 16);
    while (out.bytes < expected && !stop) {
        pollfd p{pty.leader(), POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = read(pty.leader(), buffer.data(), buffer.size());
        if (n <= 0) continue;
        const std::int64_t now = NowNs();
        for (ssize_t i = 0; i < n; ++i) {
            const auto byte = static_cast<unsigned char>(buffer[std::size_t(i)]);
            const unsigned char want = exact ? static_cast<unsigned char>((*exact)[out.bytes]) : pattern.next();
            out.asSent = out.asSent && byte == want;
            if (byte == '\n') out.lineEnds.push_back(now);
            ++out.bytes;
        }
    }
}

// Sends `path` to the port and drains it; false when the send did not finish.
bool SendAndDrain(const Pty& pty, HANDLE port, const std::string& path, const FilePacing& pacing,
                  std::uint64_t size, const std::string* exact, Drained& drained, double& seconds) {
    FileSender sender(nullptr);
    FileSendJob job;
    job.path = path, job.port = port, job.pacing = pacing;
    std::atomic<bool> stop{false};
    std::thread device([&] { Drain(pty, size, exact, drained, stop); });
    const std::int64_t t0 = NowNs();
    sender.Start(job);
    const bool ended = sender.Wait(std::chrono::minutes(5));
    seconds = double(NowNs() - t0) / 1e9;
    const FileSendOutcome outcome = sender.TakeOutcome();
    for (const std::int64_t until = NowNs() + 5'000'000'000; drained.bytes < size && NowNs() < until;)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop = true;
    device.join();
    if (!outcome.stopped.empty()) std::printf("  the send stopped: %s\n", outcome.stopped.c_str());
    return ended && outcome.stopped.empty() && outcome.sent == size;
}

}  // namespace

int main(int argc, char** argv) {
    const auto mib = std::uint64_t(Arg(argc, argv, "--mib", 64));
    const int lines = int(Arg(argc, argv, "--lines", 1000));
    Pty pty;
    if (!pty.ok()) {
        std::printf("no pseudo-terminal\n");
        return 1;
    }
    MappedPort mapped(7, pty);
    HANDLE port = CreateFileA("\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::printf("the pseudo-terminal did not open as COM7\n");
        return 1;
    }
    char dir[] = "/tmp/file-send-bench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string big = std::string(dir) + "/big", paced = std::string(dir) + "/paced";

    Title("Send File over a pseudo-terminal drained at full speed");
    {
        const std::uint64_t size = mib << 20;
        std::ofstream out(big, std::ios::binary);
        Pattern pattern(kSeed, false);
        std::vector<char> chunk(1 << 20);
        for (std::uint64_t done = 0; done < size; done += chunk.size()) {
            for (char& c : chunk) c = static_cast<char>(pattern.next());
            out.write(chunk.data(), std::streamsize(chunk.size()));
        }
        out.close();
        Drained drained;
        double seconds = 0;
        const bool whole = SendAndDrain(pty, port, big, {}, size, nullptr, drained, seconds);
        const bool shown = drained.asSent && drained.bytes == size;
        if (!shown) std::printf("  NOT AS SENT: %llu of %llu bytes, in order: %d\n",
                                (unsigned long long)drained.bytes, (unsigned long long)size, drained.asSent);
        Row(std::to_string(mib) + " MiB unpaced", double(size) / seconds / 1e6, "MB/s", ">= 5", whole && shown &&
            double(size) / seconds >= 5e6);
        unlink(big.c_str());
    }
    {
        std::string text;
        for (int i = 0; i < lines; ++i) text += "line " + std::to_string(i) + "\n";
        std::ofstream(paced, std::ios::binary) << text;
        FilePacing pacing;
        pacing.lineDelayMs = 10;
        Drained drained;
        double seconds = 0;
        const bool whole = SendAndDrain(pty, port, paced, pacing, text.size(), &text, drained, seconds) &&
                           drained.asSent && drained.lineEnds.size() == std::size_t(lines);
        double sum = 0, worst = 0;
        std::vector<double> offs;
        for (std::size_t i = 1; i < drained.lineEnds.size(); ++i) {
            const double off = Ms(drained.lineEnds[i] - drained.lineEnds[i - 1]) - 10.0;
            sum += off;
            worst = std::max(worst, std::abs(off));
            offs.push_back(std::abs(off));
        }
        std::sort(offs.begin(), offs.end());
        const double mean = drained.lineEnds.size() > 1 ? sum / double(drained.lineEnds.size() - 1) : 0;
        const std::string what = std::to_string(lines) + " lines, 10 ms after each: ";
        Row(what + "mean off 10 ms", mean, "ms", "within +-2", whole && std::abs(mean) <= 2);
        Row(what + "worst off 10 ms", worst, "ms", "within +-2", whole && worst <= 2);
        // A loaded machine shows in the worst line alone; these tell it from a
        // sender that is off on every line.
        if (!offs.empty()) {
            Info(what + "median off", offs[offs.size() / 2], "ms");
            Info(what + "99th percentile off", offs[offs.size() * 99 / 100], "ms");
        }
        Info(what + "whole file", seconds, "s");
        unlink(paced.c_str());
    }
    CloseHandle(port);
    rmdir(dir);
    return gMissed == 0 ? 0 : 1;
}
