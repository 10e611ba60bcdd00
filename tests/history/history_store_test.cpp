// The compact text store behind the history, checked against a plain string.
#include "history_store.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

// Every line, start and lookup the store answers must agree with the plain text.
void expectMatches(const HistoryStore& store, const std::string& text) {
    ASSERT_EQ(store.size(), qsizetype(text.size()));
    ASSERT_EQ(store.text(0, store.size()), text);
    qsizetype start = 0;
    qsizetype line = 0;
    for (;;) {
        const std::size_t nl = text.find('\n', std::size_t(start));
        const std::size_t end = nl == std::string::npos ? text.size() : nl;
        ASSERT_LT(line, store.lineCount());
        ASSERT_EQ(store.lineStart(line), start) << "line " << line;
        ASSERT_EQ(store.lineText(line), std::string_view(text).substr(std::size_t(start), end - std::size_t(start)))
            << "line " << line;
        ASSERT_EQ(store.lineAt(start), line);
        ASSERT_EQ(store.lineAt(qsizetype(end)), line);
        if (nl == std::string::npos)
            break;
        start = qsizetype(nl) + 1;
        ++line;
    }
    ASSERT_EQ(store.lineCount(), line + 1);
}

struct AppendCase {
    const char* name;
    std::vector<std::string> pieces;
    std::string text;
};

class StoreAppend : public ::testing::TestWithParam<AppendCase> {};

TEST_P(StoreAppend, KeepsBreaksAndCharacters) {
    HistoryStore store;
    for (const std::string& piece : GetParam().pieces)
        store.append(piece);
    expectMatches(store, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Breaks, StoreAppend,
    ::testing::Values(
        AppendCase{"Empty", {}, ""},
        AppendCase{"CrLfIsOneBreak", {"received:Hi\r\n", "Sent:x\r\n"}, "received:Hi\nSent:x\n"},
        AppendCase{"CrLfSplitAcrossAppends", {"a\r", "\nb\r", "\r\n"}, "a\nb\r\n"},
        AppendCase{"LoneLfIsBreak", {"a\nb", "\n"}, "a\nb\n"},
        AppendCase{"LoneCrStays", {"a\rb\r", "c"}, "a\rb\rc"},
        AppendCase{"CrThenCrLf", {"\r\r\n"}, "\r\n"},
        AppendCase{"ControlBytesStay", {std::string("\0\x01\t\x7f", 4), "\r\n"}, std::string("\0\x01\t\x7f\n", 5)},
        AppendCase{"HighLatin1Stays", {"\x80\xe9\xff\r\n"}, "\x80\xe9\xff\n"},
        AppendCase{"OnlyBreaks", {"\r\n\r\n", "\n"}, "\n\n\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HistoryStore, LinesNeverCrossSmallChunks) {
    HistoryStore store(64);
    std::string model;
    for (int i = 0; i < 500; ++i) {
        const std::string line = "received:" + std::string(std::size_t(i % 97), char('a' + i % 26));
        store.append(line);
        store.append("\r\n");
        model += line + "\n";
    }
    // A line far longer than a chunk, arriving in pieces.
    for (int i = 0; i < 300; ++i) {
        store.append("0123456789");
        model += "0123456789";
    }
    expectMatches(store, model);
    EXPECT_GT(store.chunkCount(), 100u);
}

// Random edits anywhere, on chunks small enough that edits cross and merge them.
TEST(HistoryStore, RandomEditsMatchPlainString) {
    std::mt19937 rng(20240611);
    HistoryStore store(48);
    std::string model;
    auto randomText = [&rng](std::size_t max) {
        static const char alphabet[] = "ab \n\r\t\x01\xe9";
        std::string s(std::uniform_int_distribution<std::size_t>(0, max)(rng), 'x');
        for (char& c : s)
            c = alphabet[std::uniform_int_distribution<int>(0, sizeof alphabet - 2)(rng)];
        return s;
    };
    for (int step = 0; step < 3000; ++step) {
        const int op = std::uniform_int_distribution<int>(0, 3)(rng);
        if (op == 0) {
            const std::string piece = randomText(40);
            store.append(piece);
            if (!piece.empty() && piece[0] == '\n' && !model.empty() && model.back() == '\r')
                model.back() = '\n', model += HistoryStore::normalizeBreaks(piece.substr(1));
            else
                model += HistoryStore::normalizeBreaks(piece);
        } else {
            const auto pos = std::uniform_int_distribution<std::size_t>(0, model.size())(rng);
            const auto len = std::uniform_int_distribution<std::size_t>(0, std::min<std::size_t>(model.size() - pos, 120))(rng);
            const std::string insert = op == 1 ? std::string() : randomText(op == 2 ? 10 : 200);
            store.replace(qsizetype(pos), qsizetype(len), insert);
            model.replace(pos, len, insert);
        }
        if (step % 50 == 0)
            expectMatches(store, model);
        if (HasFatalFailure())
            FAIL() << "after step " << step;
    }
    expectMatches(store, model);
    store.clear();
    expectMatches(store, "");
}

TEST(HistoryStore, RoughlyOneBytePerCharacterPlusIndex) {
    HistoryStore store;
    const std::string line = "received:0x48 0x65 0x6c 0x6c 0x6f 0x20 0x57 0x6f 0x72 0x6c \r\n";
    std::string batch;
    for (int i = 0; i < 1000; ++i)
        batch += line;
    for (int i = 0; i < 400; ++i)
        store.append(batch);
    const double perChar = double(store.memoryBytes()) / double(store.size());
    // 60 characters and a 4-byte start a line, plus at most one chunk of slack.
    EXPECT_LT(perChar, 1.12);
}

}  // namespace
