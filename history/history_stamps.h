#pragma once
// How a line's time is shown before it: as the time of day, since the connect
// before it, or since the line before it; or not at all.
//
// Every line keeps one time, microseconds on the monotonic clock, so that the
// intervals stay right when the wall clock is set. The time of day comes from
// the wall clock's offset to it as it was then: an offset is noted whenever it
// moves by a millisecond or more (a clock set back an hour, or NTP slewing), and
// a line takes the offset last noted at or before its time. Connects are noted
// on the same clock. Every prefix of one mode has the same width, so that the
// shown text's positions follow from its lines.
//
// A value; copies go with a snapshot to the threads that save and search.

#include <QString>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A moment on both clocks, in microseconds: the monotonic clock (CLOCK_MONOTONIC)
// and the wall clock since the epoch.
struct HistoryTime {
    std::int64_t mono = 0;
    std::int64_t wall = 0;
    static HistoryTime now();
};

enum class TimestampMode { None, TimeOfDay, SinceConnect, SincePrevious };

class HistoryStamps {
public:
    HistoryStamps();

    TimestampMode mode() const { return mode_; }
    void setMode(TimestampMode mode) { mode_ = mode; }
    // The prefix's characters, its separating space included; 0 for None.
    int width() const { return width(mode_); }
    static int width(TimestampMode mode);

    // Remembers where the wall clock stood at `time`, when that differs from what
    // was noted before.
    void noteTime(const HistoryTime& time);
    // A connect at `mono`: Since Connect counts from here for later lines.
    void noteConnect(std::int64_t mono);

    // The prefix of a line at `time` whose line before was at `previous`:
    // width() characters, the value right-aligned, then a space.
    void format(std::int64_t time, std::int64_t previous, std::string& out) const;
    std::string prefix(std::int64_t time, std::int64_t previous) const;

    // The mode's word on the command line (none, time, since-connect, delta),
    // its name in the menu, and the word back to the mode.
    static const char* word(TimestampMode mode);
    static QString name(TimestampMode mode);
    static std::optional<TimestampMode> fromWord(std::string_view word);

private:
    struct Anchor {
        std::int64_t mono;
        std::int64_t value;  // the wall clock less the monotonic one, or the connect's time
    };
    static const Anchor* before(const std::vector<Anchor>& anchors, std::int64_t mono);
    static void insert(std::vector<Anchor>& anchors, Anchor anchor);

    TimestampMode mode_ = TimestampMode::None;
    std::vector<Anchor> wall_;
    std::vector<Anchor> connects_;
    // The last second of day formatted, for the next line in the same second.
    mutable std::int64_t cachedSecond_ = INT64_MIN;
    mutable char cachedClock_[9] = {};
};
