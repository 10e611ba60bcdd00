// The history's storage, checked against a plain string: packing, the cache, the
// encrypted spill file, a failing disk and running out of memory.
#include "history_codec.h"
#include "history_spill.h"
#include "history_store.h"
#include "render.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <random>
#include <set>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
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

// A reader's line for `bytes`, as the window appends it.
std::string received(const std::string& bytes, ReceiveFormat format) {
    std::string line;
    RenderReceived(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), format, line);
    return line;
}

std::string randomBytes(std::mt19937& rng, std::size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = char(rng());
    return s;
}

// HEX lines of random reads, as the window appends them.
std::string hexStream(std::mt19937& rng, int lines) {
    std::string s;
    for (int i = 0; i < lines; ++i) s += received(randomBytes(rng, 10), ReceiveFormat::Hex);
    return s;
}

int tmpFile() { return ::open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); }

// ---------------------------------------------------------------- appends and edits

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
    ::testing::Values(AppendCase{"CrLfIsOneBreak", {"received:Hi\r\n", "Sent:x\r\n"}, "received:Hi\nSent:x\n"},
                      AppendCase{"CrLfSplitAcrossAppends", {"a\r", "\nb\r", "\r\n"}, "a\nb\r\n"},
                      AppendCase{"LoneLfIsBreakLoneCrStays", {"a\nb\rc", "\n"}, "a\nb\rc\n"},
                      AppendCase{"ControlAndHighBytesStay", {std::string("\0\x01\t\x7f\x80\xff", 6), "\r\n"},
                                 std::string("\0\x01\t\x7f\x80\xff\n", 7)},
                      AppendCase{"OnlyBreaks", {"\r\n\r\n", "\n"}, "\n\n\n"}),
    [](const auto& info) { return std::string(info.param.name); });

struct EditCase {
    const char* name;
    std::size_t chunkBytes;
    std::size_t budget;
};

class StoreEdits : public ::testing::TestWithParam<EditCase> {};

// Random appends and edits anywhere, on chunks small enough that edits cross and
// merge them, packed and, with a tiny budget, spilled and read back.
TEST_P(StoreEdits, MatchPlainString) {
    std::mt19937 rng(20240611);
    HistoryStore store(GetParam().chunkBytes, GetParam().budget);
    std::string model;
    auto randomText = [&rng](std::size_t max) {
        static const char alphabet[] = "ab \n\r\t\x01\xe9";
        std::string s(std::uniform_int_distribution<std::size_t>(0, max)(rng), 'x');
        for (char& c : s)
            c = alphabet[std::uniform_int_distribution<int>(0, sizeof alphabet - 2)(rng)];
        return s;
    };
    for (int step = 0; step < 3000; ++step) {
        const int op = std::uniform_int_distribution<int>(0, 4)(rng);
        if (op <= 1) {
            const std::string piece = op == 0 ? randomText(40)
                                              : received(randomBytes(rng, rng() % 12),
                                                         rng() % 2 ? ReceiveFormat::Hex : ReceiveFormat::Dec);
            store.append(piece);
            if (!piece.empty() && piece[0] == '\n' && !model.empty() && model.back() == '\r')
                model.back() = '\n', model += HistoryStore::normalizeBreaks(piece.substr(1));
            else
                model += HistoryStore::normalizeBreaks(piece);
        } else {
            const auto pos = std::uniform_int_distribution<std::size_t>(0, model.size())(rng);
            const auto len = std::uniform_int_distribution<std::size_t>(0, std::min<std::size_t>(model.size() - pos, 120))(rng);
            const std::string insert = op == 2 ? std::string() : randomText(op == 3 ? 10 : 200);
            store.replace(qsizetype(pos), qsizetype(len), insert);
            model.replace(pos, len, insert);
        }
        if (step % 50 == 0)
            expectMatches(store, model);
        if (HasFatalFailure())
            FAIL() << "after step " << step;
    }
    expectMatches(store, model);
    EXPECT_EQ(store.spilledChunks() > 0, GetParam().budget < 65536);
    store.clear();
    expectMatches(store, "");
    EXPECT_EQ(store.spilledChunks(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Tiers, StoreEdits,
                         ::testing::Values(EditCase{"InMemory", 48, HistoryStore::kDefaultMemoryBudget},
                                           EditCase{"Spilled", 256, 4096}),
                         [](const auto& info) { return std::string(info.param.name); });

// A long flood spills within the memory budget; a damaged spill file then reads
// as placeholders of the same shape; clear() gives memory and file space back.
TEST(HistoryStore, SpillKeepsMemoryWithinBudgetDamageKeepsTheShapeClearGivesItBack) {
    constexpr std::size_t kBudget = 512 * 1024;
    std::mt19937 rng(7);
    HistoryStore store(16 * 1024, kBudget);
    const int fd = tmpFile();
    ASSERT_GE(fd, 0);
    const int look = ::dup(fd);
    store.setSpillFile(fd);
    const std::string stream = hexStream(rng, 80000);  // about 4.6 MiB of text
    for (std::size_t i = 0; i < stream.size(); i += 4096)
        store.append(std::string_view(stream).substr(i, 4096));
    const std::string text = HistoryStore::normalizeBreaks(stream);
    EXPECT_LE(store.memoryBytes(), kBudget);
    EXPECT_GT(store.spilledChunks(), 100u);
    EXPECT_EQ(store.text(0, store.size()), text);
    EXPECT_EQ(store.statusText(), "");

    struct stat st {};
    ASSERT_EQ(::fstat(look, &st), 0);
    const std::string zeros(std::size_t(st.st_size), '\0');
    ASSERT_EQ(::pwrite(look, zeros.data(), zeros.size(), 0), ssize_t(zeros.size()));
    EXPECT_EQ(store.size(), qsizetype(text.size()));
    EXPECT_EQ(store.lineCount(), 80001);
    EXPECT_EQ(store.lineText(0).rfind("[history: this part could not", 0), 0u) << store.lineText(0);
    EXPECT_EQ(store.lineStart(80000), qsizetype(text.size()));
    const std::size_t lastLine = text.rfind('\n', text.size() - 2) + 1;
    EXPECT_EQ(store.lineText(79999), std::string_view(text).substr(lastLine, text.size() - 1 - lastLine));
    EXPECT_NE(store.statusText(), "");

    const std::size_t held = store.memoryBytes();
    store.clear();
    ASSERT_EQ(::fstat(look, &st), 0);
    EXPECT_EQ(st.st_blocks, 0) << "file space kept after clear()";
    EXPECT_LT(store.memoryBytes(), held / 4);
    ::close(look);
}

// The view reads a line, then looks up another part before it is done with it.
TEST(HistoryStore, LineTextOutlivesOneLookupElsewhere) {
    std::mt19937 rng(3);
    HistoryStore store(4096, 0);
    const std::string text = HistoryStore::normalizeBreaks(hexStream(rng, 3000));
    store.append(text);
    // The top chunk is the oldest in a full cache, then used again.
    for (qsizetype line : {0, 300, 600, 900})
        (void)store.lineText(line);
    const std::string_view top = store.lineText(0);
    (void)store.lineText(2000);
    EXPECT_EQ(top, std::string_view(text).substr(0, text.find('\n')));
}

// ---------------------------------------------------------------- the codec

struct PackCase {
    const char* name;
    std::string text;
};

class Codec : public ::testing::TestWithParam<PackCase> {};

// Only exact renderings may become bytes; anything near one is kept as it is. The
// store's own tests pack what the reader renders.
TEST_P(Codec, RoundTripsExactly) {
    HistoryCodec codec;
    const std::string& text = GetParam().text;
    const std::string blob = codec.pack(text);
    std::string out;
    ASSERT_TRUE(codec.unpack(blob, text.size(), out));
    EXPECT_EQ(out, text);
    EXPECT_FALSE(codec.unpack(blob, text.size() + 1, out));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Codec,
    ::testing::Values(PackCase{"Empty", ""}, PackCase{"OnlyBreaks", "\n\n\n"},
                      PackCase{"NoFinalBreak", "received:0x41 \nreceived:0x42 "},
                      PackCase{"Rendered", "received:0x0 0xf 0x10 0xff \nreceived:0 15 16 255 \nreceived:\n"},
                      // A count past what one op byte holds.
                      PackCase{"LongRun", HistoryStore::normalizeBreaks(received(std::string(300, '\x01'), ReceiveFormat::Hex))},
                      PackCase{"NearHex", "received:0x0A \nreceived:0x05 \nreceived:0x41\nreceived:0x41  \n"
                                          "received:0x100 \nreceived:0x \nreceived:0xg \nReceived:0x41 \n"},
                      PackCase{"NearDec", "received:007 \nreceived:256 \nreceived:1 0x2 \nreceived: \n"
                                          "received:1000 \nreceived:-1 \n"},
                      PackCase{"Other", std::string("COM3 Opened\nSent:abc\n\0\xff\r\x01\n", 26)}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- the spill file

// Nothing readable reaches the disk and every record has a nonce of its own. A
// record does not read once moved, changed in one bit, or put where another store
// wrote: every store makes its own key.
TEST(Spill, WritesNothingReadableAndRefusesDamage) {
    std::string plain;
    for (int i = 0; i < 200; ++i)
        plain += "SECRET line " + std::to_string(i) + "\n";
    const int fd = tmpFile(), otherFd = tmpFile();
    ASSERT_GE(fd, 0);
    ASSERT_GE(otherFd, 0);
    const int look = ::dup(fd), otherLook = ::dup(otherFd);
    HistorySpill spill, other;
    spill.adopt(fd);
    other.adopt(otherFd);
    std::vector<HistorySpill::Extent> records(2000);
    for (HistorySpill::Extent& e : records)
        ASSERT_EQ(spill.write(plain, e), 0);
    std::set<std::string> nonces;
    for (const HistorySpill::Extent& e : records) {
        std::string nonce(24, '\0');
        ASSERT_EQ(::pread(look, nonce.data(), nonce.size(), off_t(e.offset)), 24);
        nonces.insert(nonce);
    }
    EXPECT_EQ(nonces.size(), records.size()) << "a nonce used twice";

    const HistorySpill::Extent a = records[0], b = records[1];
    std::string disk(std::size_t(a.length + b.length), '\0');
    ASSERT_EQ(::pread(look, disk.data(), disk.size(), 0), ssize_t(disk.size()));
    EXPECT_EQ(disk.find("SECRET"), std::string::npos);
    std::string back;
    ASSERT_TRUE(spill.read(a, back));
    ASSERT_TRUE(spill.read(b, back));
    EXPECT_EQ(back, plain);

    HistorySpill::Extent theirs;
    ASSERT_EQ(other.write(plain, theirs), 0);
    ASSERT_EQ(::pwrite(otherLook, disk.data(), a.length, 0), ssize_t(a.length));
    EXPECT_FALSE(other.read(theirs, back)) << "another store's record read back: the key is not its own";
    ASSERT_EQ(::pwrite(look, disk.data(), a.length, off_t(b.offset)), ssize_t(a.length));
    EXPECT_FALSE(spill.read(b, back));
    const char flip = char(disk[a.length / 2] ^ 0x20);
    ASSERT_EQ(::pwrite(look, &flip, 1, off_t(a.length / 2)), 1);
    EXPECT_FALSE(spill.read(a, back));
    ::close(look);
    ::close(otherLook);
}

// ---------------------------------------------------------------- running out

struct FailingDisk {
    const char* name;
    int (*open)();
    const char* reason;
};

class DiskFails : public ::testing::TestWithParam<FailingDisk> {};

// The oldest lines go, the first line says how much, the rest is the newest part
// of what came, whole lines, in bounded memory.
TEST_P(DiskFails, DropsTheOldestAndSaysSo) {
    constexpr std::size_t kBudget = 256 * 1024;
    std::mt19937 rng(17);
    HistoryStore store(8192, kBudget);
    const int fd = GetParam().open();
    ASSERT_GE(fd, 0);
    store.setSpillFile(fd);
    const std::string stream = hexStream(rng, 60000);
    for (std::size_t i = 0; i < stream.size(); i += 5000)
        store.append(std::string_view(stream).substr(i, 5000));
    const std::string model = HistoryStore::normalizeBreaks(stream);

    const std::string first(store.lineText(0));
    EXPECT_EQ(first.rfind("[history: ", 0), 0u) << first;
    EXPECT_NE(first.find(" of the oldest lines dropped: " + std::string(GetParam().reason) + "]"), std::string::npos)
        << first;
    EXPECT_GT(store.droppedCharacters(), 0u);
    EXPECT_LE(store.memoryBytes(), kBudget);
    const std::string rest = store.text(store.lineStart(1), store.size());
    ASSERT_LT(rest.size(), model.size());
    EXPECT_EQ(model.compare(model.size() - rest.size(), rest.size(), rest), 0);
    EXPECT_EQ(model[model.size() - rest.size() - 1], '\n');
    EXPECT_EQ(store.droppedCharacters(), model.size() - rest.size());
}

INSTANTIATE_TEST_SUITE_P(
    Spill, DiskFails,
    ::testing::Values(FailingDisk{"Full", [] { return ::open("/dev/full", O_RDWR | O_CLOEXEC); }, "disk full"},
                      // A file that may not grow past 128 KiB: writes fail once the spill reaches it.
                      FailingDisk{"CannotGrow",
                                  [] {
                                      const int fd = ::memfd_create("spill", MFD_CLOEXEC | MFD_ALLOW_SEALING);
                                      if (fd < 0 || ::ftruncate(fd, 128 << 10) != 0 ||
                                          ::fcntl(fd, F_ADD_SEALS, F_SEAL_GROW) != 0)
                                          return -1;
                                      return fd;
                                  },
                                  "temporary file: Operation not permitted"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HistoryStore, OutOfMemoryStopsGrowingAndSaysSo) {
    static constexpr std::string_view kSays =
        "[history: out of memory: nothing more is kept until it is cleared]\n";
    std::mt19937 rng(19);
    HistoryStore store(1024);
    bool failing = false;
    store.setAllocationProbe([&failing](std::size_t) {
        if (failing)
            throw std::bad_alloc();
    });
    const std::string before = HistoryStore::normalizeBreaks(hexStream(rng, 100));
    store.append(before);
    const std::string kept = store.text(0, store.size());
    failing = true;
    store.replace(10, 3000, "x");
    failing = false;
    EXPECT_EQ(store.text(0, store.size()), kept) << "a failed edit changes nothing";
    failing = true;
    const std::string lost = HistoryStore::normalizeBreaks(hexStream(rng, 100));
    EXPECT_NO_THROW(store.append(lost));
    EXPECT_TRUE(store.stoppedGrowing());
    failing = false;
    store.append("received:late\r\n");
    store.append("received:later\r\n");

    const std::string text = store.text(0, store.size());
    ASSERT_EQ(text.rfind(before, 0), 0u);
    ASSERT_GE(text.size(), before.size() + kSays.size());
    EXPECT_EQ(text.substr(text.size() - kSays.size()), kSays);
    std::string between = text.substr(before.size(), text.size() - before.size() - kSays.size());
    if (!between.empty() && lost.compare(0, between.size(), between) != 0)
        between.pop_back();  // the break that ended a part-kept line
    EXPECT_EQ(lost.compare(0, between.size(), between), 0);
    expectMatches(store, text);
    EXPECT_NE(store.statusText(), "");

    store.clear();
    store.append("again\n");
    EXPECT_FALSE(store.stoppedGrowing());
    expectMatches(store, "again\n");
}

}  // namespace
