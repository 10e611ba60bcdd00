#pragma once
// What the benchmarks share: arguments, the table every program prints (each
// figure beside its target, with a verdict; the exit status says whether all were
// met), a reproducible byte stream, and the check that a history shows exactly the
// bytes sent, once and in order.

#include "bench_measure.h"
#include "history_store.h"
#include "measure.h"
#include "received_line.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace bench {

inline int gMissed = 0;

// "--name value" from argv, or the fallback.
inline double Arg(int argc, char** argv, const char* name, double fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return std::atof(argv[i + 1]);
    return fallback;
}

inline void Title(const char* title) {
    std::printf("\n== %s ==\n%-54s %13s  %-16s %s\n", title, "figure", "measured", "target", "verdict");
}

// A figure against its target; `met` holds only when whatever the figure depends
// on (every byte shown, say) held too.
inline void Row(const std::string& figure, double value, const char* unit, const std::string& target, bool met) {
    char measured[64];
    std::snprintf(measured, sizeof measured, value < 1e4 ? "%.2f %s" : "%.0f %s", value, unit);
    std::printf("%-54s %13s  %-16s %s\n", figure.c_str(), measured, target.c_str(), met ? "ok" : "MISSED");
    std::fflush(stdout);
    gMissed += met ? 0 : 1;
}

// A figure without a target of its own, printed to explain the others.
inline void Info(const std::string& figure, double value, const char* unit) {
    char measured[64];
    std::snprintf(measured, sizeof measured, "%.2f %s", value, unit);
    std::printf("%-54s %13s  %-16s\n", figure.c_str(), measured, "-");
}

inline double Ms(std::int64_t ns) { return double(ns) / 1e6; }

// Pseudo-random bytes that the check regenerates instead of keeping what was sent.
// For ASCII the line-break bytes are replaced, since the history breaks lines there.
class Pattern {
public:
    Pattern(std::uint64_t seed, bool textSafe) : state_(seed | 1), textSafe_(textSafe) {}
    unsigned char next() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        auto b = static_cast<unsigned char>((state_ * 0x2545F4914F6CDD1DULL) >> 56);
        return textSafe_ && (b == '\n' || b == '\r') ? static_cast<unsigned char>(b + 'A') : b;
    }

private:
    std::uint64_t state_;
    bool textSafe_;
};

// "" when the history holds `sent` bytes of `expected`, in order, in received lines,
// and besides them only the connect record and the open last line.
inline std::string CheckHistory(const HistoryStore& store, ReceiveFormat format, Pattern expected,
                                std::uint64_t sent) {
    std::string bytes;
    std::uint64_t shown = 0;
    const qsizetype lines = store.lineCount();
    for (qsizetype i = 0; i < lines; ++i) {
        const std::string_view line = store.lineText(i);
        if ((i == 0 && line == "COM3 Opened") || (i == lines - 1 && line.empty())) continue;
        bytes.clear();
        if (!ParseReceivedLine(line, format, bytes))
            return "line " + std::to_string(i) + " is no received line: " + std::string(line.substr(0, 60));
        for (const char c : bytes)
            if (static_cast<unsigned char>(c) != expected.next())
                return "byte " + std::to_string(shown) + " is not the one sent";
            else
                ++shown;
    }
    return shown == sent ? "" : std::to_string(shown) + " of " + std::to_string(sent) + " bytes shown";
}

// Prints why the check failed, if it did; true when it did not.
inline bool Shown(const std::string& problem) {
    if (!problem.empty()) std::printf("  NOT SHOWN AS SENT: %s\n", problem.c_str());
    return problem.empty();
}

}  // namespace bench
