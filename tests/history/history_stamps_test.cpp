// Times before lines: how each mode shows a time (midnight, a clock set back, a
// connect), and the history's text as shown with them, which saving and
// searching read: checked against the same text built line by line.
#include "history_save.h"
#include "history_search.h"
#include "history_shown.h"
#include "history_stamps.h"
#include "history_store.h"
#include "test_files.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr std::int64_t kSecond = 1'000'000;
constexpr std::int64_t kLastSecondOfDay = 1796774399;  // 2026-12-08 23:59:59 UTC

class Stamps : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    std::string at(TimestampMode mode, double seconds, double previous = 0) {
        stamps.setMode(mode);
        const std::string text = stamps.prefix(std::int64_t(seconds * kSecond), std::int64_t(previous * kSecond));
        EXPECT_EQ(text.size(), std::size_t(stamps.width())) << text;
        return text;
    }
    HistoryStamps stamps;
};

TEST_F(Stamps, TimeOfDayFollowsTheWallClockIntervalsTheMonotonicOne) {
    // At 10 s on the monotonic clock the wall clock read 23:59:59 ...
    stamps.noteTime({10 * kSecond, kLastSecondOfDay * kSecond});
    EXPECT_EQ(at(TimestampMode::TimeOfDay, 10.999), "23:59:59.999 ");
    EXPECT_EQ(at(TimestampMode::TimeOfDay, 11.0015), "00:00:00.001 ");
    // ... and at 20 s it was set back an hour; earlier lines keep their times.
    stamps.noteTime({20 * kSecond, (kLastSecondOfDay + 10 - 3600) * kSecond});
    stamps.noteTime({25 * kSecond, (kLastSecondOfDay + 15 - 3600) * kSecond});  // no change: nothing noted
    EXPECT_EQ(at(TimestampMode::TimeOfDay, 15), "00:00:04.000 ");
    EXPECT_EQ(at(TimestampMode::TimeOfDay, 21.25), "23:00:10.250 ");

    stamps.noteConnect(12 * kSecond);
    stamps.noteConnect(30 * kSecond);
    EXPECT_EQ(at(TimestampMode::SinceConnect, 21.25), "       +9.250 ");
    EXPECT_EQ(at(TimestampMode::SinceConnect, 123.4567), "      +93.456 ");
    EXPECT_EQ(at(TimestampMode::SincePrevious, 21.25, 21.238), "       +0.012 ");
    // Lines can come out of order (a record written while a read was queued).
    EXPECT_EQ(at(TimestampMode::SincePrevious, 20, 21.0005), "       -1.001 ");
    EXPECT_EQ(at(TimestampMode::SincePrevious, 2e9, 0), ">99999999.999 ");
    EXPECT_EQ(at(TimestampMode::None, 1), "");

    for (TimestampMode mode : {TimestampMode::None, TimestampMode::TimeOfDay, TimestampMode::SinceConnect,
                               TimestampMode::SincePrevious})
        EXPECT_EQ(HistoryStamps::fromWord(HistoryStamps::word(mode)), mode);
    EXPECT_EQ(HistoryStamps::fromWord("Time"), std::nullopt);
}

// Lines at known times over parts small enough that the text and its times cross them.
class Shown : public Stamps {
protected:
    void SetUp() override {
        Stamps::SetUp();
        stamps.setMode(TimestampMode::SincePrevious);
        for (int i = 0; i < 40; ++i) {
            const std::int64_t time = i * kSecond / 4 + (i % 3) * 1000;
            const std::string line = "received:0x" + std::to_string(i) + " 0xa\r\n";
            store.append(line, time);
            lineTimes.push_back(time);
            expected += stamps.prefix(time, i > 0 ? lineTimes[std::size_t(i) - 1] : time) + line.substr(0, line.size() - 2) + "\n";
        }
        ASSERT_GT(store.snapshot().parts(), 5u);
    }
    HistoryStore store{96};
    std::vector<std::int64_t> lineTimes;
    std::string expected;  // the shown text, line by line
};

TEST_F(Shown, ReadsAndSavesWhatTheViewShows) {
    const HistoryShown shown(store.snapshot(), stamps);
    HistoryCodec codec;
    std::string all, part;
    for (std::size_t i = 0; i < shown.parts(); ++i) {
        shown.read(i, codec, part);
        EXPECT_EQ(part.size(), shown.partSize(i));
        all += part;
    }
    EXPECT_EQ(all, expected);  // the last line, empty, shows no time
    EXPECT_EQ(shown.size(), qsizetype(expected.size()));

    QTemporaryDir dir;
    const QString path = dir.filePath("saved.txt");
    EXPECT_EQ(HistorySave::write(shown, path, [](qint64, HistorySave::Stage) { return true; }).outcome,
              HistorySave::Outcome::Saved);
    EXPECT_EQ(FileText(path.toStdString()), expected);

    // Every position of the store and back; one at a line's start stands before its time.
    for (qsizetype p = 0; p <= store.size(); ++p) {
        const qsizetype s = shown.toShown(p, codec);
        ASSERT_EQ(shown.toStore(s, codec).position, p);
        if (p == store.lineStart(store.lineAt(p)))
            ASSERT_TRUE(s == 0 || expected[std::size_t(s) - 1] == '\n') << p;
    }
}

TEST_F(Shown, FindsTextAcrossTimesAndSelectsTheLineOfATime) {
    const HistoryShown shown(store.snapshot(), stamps);
    auto find = [&](const std::string& text, HistorySearch::Direction direction, qsizetype from) {
        return HistorySearch::find(shown, {text, true, direction, from}, [](qint64) { return true; }).value();
    };
    const qsizetype line20 = store.lineStart(20), line21 = store.lineStart(21), line22 = store.lineStart(22);
    // Wholly within line 21's time (+0.248 after line 20): the line, with its break.
    HistorySearch::Result r = find("+0.248 ", HistorySearch::Direction::Forward, line20);
    ASSERT_EQ(r.outcome, HistorySearch::Outcome::Found);
    EXPECT_EQ(r.start, line21);
    EXPECT_EQ(r.end, line22);
    // Stepping on from there does not find it again; backward from it neither.
    EXPECT_EQ(find("+0.248 ", HistorySearch::Direction::Forward, r.end).start, store.lineStart(24));
    EXPECT_EQ(find("+0.248 ", HistorySearch::Direction::Backward, r.start).start, store.lineStart(18));
    // From a time into the text, and from one line's end into the next one's time.
    r = find("248 received:0x21 ", HistorySearch::Direction::Backward, store.size());
    EXPECT_EQ(r.start, line21);
    EXPECT_EQ(store.text(r.start, r.end - r.start), "received:0x21 ");
    r = find("0xa\n       +0.248", HistorySearch::Direction::Forward, line20);
    EXPECT_EQ(r.start, line21 - 4);
    EXPECT_EQ(r.end, line21);
    EXPECT_EQ(find("received:0x20 0xa\n", HistorySearch::Direction::Forward, 0).start, line20);
}

}  // namespace
