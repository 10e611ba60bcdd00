// The history's storage, checked against a plain string: packing, the cache, the
// encrypted spill file, a failing disk and running out of memory; and the ways out
// of it: saving it whole and logging it as it grows, on full, read-only and
// vanishing disks. Small file systems come from a private mount namespace of this
// test process.
#include "history_codec.h"
#include "history_save.h"
#include "history_spill.h"
#include "history_store.h"
#include "history_view.h"
#include "render.h"
#include "test_files.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sched.h>
#include <set>
#include <sys/mman.h>
#include <sys/mount.h>
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

// Every line's time, by lookup and from a snapshot, is the one the model gave it.
void expectTimes(const HistoryStore& store, const std::vector<std::int64_t>& times) {
    ASSERT_EQ(store.lineCount(), qsizetype(times.size()));
    std::vector<std::int64_t> snapped;
    const HistoryStore::Snapshot snapshot = store.snapshot();
    for (std::size_t i = 0; i < snapshot.parts(); ++i)
        snapshot.readTimes(i, snapped);
    ASSERT_EQ(snapped, times);
    for (qsizetype line = 0; line < store.lineCount(); ++line)
        ASSERT_EQ(store.lineTime(line), times[std::size_t(line)]) << "line " << line;
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

// Mounts a tmpfs over `dir`, visible to this process only. "" or why not.
std::string mountTmpfs(const QString& dir, unsigned long flags, const char* options) {
    static const int unshared =
        ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 ? 0 : errno;
    if (unshared != 0) return std::string("no private mount namespace: ") + std::strerror(unshared);
    if (::mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", flags, options) != 0)
        return std::string("no tmpfs: ") + std::strerror(errno);
    return {};
}

// ---------------------------------------------------------------- appends and edits

// "\r\n" and "\n" are one break each, also split across appends; every other
// byte, a lone "\r" among them, stays.
TEST(HistoryStore, AppendKeepsBreaksAndCharacters) {
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{"received:Hi\r\n", "Sent:x\r\n"}, "received:Hi\nSent:x\n"},
        {{"a\r", "\nb\r", "\r\n"}, "a\nb\r\n"},
        {{"a\nb\rc", "\n"}, "a\nb\rc\n"},
        {{std::string("\0\x01\t\x7f\x80\xff", 6), "\r\n"}, std::string("\0\x01\t\x7f\x80\xff\n", 7)},
        {{"\r\n\r\n", "\n"}, "\n\n\n"},
    };
    for (const auto& [pieces, text] : rows) {
        SCOPED_TRACE(::testing::PrintToString(text));
        HistoryStore store;
        for (const std::string& piece : pieces)
            store.append(piece);
        expectMatches(store, text);
    }
}

// Random appends and edits anywhere, on chunks small enough that edits cross and
// merge them, packed and, with a tiny budget, spilled and read back.
TEST(HistoryStore, EditsMatchAPlainString) {
    const std::pair<std::size_t, std::size_t> tiers[] = {{48, HistoryStore::kDefaultMemoryBudget}, {256, 4096}};
    for (const auto& [chunkBytes, budget] : tiers) {
        SCOPED_TRACE(budget);
        std::mt19937 rng(20240611);
        HistoryStore store(chunkBytes, budget);
        std::string model;
        // A line takes the time of the append that brings its first character, or of
        // the line an edit made it from.
        std::vector<std::int64_t> times = {0};
        auto lineOf = [&model](std::size_t pos) {
            return std::size_t(std::count(model.begin(), model.begin() + std::ptrdiff_t(pos), '\n'));
        };
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
                const std::int64_t time = step * 1000 - (step % 7) * 9000;  // now and then earlier than before
                store.append(piece, time);
                if (model.empty() || model.back() == '\n')
                    times.back() = piece.empty() ? times.back() : time;
                if (!piece.empty() && piece[0] == '\n' && !model.empty() && model.back() == '\r')
                    model.back() = '\n', model += HistoryStore::normalizeBreaks(piece.substr(1));
                else
                    model += HistoryStore::normalizeBreaks(piece);
                times.resize(lineOf(model.size()) + 1, time);
            } else {
                const auto pos = std::uniform_int_distribution<std::size_t>(0, model.size())(rng);
                const auto len =
                    std::uniform_int_distribution<std::size_t>(0, std::min<std::size_t>(model.size() - pos, 120))(rng);
                const std::string insert = op == 2 ? std::string() : randomText(op == 3 ? 10 : 200);
                store.replace(qsizetype(pos), qsizetype(len), insert);
                const std::size_t first = lineOf(pos), last = lineOf(pos + len);
                times.erase(times.begin() + std::ptrdiff_t(first) + 1, times.begin() + std::ptrdiff_t(last) + 1);
                times.insert(times.begin() + std::ptrdiff_t(first) + 1,
                             std::size_t(std::count(insert.begin(), insert.end(), '\n')), times[first]);
                model.replace(pos, len, insert);
            }
            if (step % 50 == 0) {
                expectMatches(store, model);
                expectTimes(store, times);
            }
            if (HasFatalFailure())
                FAIL() << "after step " << step;
        }
        expectMatches(store, model);
        expectTimes(store, times);
        EXPECT_EQ(store.spilledChunks() > 0, budget < 65536);
        store.clear();
        expectMatches(store, "");
        EXPECT_EQ(store.spilledChunks(), 0u);
    }
}

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

// Only exact renderings may become bytes; anything near one is kept as it is. The
// store's own tests pack what the reader renders.
TEST(Codec, RoundTripsExactly) {
    const std::string texts[] = {
        "",
        "\n\n\n",
        "received:0x41 \nreceived:0x42 ",
        "received:0x0 0xf 0x10 0xff \nreceived:0 15 16 255 \nreceived:\n",
        // A count past what one op byte holds.
        HistoryStore::normalizeBreaks(received(std::string(300, '\x01'), ReceiveFormat::Hex)),
        "received:0x0A \nreceived:0x05 \nreceived:0x41\nreceived:0x41  \n"
        "received:0x100 \nreceived:0x \nreceived:0xg \nReceived:0x41 \n",
        "received:007 \nreceived:256 \nreceived:1 0x2 \nreceived: \nreceived:1000 \nreceived:-1 \n",
        std::string("COM3 Opened\nSent:abc\n\0\xff\r\x01\n", 26),
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(::testing::PrintToString(text));
        HistoryCodec codec;
        const std::string blob = codec.pack(text);
        std::string out;
        EXPECT_TRUE(codec.unpack(blob, text.size(), out));
        EXPECT_EQ(out, text);
        EXPECT_FALSE(codec.unpack(blob, text.size() + 1, out));
    }
}

// ---------------------------------------------------------------- the spill file

// Nothing readable reaches the disk and every record has a nonce of its own. A
// record does not read once moved, changed in one bit, or put where another store
// wrote: every store makes its own key.
TEST(Spill, WritesNothingReadableAndRefusesDamage) {
    std::string plain;
    for (int i = 0; i < 200; ++i)
        plain += "SECRET line " + std::to_string(i) + "\n";
    const int fd = tmpFile(), otherFd = tmpFile();
    ASSERT_TRUE(fd >= 0 && otherFd >= 0);
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

// The oldest lines go, the first line says how much and why, the rest is the
// newest part of what came, whole lines, in bounded memory.
TEST(HistoryStore, AFailingDiskDropsTheOldestAndSaysSo) {
    constexpr std::size_t kBudget = 256 * 1024;
    // A file that may not grow past 128 KiB: writes fail once the spill reaches it.
    const int cannotGrow = ::memfd_create("spill", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    ASSERT_EQ(::ftruncate(cannotGrow, 128 << 10), 0);
    ASSERT_EQ(::fcntl(cannotGrow, F_ADD_SEALS, F_SEAL_GROW), 0);
    const std::pair<int, std::string> disks[] = {{::open("/dev/full", O_RDWR | O_CLOEXEC), "disk full"},
                                                 {cannotGrow, "temporary file: Operation not permitted"}};
    for (const auto& [fd, reason] : disks) {
        SCOPED_TRACE(reason);
        ASSERT_GE(fd, 0);
        std::mt19937 rng(17);
        HistoryStore store(8192, kBudget);
        store.setSpillFile(fd);
        const std::string stream = hexStream(rng, 60000);
        for (std::size_t i = 0; i < stream.size(); i += 5000)
            store.append(std::string_view(stream).substr(i, 5000), std::int64_t(i + 1));
        const std::string model = HistoryStore::normalizeBreaks(stream);

        const std::string first(store.lineText(0));
        EXPECT_NE(first.find(" of the oldest lines dropped: " + reason + "]"), std::string::npos) << first;
        // The notice has the time of the append that dropped lines, no later than the lines after it.
        EXPECT_GT(store.lineTime(0), 1);
        EXPECT_LE(store.lineTime(0), store.lineTime(store.lineCount() - 1));
        EXPECT_LE(store.memoryBytes(), kBudget);
        const std::string rest = store.text(store.lineStart(1), store.size());
        ASSERT_LT(rest.size(), model.size());
        EXPECT_EQ(model.compare(model.size() - rest.size(), rest.size(), rest), 0);
        EXPECT_EQ(model[model.size() - rest.size() - 1], '\n');
        EXPECT_EQ(store.droppedCharacters(), model.size() - rest.size());
        // After several drops the line counts them all, not the last one.
        EXPECT_GE(store.frontChanges(), 3u);
        double amount = 0;
        char unit[4] = {};
        ASSERT_EQ(std::sscanf(first.c_str(), "[history: %lf %3s", &amount, unit), 2) << first;
        const double factor = std::string(unit) == "KiB" ? 1024.0 : std::string(unit) == "MiB" ? 1048576.0 : 0;
        EXPECT_NEAR(amount * factor, double(store.droppedCharacters()), 0.05 * factor + 1) << first;
    }
}

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

// ---------------------------------------------------------------- saving

// The file holds what Select All and Copy show at the moment of the snapshot,
// placeholders included, whatever the store does afterwards; a save that does not
// end well leaves the folder as it was and says why.
TEST(Save, FileHoldsWhatTheHistoryShowedOrTheFolderStaysAsItWas) {
    std::mt19937 rng(5);
    HistoryStore store(4 * 1024, 1 << 20);
    const int fd = tmpFile();
    ASSERT_GE(fd, 0);
    const int look = ::dup(fd);
    store.setSpillFile(fd);
    const std::string stream = hexStream(rng, 80000);
    for (std::size_t i = 0; i < stream.size(); i += 70000) store.append(std::string_view(stream).substr(i, 70000));
    store.append("Sent:last\r\npartial");
    // The oldest record spilled no longer reads; those after it still do.
    const std::string zeros(24, '\0');
    ASSERT_EQ(::pwrite(look, zeros.data(), zeros.size(), 0), ssize_t(zeros.size()));
    ::close(look);
    const std::string shown = store.text(0, store.size());
    EXPECT_EQ(shown.rfind("[history: this part could not be read back] [hi", 0), 0u);
    EXPECT_NE(shown.find("Sent:last\npartial"), std::string::npos);
    EXPECT_GT(store.spilledChunks(), 1u);
    EXPECT_LT(store.spilledChunks() + 1, store.chunkCount()) << "not only partly spilled";
    const HistoryStore::Snapshot snapshot = store.snapshot();
    // The store moves on: new text spilled where old records were, had they been given back.
    store.clear();
    store.append(hexStream(rng, 5000));
    const auto onlyTheOldFile = [](const QString& folder) {
        return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden) ==
               QStringList{QStringLiteral("saved.txt")};
    };

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("saved.txt"));
    writeFile(path, "old\n");
    const auto always = [](qint64, HistorySave::Stage) { return true; };
    qint64 seen = 0;
    HistorySave::Result result = HistorySave::write(snapshot, path, [&](qint64 written, HistorySave::Stage) {
        seen = written;
        return written < snapshot.size() / 2;
    });
    EXPECT_EQ(result.outcome, HistorySave::Outcome::Cancelled);
    EXPECT_GE(seen, snapshot.size() / 2);
    EXPECT_EQ(readAll(path), "old\n");
    EXPECT_TRUE(onlyTheOldFile(dir.path()));
    result = HistorySave::write(snapshot, path, always);
    ASSERT_EQ(result.outcome, HistorySave::Outcome::Saved) << result.error.toStdString();
    EXPECT_TRUE(readAll(path) == shown) << "the file is not what the history showed";

    // A tmpfs of 1 MiB fills up; a read-only one takes nothing (root may write
    // anywhere a mode allows none).
    QTemporaryDir full, readOnly;
    if (const std::string why = mountTmpfs(full.path(), 0, "size=1m"); !why.empty()) GTEST_SKIP() << why;
    writeFile(full.filePath(QStringLiteral("saved.txt")), "old\n");
    result = HistorySave::write(snapshot, full.filePath(QStringLiteral("saved.txt")), always);
    EXPECT_EQ(result.outcome, HistorySave::Outcome::Failed);
    EXPECT_EQ(result.error.toStdString(), "No space left on device");
    EXPECT_EQ(readAll(full.filePath(QStringLiteral("saved.txt"))), "old\n");
    EXPECT_TRUE(onlyTheOldFile(full.path()));
    ::umount(QFile::encodeName(full.path()).constData());

    ASSERT_EQ(mountTmpfs(readOnly.path(), MS_RDONLY, "size=1m"), "");
    result = HistorySave::write(snapshot, readOnly.filePath(QStringLiteral("saved.txt")), always);
    EXPECT_EQ(result.outcome, HistorySave::Outcome::Failed);
    EXPECT_TRUE(result.error.contains(QStringLiteral("Read-only file system"))) << result.error.toStdString();
    ::umount(QFile::encodeName(readOnly.path()).constData());
}

// ---------------------------------------------------------------- in the window's history

class HistoryOut : public ::testing::Test {
protected:
    void SetUp() override {
        view.resize(341, 160);
        view.show();
    }
    HistoryView view;
};

TEST_F(HistoryOut, SaveWhileAFloodComesTakesTheHistoryAsItWas) {
    std::mt19937 rng(11);
    view.appendLatin1(hexStream(rng, 150000));
    const QString before = view.toPlainText();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("saved.txt"));
    QSignalSpy finished(&view, &HistoryView::saveFinished);
    ASSERT_TRUE(view.saveHistory(path));
    EXPECT_FALSE(view.saveHistory(path)) << "a second save while one runs";
    const std::string flood = hexStream(rng, 500);
    for (int i = 0; finished.isEmpty() && i < 20000; ++i) {
        view.appendLatin1(flood);
        if (i == 3) view.clear();
        QCoreApplication::processEvents();
    }
    ASSERT_TRUE(!finished.isEmpty() || finished.wait(10000));
    EXPECT_TRUE(finished.at(0).at(1).toBool()) << finished.at(0).at(2).toString().toStdString();
    EXPECT_TRUE(readAll(path) == before.toLatin1().toStdString()) << "the file is not the history as it was";
    EXPECT_FALSE(view.isSaving());
}

// The disk fills mid-flood: the log stops with one line, the history goes on.
TEST_F(HistoryOut, LogOnADiskThatFillsStopsWithOneLine) {
    QTemporaryDir small;
    if (const std::string why = mountTmpfs(small.path(), 0, "size=1m"); !why.empty()) GTEST_SKIP() << why;
    ASSERT_EQ(view.startLog(small.filePath(QStringLiteral("log.txt"))), QString());
    std::mt19937 rng(13);
    const std::string flood = hexStream(rng, 2000);
    for (int i = 0; view.isLogging() && i < 200; ++i) {
        view.appendLatin1(flood);
        QCoreApplication::processEvents();
    }
    view.appendLatin1("received:after\r\n");
    const auto stopLine = [&] {
        const QString text = view.toPlainText();
        const qsizetype at = text.indexOf(QStringLiteral("[log stopped after "));
        return at < 0 ? QString() : text.mid(at, text.indexOf(u'\n', at) - at);
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return !stopLine().isEmpty(); }, 10000));
    EXPECT_TRUE(stopLine().endsWith(QStringLiteral(": No space left on device]"))) << stopLine().toStdString();
    EXPECT_FALSE(view.isLogging());
    EXPECT_EQ(view.toPlainText().count(QStringLiteral("[log stopped")), 1);
    EXPECT_TRUE(view.toPlainText().contains(QStringLiteral("received:after\n")));
    ::umount(QFile::encodeName(small.path()).constData());
}

}  // namespace
