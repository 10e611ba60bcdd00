// Saving the history onto what is already there: what it refuses to replace, a
// disk whose sync fails, and Cancel or the window's stop arriving while the new
// file is synced, before it would replace the old one.
#include "history_save.h"
#include "history_store.h"
#include "history_view.h"
#include "sync_seam.h"
#include "test_files.h"

#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The names in `folder`, hidden ones included, in order.
std::string entries(const QString& folder) {
    const QDir::Filters all = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System;
    return QDir(folder).entryList(all, QDir::Name).join(QLatin1Char(' ')).toStdString();
}

// The save syncs through the seam for the length of a test, then through ::fdatasync.
struct SaveSeam : SyncSeam {
    SaveSeam() {
        current = this;
        HistorySave::setSyncFunction([](int fd) { return current->sync(fd); });
    }
    ~SaveSeam() {
        stall(false);
        HistorySave::setSyncFunction(nullptr);
    }
    static inline SaveSeam* current = nullptr;
};

const auto always = [](qint64, HistorySave::Stage) { return true; };

// Nothing is written, and the folder stays as it was, when the target is not a
// file of its own or the disk cannot say the new file is on it; once saved, the
// new name is on the disk too.
TEST(Save, RefusesWhatItWouldBreakAndFailsWhenTheSyncDoes) {
    HistoryStore store;
    store.append("received:new\r\n");
    const HistoryStore::Snapshot snapshot = store.snapshot();
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("saved.txt"));
    const QString otherName = dir.filePath(QStringLiteral("other-name.txt"));
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    writeFile(file, "old\n");
    ASSERT_EQ(::link(QFile::encodeName(file).constData(), QFile::encodeName(otherName).constData()), 0);
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);

    const std::pair<QString, std::string> refused[] = {
        {fifo, "not a regular file"},
        {otherName, "the file has other names (hard links); saving would separate them"}};
    for (const auto& [path, reason] : refused) {
        const HistorySave::Result result = HistorySave::write(snapshot, path, always);
        EXPECT_EQ(result.outcome, HistorySave::Outcome::Failed) << path.toStdString();
        EXPECT_EQ(result.error.toStdString(), reason);
    }
    struct stat st {};
    ASSERT_EQ(::lstat(QFile::encodeName(fifo).constData(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ASSERT_EQ(::unlink(QFile::encodeName(otherName).constData()), 0);

    SaveSeam seam;
    seam.error = EIO;
    const HistorySave::Result result = HistorySave::write(snapshot, file, always);
    EXPECT_EQ(result.outcome, HistorySave::Outcome::Failed);
    EXPECT_EQ(result.error.toStdString(), "Input/output error");
    EXPECT_EQ(readAll(file), "old\n");
    EXPECT_EQ(entries(dir.path()), "fifo saved.txt") << "a partial file remains";
    // Saved: the file is synced, and then the folder that holds its new name.
    seam.error = 0;
    const int before = seam.count();
    EXPECT_EQ(HistorySave::write(snapshot, file, always).outcome, HistorySave::Outcome::Saved);
    EXPECT_EQ(readAll(file), "received:new\n");
    EXPECT_EQ(seam.count() - before, 2);
    EXPECT_EQ(seam.folders, 1);
}

class SaveInView : public ::testing::Test {
protected:
    void SetUp() override {
        view.appendLatin1("received:new\r\n");
        writeFile(path, "old\n");
    }
    // Until the save is in its sync, held there.
    void saveUntilSyncing(SaveSeam& seam) {
        seam.stall(true);
        ASSERT_TRUE(view.saveHistory(path));
        ASSERT_TRUE(seam.waitFor([&] { return seam.inside > 0; }));
    }
    HistoryView view;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("saved.txt"));
    QSignalSpy finished{&view, &HistoryView::saveFinished};
};

// Cancel works until the new file replaces the old one: the dialog says when the
// disk is what is being waited for, and its Cancel still leaves the old file. The
// window's stop on quit is false while the sync holds the thread, true once it has
// ended. Neither leaves a partial file.
TEST_F(SaveInView, CancelOrStopDuringTheSyncLeavesTheOldFile) {
    {
        SaveSeam seam;
        saveUntilSyncing(seam);
        EXPECT_EQ(view.savingPath().toStdString(), path.toStdString());
        EXPECT_EQ(view.savingTotal(), 13);
        auto* progress = view.findChild<QProgressDialog*>();
        ASSERT_NE(progress, nullptr);
        EXPECT_TRUE(QTest::qWaitFor([&] { return progress->isVisible(); }, 5000));
        EXPECT_EQ(progress->labelText().toStdString(), "Writing to disk\u2026");
        auto* cancel = progress->findChild<QPushButton*>();
        ASSERT_NE(cancel, nullptr);
        cancel->click();
        seam.stall(false);
        ASSERT_TRUE(finished.wait(10000));
        EXPECT_FALSE(finished.at(0).at(1).toBool());
        EXPECT_EQ(finished.at(0).at(2).toString().toStdString(), "") << "cancelled, not failed";
    }
    EXPECT_EQ(readAll(path), "old\n");
    EXPECT_EQ(entries(dir.path()), "saved.txt");

    SaveSeam seam;
    saveUntilSyncing(seam);
    EXPECT_FALSE(view.stopSave(50));
    EXPECT_TRUE(view.isSaving());
    seam.stall(false);
    EXPECT_TRUE(view.stopSave(10000));
    EXPECT_FALSE(view.isSaving());
    EXPECT_EQ(view.savingTotal(), 0);
    ASSERT_EQ(finished.count(), 2);
    EXPECT_FALSE(finished.at(1).at(1).toBool());
    EXPECT_EQ(readAll(path), "old\n");
    EXPECT_EQ(entries(dir.path()), "saved.txt");
    EXPECT_TRUE(view.stopSave(0)) << "none runs";
}

// The running log's file is not replaced under the log: refused as a failure is
// told, after saveHistory() has returned.
TEST_F(SaveInView, TheLogsOwnFileIsRefused) {
    const QString log = dir.filePath(QStringLiteral("log.txt"));
    ASSERT_EQ(view.startLog(log), QString());
    view.appendLatin1("received:logged\r\n");
    view.stopLog();
    const std::string logged = readAll(log);
    ASSERT_EQ(view.startLog(log), QString());
    ASSERT_TRUE(view.saveHistory(log));
    EXPECT_EQ(finished.count(), 0);
    ASSERT_TRUE(finished.wait(5000));
    const std::string reason = "log.txt is the file the log is writing to; stop the log first";
    EXPECT_FALSE(finished.at(0).at(1).toBool());
    EXPECT_EQ(finished.at(0).at(2).toString().toStdString(), reason);
    auto* box = view.findChild<QMessageBox*>();
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->text().toStdString().ends_with(reason)) << box->text().toStdString();
    view.stopLog();
    EXPECT_TRUE(readAll(log).starts_with(logged));
}

}  // namespace
