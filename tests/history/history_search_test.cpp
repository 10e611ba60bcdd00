// Finding text in the history's snapshot: every answer checked against a plain
// search of the same string, over parts small enough that matches cross them,
// packed and spilled; stepping through many matches both ways; progress,
// stopping, and searching while the history floods on.
#include "history_search.h"
#include "history_store.h"
#include "render.h"

#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using Direction = HistorySearch::Direction;
using Outcome = HistorySearch::Outcome;
using Result = HistorySearch::Result;
constexpr auto kForward = Direction::Forward, kBackward = Direction::Backward;

// What the search must answer, the obvious way: fold both, then std::string's own find.
Result plainFind(std::string text, HistorySearch::Query q) {
    for (std::string* s : {&text, &q.text})
        for (char& c : *s)
            if (const auto u = static_cast<unsigned char>(c);
                !q.matchCase && ((u >= 'A' && u <= 'Z') || (u >= 0xC0 && u <= 0xDE && u != 0xD7)))
                c = char(u + 0x20);
    const std::size_t n = q.text.size(), from = std::size_t(std::clamp<qsizetype>(q.from, 0, qsizetype(text.size())));
    const bool forward = q.direction == kForward;
    std::size_t at = forward ? text.find(q.text, from) : from < n ? std::string::npos : text.rfind(q.text, from - n);
    const bool wrapped = at == std::string::npos;
    if (wrapped)
        at = forward ? text.find(q.text) : text.rfind(q.text);
    if (n == 0 || at == std::string::npos)
        return {};
    return {Outcome::Found, qsizetype(at), qsizetype(at + n), wrapped};
}

// A search that stopped on its own shows as OutOfMemory, which no case expects.
Result findIn(const HistoryStore::Snapshot& snapshot, const HistorySearch::Query& q) {
    return HistorySearch::find(snapshot, q, [](qint64) { return true; }).value_or(Result{Outcome::OutOfMemory});
}

void expectSame(const Result& a, const Result& b) {
    EXPECT_EQ(std::tuple(int(a.outcome), a.start, a.end, a.wrapped), std::tuple(int(b.outcome), b.start, b.end, b.wrapped));
}

void spillToAFile(HistoryStore& store) {
    const int fd = ::open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    store.setSpillFile(fd);
}

std::string hexLines(std::mt19937& rng, int lines) {
    std::string s;
    unsigned char read[10];
    for (int i = 0; i < lines; ++i) {
        std::generate(std::begin(read), std::end(read), [&rng] { return static_cast<unsigned char>(rng()); });
        RenderReceived(read, sizeof read, ReceiveFormat::Hex, s);
    }
    return HistoryStore::normalizeBreaks(s);
}

// The thread's answer, or OutOfMemory when none came in time.
Result answer(QSignalSpy& spy) {
    if (!QTest::qWaitFor([&spy] { return spy.count() == 1; }, 10000))
        return {Outcome::OutOfMemory};
    return spy.takeFirst().at(0).value<Result>();
}

// ---------------------------------------------------------------- what is found

// Hand-picked cases: breaks inside the text, both cases of ASCII and Latin-1
// letters (× and ÷ are no pair), both directions from either side of a match,
// wrapping, and texts that cannot match.
TEST(HistorySearch, FindsWhatTheRulesSay) {
    const std::string text = "alpha\nBeta gamma\nbeta \xC4\xD7\xE9\n\xF7tail";
    // start -1: not found
    const struct { const char* needle; bool matchCase; Direction direction; qsizetype from, start; bool wrapped; } rows[] = {
        {"a\nBe", true, kForward, 0, 4, false},                    // across a break
        {"beta", false, kForward, 0, 6, false},                    // folds ASCII
        {"beta", true, kForward, 0, 17, false},                    // case kept
        {"beta", false, kForward, 7, 17, false},                   // from inside a match: the next one
        {"beta", false, kForward, 18, 6, true},                    // past the last: wraps
        {"beta", false, kBackward, 21, 17, false},                 // ending just at `from`
        {"beta", false, kBackward, 20, 6, false},                  // one short of it: the one before
        {"beta", false, kBackward, 9, 17, true},                   // none before: wraps to the last
        {"\xE4\xD7\xC9", false, kForward, 0, 22, false},           // folds Latin-1
        {"\xE4\xD7\xC9", true, kForward, 0, -1, false},
        {"\xF7", false, kForward, 0, 26, false},                   // ÷ is not ×
        {"TAIL", false, kBackward, 1000, 27, false},               // `from` past the end: the end
        {"", false, kForward, 0, -1, false},
        {"gamma\nbeta \xC4\xD7\xE9\n\xF7tailX", false, kForward, 0, -1, false},  // longer than the rest
    };
    for (const std::size_t chunk : {std::size_t(8), HistoryStore::kDefaultChunkBytes}) {
        HistoryStore store(chunk);
        store.append(text);
        for (const auto& row : rows) {
            SCOPED_TRACE(::testing::Message() << "chunk " << chunk << ", " << row.needle << " from " << row.from);
            const qsizetype end = row.start + qsizetype(std::strlen(row.needle));
            expectSame(findIn(store.snapshot(), {row.needle, row.matchCase, row.direction, row.from}),
                       row.start < 0 ? Result{} : Result{Outcome::Found, row.start, end, row.wrapped});
        }
    }
}

// Backward, a part is looked at in windows growing from its end; a match across
// the edge of one is found, in a part of its own or not.
TEST(HistorySearch, FindsAMatchAcrossTheWindowsOfAPart) {
    constexpr qsizetype kSize = 20000;
    const qsizetype firstEdge = kSize - 4096, secondEdge = firstEdge + 5 - 8192;
    for (const qsizetype at : {firstEdge - 3, firstEdge - 5, secondEdge - 1, qsizetype(0), kSize - 6}) {
        SCOPED_TRACE(at);
        std::string text(std::size_t(kSize), '.');
        text.replace(std::size_t(at), 6, "needle");
        HistoryStore store;
        store.append(text);
        for (const Direction d : {kBackward, kForward})
            expectSame(findIn(store.snapshot(), {"needle", true, d, d == kForward ? 0 : kSize}),
                       {Outcome::Found, at, at + 6, false});
    }
}

// Random texts, needles and starting points against the plain search, on parts
// of a few dozen characters and more, in memory and spilled: matches across two
// and three parts, the ends of the text.
class SearchTiers : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

TEST_P(SearchTiers, AgreesWithAPlainSearch) {
    const auto [chunk, budget] = GetParam();
    std::mt19937 rng(20240612);
    HistoryStore store(chunk, budget);
    spillToAFile(store);
    static const char alphabet[] = "aAbB\n\xE9\xC9\xD7\xF7";
    auto letter = [&rng] { return alphabet[rng() % (sizeof alphabet - 1)]; };
    std::string text;
    while (text.size() < 6000) {
        const unsigned kind = rng() % 10;
        for (unsigned i = 0, length = kind < 5 ? rng() % 4 : kind < 8 ? rng() % 8 : 40 + rng() % 20; i < length; ++i)
            text.push_back(letter());
        text.push_back('\n');
    }
    store.append(text);
    if (budget < HistoryStore::kDefaultMemoryBudget) {
        ASSERT_GT(store.spilledChunks(), store.chunkCount() / 2);
    }
    for (int round = 0; round < 600 && !HasFailure(); ++round) {
        // Some longer than a part, so that a match spans three.
        const std::size_t n = round % 5 == 1 ? 60 + rng() % 91 : 1 + rng() % 12;
        HistorySearch::Query q{text.substr(rng() % (text.size() - n + 1), n), round % 2 == 0,
                               round % 4 < 2 ? kForward : kBackward,
                               std::uniform_int_distribution<qsizetype>(-2, qsizetype(text.size()) + 2)(rng)};
        if (round % 3 == 0)
            std::generate(q.text.begin(), q.text.end(), letter);
        SCOPED_TRACE(::testing::Message() << "round " << round << " from " << q.from << " n " << n);
        expectSame(findIn(store.snapshot(), q), plainFind(text, q));
    }
}

constexpr std::size_t kNoSpill = HistoryStore::kDefaultMemoryBudget;
INSTANTIATE_TEST_SUITE_P(Parts, SearchTiers, ::testing::Values(std::pair<std::size_t, std::size_t>{16, kNoSpill},
                                                               std::pair<std::size_t, std::size_t>{256, kNoSpill},
                                                               std::pair<std::size_t, std::size_t>{256, 4096}));

// ---------------------------------------------------------------- many parts, progress and stopping

// Next from the end of each match and Previous from the start of each go through
// every one of 10 000 in order, and wrap once at either end. A miss looks at
// every character once, telling as it goes; a hit backward in the newest part
// reads that part alone; a stop answers nothing.
TEST(HistorySearch, StepsThroughEveryMatchTellsProgressAndStops) {
    constexpr std::size_t kMatches = 10000;
    std::mt19937 rng(5);
    HistoryStore store(16 * 1024);
    std::vector<qsizetype> marks;
    std::string text;
    for (std::size_t i = 0; i < kMatches; ++i) {
        text += hexLines(rng, 1 + int(i % 3));
        marks.push_back(qsizetype(text.size()) + 9);
        text += "received:Mark\n";
    }
    store.append(text);
    const HistoryStore::Snapshot snapshot = store.snapshot();
    ASSERT_GT(snapshot.parts(), 10u);
    for (const Direction d : {kForward, kBackward}) {
        qsizetype from = d == kForward ? 0 : store.size();
        for (std::size_t i = 0; i <= kMatches; ++i) {
            const std::size_t want = d == kForward ? i % kMatches : (2 * kMatches - 1 - i) % kMatches;
            const Result r = findIn(snapshot, {"mark", false, d, from});
            ASSERT_TRUE(r.outcome == Outcome::Found && r.start == marks[want] && r.wrapped == (i == kMatches)) << i;
            from = d == kForward ? r.end : r.start;
        }
    }

    std::vector<qint64> told;
    auto tell = [&told](qint64 looked) { return told.push_back(looked), true; };
    auto r = HistorySearch::find(snapshot, {"absent", true, kForward, 0}, tell);
    ASSERT_TRUE(r && r->outcome == Outcome::NotFound);
    EXPECT_GE(told.size(), snapshot.parts());
    EXPECT_TRUE(std::is_sorted(told.begin(), told.end()));
    EXPECT_GE(told.back(), snapshot.size() - 16 * 1024);
    EXPECT_LE(told.back(), snapshot.size() + 5);

    told.clear();
    r = HistorySearch::find(snapshot, {"MARK", false, kBackward, snapshot.size()}, tell);
    ASSERT_TRUE(r && r->start == marks.back());
    EXPECT_LE(told.size(), 2u) << "backward read more than the newest parts";

    int calls = 0;
    r = HistorySearch::find(snapshot, {"absent", true, kForward, 0}, [&calls](qint64) { return ++calls < 4; });
    EXPECT_FALSE(r.has_value());
    EXPECT_EQ(calls, 4);
}

// On its own thread, over a snapshot: the answer comes from the event loop and
// is about the history as it was (a flood's own matches are not seen, parts
// spilled before and meanwhile read back); an empty text starts no thread; a
// search stopped after its answer was posted says nothing.
TEST(HistorySearchThread, AnswersAboutItsSnapshotFromTheEventLoopAndNotOnceStopped) {
    std::mt19937 rng(11);
    HistoryStore store(16 * 1024, 256 * 1024);
    spillToAFile(store);
    store.append("received:First\n" + hexLines(rng, 3000));
    ASSERT_GT(store.spilledChunks(), 0u);
    HistorySearch search;
    QSignalSpy spy(&search, &HistorySearch::finished);
    search.start(store.snapshot(), {"first", false, kBackward, store.size()});
    EXPECT_TRUE(search.isRunning());
    const std::string flood = hexLines(rng, 200) + "received:First\n";
    for (int i = 0; i < 100; ++i)
        store.append(flood);
    expectSame(answer(spy), {Outcome::Found, 9, 14, false});
    EXPECT_FALSE(search.isRunning());
    EXPECT_GT(store.spilledChunks(), 0u);

    search.start(store.snapshot(), {"", false, kForward, 0});
    expectSame(answer(spy), {});

    // Its answer is on its way once it has looked at everything; stop() then waits
    // for the thread. The event loop does not run meanwhile.
    search.start(store.snapshot(), {"first", false, kForward, 0});
    for (int i = 0; i < 10000 && search.looked() != search.total(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(search.looked(), search.total());
    search.stop();
    EXPECT_FALSE(search.isRunning());
    QTest::qWait(50);
    EXPECT_EQ(spy.count(), 0);
}

}  // namespace
