#include "history_stamps.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <time.h>

namespace {

constexpr std::int64_t kNoteMoreThanUs = 1000;
// Seconds before the point: enough for 3 years since a connect, or between lines.
constexpr int kIntervalWidth = 13;
constexpr std::int64_t kLargestInterval = 99'999'999'999;  // in ms: "+99999999.999"

std::int64_t micros(clockid_t clock) {
    timespec ts {};
    ::clock_gettime(clock, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

// Floor division, so that times before the epoch (or a negative interval) round
// the way a clock reads.
std::int64_t floorDiv(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

HistoryTime HistoryTime::now() { return {micros(CLOCK_MONOTONIC), micros(CLOCK_REALTIME)}; }

// The program's start stands for a connect, so Since Connect means something
// before the first one.
HistoryStamps::HistoryStamps() { connects_.push_back({INT64_MIN, micros(CLOCK_MONOTONIC)}); }

int HistoryStamps::width(TimestampMode mode) {
    switch (mode) {
    case TimestampMode::None: return 0;
    case TimestampMode::TimeOfDay: return 13;  // "12:34:56.789 "
    case TimestampMode::SinceConnect:
    case TimestampMode::SincePrevious: return kIntervalWidth + 1;
    }
    return 0;
}

const HistoryStamps::Anchor* HistoryStamps::before(const std::vector<Anchor>& anchors, std::int64_t mono) {
    const auto it = std::upper_bound(anchors.begin(), anchors.end(), mono,
                                     [](std::int64_t m, const Anchor& a) { return m < a.mono; });
    return it == anchors.begin() ? nullptr : &*(it - 1);
}

void HistoryStamps::insert(std::vector<Anchor>& anchors, Anchor anchor) {
    const auto it = std::upper_bound(anchors.begin(), anchors.end(), anchor.mono,
                                     [](std::int64_t m, const Anchor& a) { return m < a.mono; });
    anchors.insert(it, anchor);
}

void HistoryStamps::noteTime(const HistoryTime& time) {
    const std::int64_t offset = time.wall - time.mono;
    const Anchor* last = before(wall_, time.mono);
    if (last && std::abs(last->value - offset) < kNoteMoreThanUs)
        return;
    insert(wall_, {time.mono, offset});
}

void HistoryStamps::noteConnect(std::int64_t mono) { insert(connects_, {mono, mono}); }

// Written by hand rather than with snprintf: saving or searching a long history
// formats a time for each of its hundred million lines.
void HistoryStamps::format(std::int64_t time, std::int64_t previous, std::string& out) const {
    // Writes `value` in decimal, at least `least` digits, ending just before `end`.
    const auto digits = [](char* end, std::uint64_t value, int least) {
        do {
            *--end = char('0' + value % 10);
            value /= 10;
        } while (--least > 0 || value > 0);
        return end;
    };
    char text[kIntervalWidth + 1];
    if (mode_ == TimestampMode::None)
        return;
    if (mode_ == TimestampMode::TimeOfDay) {
        const Anchor* anchor = before(wall_, time);
        if (!anchor)
            anchor = wall_.empty() ? nullptr : &wall_.front();  // a time before any noted: the first offset
        const std::int64_t wall = time + (anchor ? anchor->value : 0);
        const std::int64_t second = floorDiv(wall, 1'000'000);
        if (second != cachedSecond_) {
            const std::time_t t = std::time_t(second);
            std::tm local {};
            localtime_r(&t, &local);
            std::snprintf(cachedClock_, sizeof cachedClock_, "%02d:%02d:%02d", local.tm_hour, local.tm_min,
                          local.tm_sec);
            cachedSecond_ = second;
        }
        std::memcpy(text, cachedClock_, 8);
        text[8] = '.';
        digits(text + 12, std::uint64_t(floorDiv(wall, 1000) - second * 1000), 3);
        text[12] = ' ';
        out.append(text, 13);
        return;
    }
    const std::int64_t from = mode_ == TimestampMode::SincePrevious ? previous : before(connects_, time)->value;
    std::int64_t ms = floorDiv(time - from, 1000);
    char sign = ms < 0 ? '-' : '+';
    if (ms > kLargestInterval || ms < -kLargestInterval) {
        sign = ms < 0 ? '<' : '>';  // said as "beyond", not as a wrong value
        ms = ms < 0 ? -kLargestInterval : kLargestInterval;
    }
    const auto magnitude = std::uint64_t(ms < 0 ? -ms : ms);
    std::memset(text, ' ', sizeof text);
    char* p = digits(text + kIntervalWidth, magnitude % 1000, 3);
    *--p = '.';
    p = digits(p, magnitude / 1000, 1);
    *--p = sign;
    out.append(text, sizeof text);
}

std::string HistoryStamps::prefix(std::int64_t time, std::int64_t previous) const {
    std::string out;
    format(time, previous, out);
    return out;
}

const char* HistoryStamps::word(TimestampMode mode) {
    switch (mode) {
    case TimestampMode::None: return "none";
    case TimestampMode::TimeOfDay: return "time";
    case TimestampMode::SinceConnect: return "since-connect";
    case TimestampMode::SincePrevious: return "delta";
    }
    return "none";
}

QString HistoryStamps::name(TimestampMode mode) {
    switch (mode) {
    case TimestampMode::None: return QCoreApplication::translate("HistoryStamps", "None");
    case TimestampMode::TimeOfDay: return QCoreApplication::translate("HistoryStamps", "Time of Day");
    case TimestampMode::SinceConnect: return QCoreApplication::translate("HistoryStamps", "Since Connect");
    case TimestampMode::SincePrevious: return QCoreApplication::translate("HistoryStamps", "Since Previous Line");
    }
    return {};
}

std::optional<TimestampMode> HistoryStamps::fromWord(std::string_view word) {
    for (TimestampMode mode : {TimestampMode::None, TimestampMode::TimeOfDay, TimestampMode::SinceConnect,
                               TimestampMode::SincePrevious})
        if (word == HistoryStamps::word(mode))
            return mode;
    return std::nullopt;
}
