// The ways out of the history: saving it whole and logging it as it grows, on
// full, read-only and vanishing disks. Small file systems come from a private
// mount namespace of this test process.
#include "entry.h"
#include "history_log.h"
#include "history_save.h"
#include "history_store.h"
#include "history_view.h"
#include "render.h"
#include "test_seam.h"
#include "Unit1.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <random>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

std::string hexStream(std::mt19937& rng, int lines) {
    std::string s;
    unsigned char bytes[10];
    for (int i = 0; i < lines; ++i) {
        for (unsigned char& b : bytes) b = static_cast<unsigned char>(rng());
        RenderReceived(bytes, sizeof bytes, ReceiveFormat::Hex, s);
    }
    return s;
}

std::string readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string("<unreadable>");
}

void writeFile(const QString& path, const std::string& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(bytes.data(), qint64(bytes.size())), qint64(bytes.size()));
}

// Mounts a tmpfs over `dir`, visible to this process only. "" or why not.
std::string mountTmpfs(const QString& dir, unsigned long flags, const char* options) {
    static const int unshared =
        ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 ? 0 : errno;
    if (unshared != 0) return std::string("no private mount namespace: ") + std::strerror(unshared);
    if (::mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", flags, options) != 0)
        return std::string("no tmpfs: ") + std::strerror(errno);
    return {};
}

int tmpFile() { return ::open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); }

// ---------------------------------------------------------------- saving

struct Shape {
    const char* name;
    int (*spillFile)();  // null: all in memory
    bool damage;         // the spill file is overwritten before the save
    const char* shows;   // what the history then shows, besides the text
};

class SaveShapes : public ::testing::TestWithParam<Shape> {};

// The file holds what Select All and Copy show at the moment of the snapshot,
// placeholders and notices included, whatever the store does afterwards.
TEST_P(SaveShapes, FileHoldsWhatTheHistoryShowedWhenSaveWasChosen) {
    std::mt19937 rng(5);
    HistoryStore store(4096, GetParam().spillFile ? 256 * 1024 : HistoryStore::kDefaultMemoryBudget);
    int look = -1;
    if (GetParam().spillFile) {
        const int fd = GetParam().spillFile();
        ASSERT_GE(fd, 0);
        look = ::dup(fd);
        store.setSpillFile(fd);
    }
    const std::string stream = hexStream(rng, 20000);
    for (std::size_t i = 0; i < stream.size(); i += 7000) store.append(std::string_view(stream).substr(i, 7000));
    store.append("Sent:last\r\npartial");
    if (GetParam().damage) {
        const std::string zeros(1 << 16, '\0');
        ASSERT_EQ(::pwrite(look, zeros.data(), zeros.size(), 0), ssize_t(zeros.size()));
    }
    const std::string shown = store.text(0, store.size());
    EXPECT_NE(shown.find(GetParam().shows), std::string::npos);
    if (GetParam().spillFile == tmpFile) {
        EXPECT_GT(store.spilledChunks(), 0u);
        EXPECT_LT(store.spilledChunks() + 1, store.chunkCount()) << "not only partly spilled";
    }
    const HistoryStore::Snapshot snapshot = store.snapshot();
    // The store moves on: new text spilled where old records were, had they been given back.
    store.clear();
    store.append(hexStream(rng, 5000));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("saved.txt"));
    const HistorySave::Result result = HistorySave::write(snapshot, path, [](qint64) { return true; });
    ASSERT_EQ(result.outcome, HistorySave::Outcome::Saved) << result.error.toStdString();
    EXPECT_TRUE(readAll(path) == shown) << "the file is not what the history showed";
    if (look >= 0) ::close(look);
}

INSTANTIATE_TEST_SUITE_P(
    Store, SaveShapes,
    ::testing::Values(Shape{"InMemory", nullptr, false, "Sent:last\npartial"},
                      Shape{"PartlySpilled", tmpFile, false, "Sent:last\npartial"},
                      Shape{"Unreadable", tmpFile, true, "\n[history: this part could not be read back] [hi"},
                      Shape{"Dropped", [] { return ::open("/dev/full", O_RDWR | O_CLOEXEC); }, false,
                            " of the oldest lines dropped: disk full]\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// A save that does not end well leaves the folder as it was and says why.
TEST(Save, CancelledOrFailedLeavesTheOldFileAndNothingElse) {
    HistoryStore store;
    std::mt19937 rng(9);
    store.append(hexStream(rng, 200000));  // about 11 MiB, a dozen parts
    const HistoryStore::Snapshot snapshot = store.snapshot();
    const auto onlyTheOldFile = [](const QString& folder) {
        return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden) ==
               QStringList{QStringLiteral("saved.txt")};
    };

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("saved.txt"));
    writeFile(path, "old\n");
    qint64 seen = 0;
    HistorySave::Result result = HistorySave::write(snapshot, path, [&](qint64 written) {
        seen = written;
        return written < store.size() / 2;
    });
    EXPECT_EQ(result.outcome, HistorySave::Outcome::Cancelled);
    EXPECT_GE(seen, store.size() / 2);
    EXPECT_EQ(readAll(path), "old\n");
    EXPECT_TRUE(onlyTheOldFile(dir.path()));

    result = HistorySave::write(snapshot, dir.path(), [](qint64) { return true; });
    EXPECT_EQ(result.outcome, HistorySave::Outcome::Failed);
    EXPECT_FALSE(result.error.isEmpty());

    // A tmpfs of 2 MiB fills up; a read-only one takes nothing (root may write
    // anywhere a mode allows none).
    QTemporaryDir full, readOnly;
    if (const std::string why = mountTmpfs(full.path(), 0, "size=2m"); !why.empty()) GTEST_SKIP() << why;
    writeFile(full.filePath(QStringLiteral("saved.txt")), "old\n");
    result = HistorySave::write(snapshot, full.filePath(QStringLiteral("saved.txt")), [](qint64) { return true; });
    EXPECT_EQ(result.outcome, HistorySave::Outcome::Failed);
    EXPECT_EQ(result.error, QStringLiteral("No space left on device"));
    EXPECT_EQ(readAll(full.filePath(QStringLiteral("saved.txt"))), "old\n");
    EXPECT_TRUE(onlyTheOldFile(full.path()));
    ::umount(QFile::encodeName(full.path()).constData());

    ASSERT_EQ(mountTmpfs(readOnly.path(), MS_RDONLY, "size=2m"), "");
    result = HistorySave::write(snapshot, readOnly.filePath(QStringLiteral("saved.txt")), [](qint64) { return true; });
    EXPECT_EQ(result.outcome, HistorySave::Outcome::Failed);
    EXPECT_TRUE(result.error.contains(QStringLiteral("Read-only file system"))) << result.error.toStdString();
    ::umount(QFile::encodeName(readOnly.path()).constData());
}

// ---------------------------------------------------------------- logging

// The log says once, from its own thread, why it stopped.
class Log : public ::testing::Test {
protected:
    std::string stopped(std::chrono::seconds bound = std::chrono::seconds(10)) const {
        return reason.wait_for(bound) == std::future_status::ready ? reason.get() : "";
    }
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    const std::string file = QFile::encodeName(path).toStdString();
    std::promise<std::string> said;
    std::shared_future<std::string> reason = said.get_future().share();
    const HistoryLog::Stopped callback = [this](const std::string& why, std::uint64_t) { said.set_value(why); };
};

TEST_F(Log, WritesWhatTheHistoryGainsMarksEachStartAfterTheFirstStopsWhenRemoved) {
    HistoryLog log(callback);
    ASSERT_EQ(log.open(file), "");
    for (const char* piece : {"COM3 Opened\r\n", "received:a\r", "\nreceived:b\rc\r", "\r\n", "Sent:x", "\r"})
        log.add(piece);
    log.close();
    EXPECT_EQ(readAll(path), "COM3 Opened\nreceived:a\nreceived:b\rc\r\nSent:x\r");

    ASSERT_EQ(log.open(file), "");
    log.add("more\r\n");
    log.close();
    const std::string text = readAll(path);
    const std::string head = "COM3 Opened\nreceived:a\nreceived:b\rc\r\nSent:x\r\n[log started ";
    ASSERT_EQ(text.substr(0, head.size()), head);
    EXPECT_EQ(text.substr(head.size() + 19), "]\nmore\n") << text;
    EXPECT_EQ(stopped(std::chrono::seconds(0)), "");

    ASSERT_EQ(log.open(file), "");
    log.add("line\n");
    ASSERT_EQ(::unlink(file.c_str()), 0);
    EXPECT_EQ(stopped(), "the file was removed");
    EXPECT_FALSE(log.isOpen());
}

// A disk that does not keep up lets the queue grow to its bound, and no further.
TEST_F(Log, StopsWhenTheQueuePassesItsBound) {
    HistoryLog log(callback, 64 * 1024);
    ASSERT_EQ(log.open(file), "");
    log.add(std::string(64 * 1024, 'x'));
    EXPECT_EQ(stopped(), "the disk did not keep up");
    EXPECT_FALSE(log.isOpen());
    log.add("more\n");
    log.close();
    EXPECT_EQ(readAll(path), "");
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

// ---------------------------------------------------------------- the command line

// Runs the real entry as `morrelcom --log target`; reports and quits once the
// window is up.
void RunWithLog(const std::string& target) {
    const char* argv[] = {"morrelcom", "--log", target.c_str()};
    if (TakeCommandLine(3, const_cast<char**>(argv)) >= 0) std::exit(3);
    UseOnlyOverriddenPorts(true);
    alarm(60);
    QTimer::singleShot(0, [] {
        std::fprintf(stderr, "window up, logging: %d\n", int(Form1 && Form1->Memo1->isLogging()));
        QCoreApplication::quit();
    });
    std::exit(RunEntry());
}

// The program starts all the same, without a log, after one line on stderr.
TEST(CommandLine, LogThatCannotBeOpenedIsReportedAndTheProgramRunsWithout) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    QTemporaryDir dir;
    for (const QString& target : {dir.path(), dir.filePath(QStringLiteral("missing/log.txt"))})
        EXPECT_EXIT(RunWithLog(QFile::encodeName(target).toStdString()), ::testing::ExitedWithCode(0),
                    "morrelcom: not logging to [^\n]+: (Is a directory|No such file or directory)\n"
                    "window up, logging: 0\n");
}

}  // namespace
