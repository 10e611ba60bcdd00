// The log of the history: what reaches the file and in what order, across log
// rotation (rename, removal, copy and truncate) during a flood; how often it is
// synced; its bound on a disk that does not keep up; and a close that never waits
// on a stalled disk. The sync is replaced by a seam that counts and can stall.
#include "history_log.h"
#include "sync_seam.h"
#include "test_files.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <regex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// The times in the marking lines, made "T".
std::string masked(const std::string& text) {
    static const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
    return std::regex_replace(text, stamp, "T");
}

class Log : public ::testing::Test {
protected:
    ~Log() override { seam->stall(false); }  // a failed test leaves no writer stuck
    // The defaults, but for the sync.
    HistoryLog::Options options() const {
        HistoryLog::Options options;
        options.sync = [seam = seam](int fd) { return seam->sync(fd); };
        return options;
    }
    std::string stopped(std::chrono::seconds bound = 10s) const {
        return reason.wait_for(bound) == std::future_status::ready ? reason.get() : "";
    }
    QTemporaryDir folder;
    const std::string dir = folder.path().toStdString();
    const std::string file = dir + "/log.txt";
    std::shared_ptr<SyncSeam> seam = std::make_shared<SyncSeam>();
    std::promise<std::string> said;
    std::shared_future<std::string> reason = said.get_future().share();
    const HistoryLog::Stopped callback = [this](const std::string& why, std::uint64_t) { said.set_value(why); };

    // Holds the writer in its sync, with "a\n" written.
    void stallWriter(HistoryLog& log) {
        seam->stall(true);
        log.add("a\n");
        log.flush();
        ASSERT_TRUE(seam->waitFor([&] { return seam->inside > 0; }));
    }
};

TEST_F(Log, WritesTheTextBetweenAStartLineAfterTheFirstAndAnEndLine) {
    HistoryLog log(callback);
    ASSERT_EQ(log.open(file), "");
    for (const char* piece : {"COM3 Opened\r\n", "received:a\r", "\nreceived:b\rc\r", "\r\n", "Sent:x", "\r"})
        log.add(piece);
    ASSERT_TRUE(log.finish(10000));
    EXPECT_EQ(masked(FileText(file)), "COM3 Opened\nreceived:a\nreceived:b\rc\r\nSent:x\r\n[log ended T]\n");

    ASSERT_EQ(log.open(file), "");
    log.add("more\r\n");
    log.close();
    ASSERT_TRUE(log.finish(10000));
    EXPECT_EQ(masked(FileText(file)), "COM3 Opened\nreceived:a\nreceived:b\rc\r\nSent:x\r\n[log ended T]\n"
                                      "[log started T]\nmore\n[log ended T]\n");
    EXPECT_EQ(stopped(0s), "");
}

// With times: each line after the time it began at (a held '\r' begins one), a
// change of mode on a line of its own, and a start line with the date and mode.
TEST_F(Log, WritesEachLineAfterItsTimeAndNotesTheMode) {
    HistoryLog log(callback);
    ASSERT_EQ(log.open(file, "timestamps: Time of Day"), "");
    log.add("received:a\r", "A ", "a ");
    log.add("\nreceived:b\r\nreceived:c", "B ", "b ");
    log.add("\r", "C ", "c ");
    log.add("\r\nSent:x\r\n", "D ", "d ");
    log.note("[timestamps: None]");
    log.add("plain\r\n");
    ASSERT_TRUE(log.finish(10000));
    EXPECT_EQ(masked(FileText(file)), "[log started T; timestamps: Time of Day]\nA received:a\nB received:b\n"
                                      "b received:c\r\nD Sent:x\n[timestamps: None]\nplain\n[log ended T]\n");
}

// The saving side refuses to write over the file the log has open.
TEST_F(Log, KnowsItsOwnFileByDeviceAndInode) {
    std::ofstream(file) << "before\n";
    std::ofstream(dir + "/other.txt") << "before\n";
    HistoryLog log(callback);
    EXPECT_FALSE(log.isSameFile(file)) << "not logging";
    ASSERT_EQ(log.open(file), "");
    ASSERT_EQ(::link(file.c_str(), (dir + "/linked.txt").c_str()), 0);
    EXPECT_TRUE(log.isSameFile(file));
    EXPECT_TRUE(log.isSameFile(dir + "/./log.txt"));
    EXPECT_TRUE(log.isSameFile(dir + "/linked.txt"));
    EXPECT_FALSE(log.isSameFile(dir + "/other.txt"));
    EXPECT_FALSE(log.isSameFile(dir + "/missing.txt"));
    log.close();
    EXPECT_FALSE(log.isSameFile(file)) << "closed";
}

enum class Rotation { Rename, Remove, CopyTruncate };
constexpr const char* kRotationNames[] = {"Rename", "Remove", "CopyTruncate"};
void PrintTo(Rotation rotation, std::ostream* out) { *out << kRotationNames[int(rotation)]; }

class LogRotation : public Log, public ::testing::WithParamInterface<Rotation> {};

// What was written before the rotation is in the old file (a removed one read
// through a descriptor kept open), the rest in the new one after one marking line.
TEST_P(LogRotation, EveryByteReachesOneFileOnceInOrder) {
    HistoryLog log(callback, options());
    ASSERT_EQ(log.open(file), "");
    std::string sent;
    int next = 0;
    const auto send = [&](int lines) {
        std::string chunk;
        for (int i = 0; i < lines; ++i)
            chunk += "line " + std::to_string(next++) + "\n";
        log.add(chunk);
        sent += chunk;
    };
    // Some of it written before the rotation, some still queued.
    for (int i = 0; i < 20; ++i)
        send(100);
    log.flush();
    for (int i = 0; i < 1000 && FileText(file).empty(); ++i)
        std::this_thread::sleep_for(10ms);
    for (int i = 0; i < 50; ++i)
        send(100);

    const std::string old = file + ".1";
    int oldFd = -1;
    std::string mark;
    switch (GetParam()) {
    case Rotation::Rename:
        // As logrotate does by default: a new empty file takes the name at once.
        ASSERT_EQ(::rename(file.c_str(), old.c_str()), 0);
        std::ofstream(file, std::ios::binary).flush();
        mark = "[log continued T: the file was moved away]\n";
        break;
    case Rotation::Remove:
        oldFd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(oldFd, 0);
        ASSERT_EQ(::unlink(file.c_str()), 0);
        mark = "[log continued T: the file was removed]\n";
        break;
    case Rotation::CopyTruncate:
        // Copied and cut while the writer waits in a sync: no write is under way.
        seam->stall(true);
        send(1);
        log.flush();
        ASSERT_TRUE(seam->waitFor([&] { return seam->inside > 0; }));
        std::ofstream(old, std::ios::binary) << FileText(file);
        ASSERT_EQ(::truncate(file.c_str(), 0), 0);
        seam->stall(false);
        break;
    }
    // The flood goes on until the log is seen in the new file.
    for (int i = 0; i < 1000 && !mark.empty() && FileText(file).find("[log continued") == std::string::npos; ++i) {
        send(100);
        std::this_thread::sleep_for(10ms);
    }
    for (int i = 0; i < 50; ++i)
        send(100);
    ASSERT_TRUE(log.finish(10000));
    EXPECT_EQ(stopped(0s), "");

    const std::string before = FileText(oldFd >= 0 ? "/proc/self/fd/" + std::to_string(oldFd) : old);
    if (oldFd >= 0)
        ::close(oldFd);
    std::string after = masked(FileText(file));
    const std::string end = "[log ended T]\n";
    ASSERT_TRUE(after.size() >= mark.size() + end.size() && after.starts_with(mark) && after.ends_with(end))
        << after.substr(0, 200);
    after = after.substr(mark.size(), after.size() - mark.size() - end.size());
    EXPECT_GT(before.size(), 0u) << "nothing reached the old file";
    EXPECT_GT(after.size(), 0u) << "nothing reached the new file";
    EXPECT_TRUE(before + after == sent) << "old " << before.size() << " + new " << after.size() << " bytes, sent "
                                        << sent.size();
}

INSTANTIATE_TEST_SUITE_P(, LogRotation, ::testing::Values(Rotation::Rename, Rotation::Remove, Rotation::CopyTruncate),
                         ::testing::PrintToStringParamName());

// A folder gone is a real failure: the log stops with the system's reason.
TEST_F(Log, StopsWithTheSystemsReasonWhenThePathCannotBeOpenedAgain) {
    const std::string sub = dir + "/sub";
    ASSERT_EQ(::mkdir(sub.c_str(), 0700), 0);
    HistoryLog log(callback);
    ASSERT_EQ(log.open(sub + "/log.txt"), "");
    log.add("a\n");
    ASSERT_EQ(::unlink((sub + "/log.txt").c_str()), 0);
    ASSERT_EQ(::rmdir(sub.c_str()), 0);
    log.flush();
    EXPECT_EQ(stopped(), std::strerror(ENOENT));
    EXPECT_FALSE(log.isOpen());
}

TEST_F(Log, SyncsAtLeastEverySyncPeriodWhileTextComes) {
    HistoryLog log(callback, options());
    ASSERT_EQ(log.open(file), "");
    for (int round = 0; round < 3; ++round) {
        const int seen = seam->count();
        log.add("line\n");
        EXPECT_TRUE(seam->waitFor([&] { return seam->calls > seen; }, 5s)) << "round " << round;
    }
}

// Disconnect asks for it: written and synced now, not at the next period.
TEST_F(Log, FlushWritesAndSyncsAtOnce) {
    HistoryLog::Options slow = options();
    slow.syncMs = 3600 * 1000;
    HistoryLog log(callback, slow);
    ASSERT_EQ(log.open(file), "");
    log.add("line\n");
    log.flush();
    EXPECT_TRUE(seam->waitFor([&] { return seam->calls > 0; }));
    EXPECT_EQ(FileText(file), "line\n");
}

// The writer is held in a sync while the queue fills to exactly its bound, the
// 64 MiB the user is told of.
TEST_F(Log, StopsWhenTheQueuePassesItsBound) {
    constexpr std::size_t bound = std::size_t{64} << 20;
    HistoryLog log(callback, options());
    ASSERT_EQ(log.open(file), "");
    stallWriter(log);
    const std::string chunk(std::size_t{1} << 20, 'x');
    for (std::size_t queued = 0; queued < bound; queued += chunk.size())
        log.add(std::string_view(chunk).substr(0, std::min(chunk.size(), bound - queued)));
    EXPECT_TRUE(log.isOpen()) << "stopped at or before the bound";
    log.add("y");
    EXPECT_EQ(stopped(), "the disk did not keep up");
    EXPECT_FALSE(log.isOpen());
    seam->stall(false);
    ASSERT_TRUE(log.finish(10000));
    EXPECT_EQ(FileText(file), "a\n");
}

// Closing returns while the writer is still held; it finishes alone, and a new
// log on the same file writes only after it.
TEST_F(Log, CloseLeavesAStalledWriterToFinishAloneAndTheNextLogWaitsItsTurn) {
    HistoryLog log(callback, options());
    ASSERT_EQ(log.open(file), "");
    stallWriter(log);
    // Frees the writer should close or open wait for it, so that the test cannot hang.
    std::promise<void> returned;
    std::atomic<bool> freedByWatchdog = false;
    std::thread watchdog([&, done = returned.get_future()] {
        if (done.wait_for(3s) != std::future_status::ready) {
            freedByWatchdog = true;
            seam->stall(false);
        }
    });
    log.close();
    const std::string opened = log.open(file);
    returned.set_value();
    watchdog.join();
    EXPECT_FALSE(freedByWatchdog) << "close or open waited for the stalled writer";
    ASSERT_EQ(opened, "");
    log.add("b\n");
    log.flush();
    // A new writer that did not wait its turn would write and reach the seam now.
    seam->waitFor([&] { return seam->inside > 1; }, 1s);
    seam->stall(false);
    ASSERT_TRUE(log.finish(10000));
    EXPECT_EQ(masked(FileText(file)), "a\n[log ended T]\n[log started T]\nb\n[log ended T]\n");
}

}  // namespace
