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

#include <cstring>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Direction = HistorySearch::Direction;
using Outcome = HistorySearch::Outcome;

unsigned char lower(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
        return static_cast<unsigned char>(c + 0x20);
    return c;
}

bool sameAt(const std::string& text, std::size_t at, const std::string& needle, bool matchCase) {
    for (std::size_t i = 0; i < needle.size(); ++i) {
        const auto a = static_cast<unsigned char>(text[at + i]), b = static_cast<unsigned char>(needle[i]);
        if (matchCase ? a != b : lower(a) != lower(b))
            return false;
    }
    return true;
}

// What the search must answer, the slow and obvious way.
HistorySearch::Result plainFind(const std::string& text, const HistorySearch::Query& q) {
    const auto size = qsizetype(text.size()), n = qsizetype(q.text.size());
    const qsizetype from = std::clamp<qsizetype>(q.from, 0, size);
    std::vector<qsizetype> starts;
    for (qsizetype at = 0; n > 0 && at + n <= size; ++at)
        if (sameAt(text, std::size_t(at), q.text, q.matchCase))
            starts.push_back(at);
    if (starts.empty())
        return {};
    auto found = [n](qsizetype at, bool wrapped) { return HistorySearch::Result{Outcome::Found, at, at + n, wrapped}; };
    if (q.direction == Direction::Forward) {
        for (const qsizetype at : starts)
            if (at >= from)
                return found(at, false);
        return found(starts.front(), true);
    }
    for (auto it = starts.rbegin(); it != starts.rend(); ++it)
        if (*it + n <= from)
            return found(*it, false);
    return found(starts.back(), true);
}

HistorySearch::Result findAll(const HistoryStore& store, const HistorySearch::Query& q) {
    const std::optional<HistorySearch::Result> r =
        HistorySearch::find(store.snapshot(), q, [](qint64) { return true; });
    EXPECT_TRUE(r.has_value());
    return r.value_or(HistorySearch::Result{Outcome::OutOfMemory});
}

void expectSame(const HistorySearch::Result& got, const HistorySearch::Result& want) {
    EXPECT_EQ(int(got.outcome), int(want.outcome));
    EXPECT_EQ(got.start, want.start);
    EXPECT_EQ(got.end, want.end);
    EXPECT_EQ(got.wrapped, want.wrapped);
}

int tmpFile() { return ::open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); }

std::string hexLines(std::mt19937& rng, int lines) {
    std::string s;
    unsigned char read[10];
    for (int i = 0; i < lines; ++i) {
        for (unsigned char& b : read)
            b = static_cast<unsigned char>(rng());
        RenderReceived(read, sizeof read, ReceiveFormat::Hex, s);
    }
    return HistoryStore::normalizeBreaks(s);
}

// ---------------------------------------------------------------- what is found

// Hand-picked cases: breaks inside the text, both cases of ASCII and Latin-1
// letters (× and ÷ are no pair), both directions from either side of a match,
// wrapping, and texts that cannot match.
TEST(HistorySearch, FindsWhatTheRulesSay) {
    const std::string text = "alpha\nBeta gamma\nbeta \xC4\xD7\xE9\n\xF7tail";
    struct Row {
        const char* needle;
        bool matchCase;
        Direction direction;
        qsizetype from;
        qsizetype start;  // -1: not found
        bool wrapped;
    };
    const Row rows[] = {
        {"a\nBe", true, Direction::Forward, 0, 4, false},        // across a break
        {"beta", false, Direction::Forward, 0, 6, false},        // folds ASCII
        {"beta", true, Direction::Forward, 0, 17, false},        // case kept
        {"beta", false, Direction::Forward, 7, 17, false},       // from inside a match: the next one
        {"beta", false, Direction::Forward, 18, 6, true},        // past the last: wraps
        {"beta", false, Direction::Backward, 21, 17, false},     // ending just at `from`
        {"beta", false, Direction::Backward, 20, 6, false},      // one short of it: the one before
        {"beta", false, Direction::Backward, 9, 17, true},       // none before: wraps to the last
        {"\xE4\xD7\xC9", false, Direction::Forward, 0, 22, false},  // folds Latin-1
        {"\xE4\xD7\xC9", true, Direction::Forward, 0, -1, false},
        {"\xF7", false, Direction::Forward, 0, 26, false},       // ÷ is not ×
        {"TAIL", false, Direction::Backward, 1000, 27, false},   // `from` past the end: the end
        {"", false, Direction::Forward, 0, -1, false},
        {"gamma\nbeta \xC4\xD7\xE9\n\xF7tailX", false, Direction::Forward, 0, -1, false},  // longer than the rest
    };
    for (const std::size_t chunk : {std::size_t(8), HistoryStore::kDefaultChunkBytes}) {
        HistoryStore store(chunk);
        store.append(text);
        for (const Row& row : rows) {
            SCOPED_TRACE(::testing::Message() << "chunk " << chunk << ", " << row.needle << " from " << row.from);
            const HistorySearch::Query q{row.needle, row.matchCase, row.direction, row.from};
            const qsizetype n = qsizetype(std::strlen(row.needle));
            expectSame(findAll(store, q), row.start < 0 ? HistorySearch::Result{}
                                                        : HistorySearch::Result{Outcome::Found, row.start,
                                                                                row.start + n, row.wrapped});
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
        const HistorySearch::Result want{Outcome::Found, at, at + 6, false};
        expectSame(findAll(store, {"needle", true, Direction::Backward, kSize}), want);
        expectSame(findAll(store, {"needle", true, Direction::Forward, 0}), want);
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
    const int fd = tmpFile();
    ASSERT_GE(fd, 0);
    store.setSpillFile(fd);
    static const char alphabet[] = "aAbB\n\xE9\xC9\xD7\xF7";
    auto letter = [&rng] { return alphabet[std::uniform_int_distribution<int>(0, sizeof alphabet - 2)(rng)]; };
    std::string text;
    while (text.size() < 6000) {
        const unsigned kind = rng() % 10;
        const unsigned length = kind < 5 ? rng() % 4 : kind < 8 ? rng() % 8 : 40 + rng() % 20;
        for (unsigned i = 0; i < length; ++i)
            text.push_back(letter());
        text.push_back('\n');
    }
    store.append(text);
    ASSERT_EQ(store.text(0, store.size()), text);
    if (budget < HistoryStore::kDefaultMemoryBudget) {
        ASSERT_GT(store.spilledChunks(), store.chunkCount() / 2);
    }
    for (int round = 0; round < 600; ++round) {
        HistorySearch::Query q;
        // Some longer than a part, so that a match spans three.
        const auto n = std::size_t(round % 5 == 1 ? std::uniform_int_distribution<int>(60, 150)(rng)
                                                  : std::uniform_int_distribution<int>(1, 12)(rng));
        if (round % 3 == 0) {
            q.text.resize(n);
            for (char& c : q.text)
                c = letter();
        } else {
            q.text = text.substr(std::uniform_int_distribution<std::size_t>(0, text.size() - n)(rng), n);
        }
        q.matchCase = round % 2 == 0;
        q.direction = round % 4 < 2 ? Direction::Forward : Direction::Backward;
        q.from = std::uniform_int_distribution<qsizetype>(-2, qsizetype(text.size()) + 2)(rng);
        SCOPED_TRACE(::testing::Message() << "round " << round << " from " << q.from << " n " << n);
        expectSame(findAll(store, q), plainFind(text, q));
        if (HasFailure())
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(Parts, SearchTiers,
                         ::testing::Values(std::make_pair(std::size_t(16), HistoryStore::kDefaultMemoryBudget),
                                           std::make_pair(std::size_t(256), HistoryStore::kDefaultMemoryBudget),
                                           std::make_pair(std::size_t(256), std::size_t(4096))));

// Next from the end of each match and Previous from the start of each go through
// every one of 10 000 in order, and wrap once at either end.
TEST(HistorySearch, StepsThroughEveryMatchBothWays) {
    constexpr int kMatches = 10000;
    std::mt19937 rng(5);
    HistoryStore store(16 * 1024);
    std::vector<qsizetype> marks;
    std::string text;
    for (int i = 0; i < kMatches; ++i) {
        text += hexLines(rng, 1 + i % 3);
        marks.push_back(qsizetype(text.size()) + 9);
        text += "received:Mark\n";
    }
    store.append(text);
    ASSERT_GT(store.chunkCount(), 10u);
    const HistoryStore::Snapshot snapshot = store.snapshot();
    auto step = [&](Direction direction, qsizetype from) {
        return HistorySearch::find(snapshot, {"mark", false, direction, from}, [](qint64) { return true; });
    };
    qsizetype from = 0;
    for (int i = 0; i < kMatches; ++i) {
        const auto r = step(Direction::Forward, from);
        ASSERT_TRUE(r && r->outcome == Outcome::Found && r->start == marks[std::size_t(i)] && !r->wrapped) << i;
        from = r->end;
    }
    auto r = step(Direction::Forward, from);
    ASSERT_TRUE(r && r->start == marks.front() && r->wrapped);
    from = store.size();
    for (int i = kMatches - 1; i >= 0; --i) {
        r = step(Direction::Backward, from);
        ASSERT_TRUE(r && r->outcome == Outcome::Found && r->start == marks[std::size_t(i)] && !r->wrapped) << i;
        from = r->start;
    }
    r = step(Direction::Backward, from);
    ASSERT_TRUE(r && r->start == marks.back() && r->wrapped);
}

// ---------------------------------------------------------------- progress and stopping

// A miss looks at every character once, telling as it goes; a hit backward in
// the newest part reads that part alone; a stop answers nothing.
TEST(HistorySearch, TellsProgressReadsNewestFirstAndStops) {
    std::mt19937 rng(9);
    HistoryStore store(16 * 1024);
    store.append("received:Needle\n" + hexLines(rng, 3000) + "received:Needle\n");
    const HistoryStore::Snapshot snapshot = store.snapshot();
    ASSERT_GT(snapshot.parts(), 8u);

    std::vector<qint64> told;
    auto tell = [&told](qint64 looked) {
        told.push_back(looked);
        return true;
    };
    auto r = HistorySearch::find(snapshot, {"absent", true, Direction::Forward, 0}, tell);
    ASSERT_TRUE(r && r->outcome == Outcome::NotFound);
    EXPECT_GE(told.size(), snapshot.parts());
    EXPECT_TRUE(std::is_sorted(told.begin(), told.end()));
    EXPECT_GE(told.back(), snapshot.size() - 16 * 1024);
    EXPECT_LE(told.back(), snapshot.size() + 5);

    told.clear();
    r = HistorySearch::find(snapshot, {"needle", false, Direction::Backward, snapshot.size()}, tell);
    ASSERT_TRUE(r && r->outcome == Outcome::Found && !r->wrapped);
    EXPECT_EQ(r->end, snapshot.size() - 1);
    EXPECT_LE(told.size(), 2u) << "backward read more than the newest parts";

    int calls = 0;
    r = HistorySearch::find(snapshot, {"absent", true, Direction::Forward, 0}, [&calls](qint64) { return ++calls < 4; });
    EXPECT_FALSE(r.has_value());
    EXPECT_EQ(calls, 4);
}

class HistorySearchThread : public ::testing::Test {
protected:
    // Waits, with a bound, for the search to end or to have looked at everything.
    static bool waitFor(const std::function<bool()>& done) { return QTest::qWaitFor(done, 10000); }
};

// On its own thread: the answer comes from the event loop; an empty text starts
// no thread; a search stopped after its answer was posted says nothing.
TEST_F(HistorySearchThread, AnswersFromTheEventLoopAndNotOnceStopped) {
    HistoryStore store;
    store.append("one two\nthree");
    HistorySearch search;
    QSignalSpy spy(&search, &HistorySearch::finished);

    search.start(store.snapshot(), {"THREE", false, Direction::Forward, 0});
    EXPECT_TRUE(search.isRunning());
    ASSERT_TRUE(waitFor([&] { return spy.count() == 1; }));
    auto result = spy.takeFirst().at(0).value<HistorySearch::Result>();
    EXPECT_EQ(int(result.outcome), int(Outcome::Found));
    EXPECT_EQ(result.start, 8);
    EXPECT_FALSE(search.isRunning());

    search.start(store.snapshot(), {"", false, Direction::Forward, 0});
    ASSERT_TRUE(waitFor([&] { return spy.count() == 1; }));
    EXPECT_EQ(int(spy.takeFirst().at(0).value<HistorySearch::Result>().outcome), int(Outcome::NotFound));

    // Its answer is on its way once it has looked at everything; stop() then waits
    // for the thread. The event loop does not run meanwhile.
    search.start(store.snapshot(), {"two", false, Direction::Forward, 0});
    for (int i = 0; i < 10000 && search.looked() != search.total(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(search.looked(), search.total());
    search.stop();
    EXPECT_FALSE(search.isRunning());
    QTest::qWait(50);
    EXPECT_EQ(spy.count(), 0);
}

// A search started before a flood answers about the history as it was: the
// flood's own matches are not seen, and parts spilled before and meanwhile read back.
TEST_F(HistorySearchThread, FindsWhatWasThereWhileAFloodArrives) {
    std::mt19937 rng(11);
    HistoryStore store(16 * 1024, 256 * 1024);
    const int fd = tmpFile();
    ASSERT_GE(fd, 0);
    store.setSpillFile(fd);
    store.append("received:First\n" + hexLines(rng, 3000));
    ASSERT_GT(store.spilledChunks(), 0u);
    const qsizetype size = store.size();
    HistorySearch search;
    QSignalSpy spy(&search, &HistorySearch::finished);
    search.start(store.snapshot(), {"first", false, Direction::Backward, size});
    const std::string flood = hexLines(rng, 200) + "received:First\n";
    for (int i = 0; i < 100; ++i)
        store.append(flood);
    ASSERT_TRUE(waitFor([&] { return spy.count() == 1; }));
    EXPECT_GT(store.spilledChunks(), 0u);
    const auto result = spy.takeFirst().at(0).value<HistorySearch::Result>();
    EXPECT_EQ(int(result.outcome), int(Outcome::Found));
    EXPECT_EQ(result.start, 9);
    EXPECT_FALSE(result.wrapped);
}

}  // namespace
