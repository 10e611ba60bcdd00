// The history widget's ways out: Save History As… writes all of it to a file,
// Log to File… writes what comes from then on. Both run on threads of their own
// (HistorySave, HistoryLog); this side asks for the file and reports.
#include "history_view_p.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProgressDialog>
#include <QStandardPaths>

#include <optional>

using namespace history;

namespace {

constexpr int kProgressSteps = 1000;
constexpr int kSaveWatchMs = 100;
constexpr int kProgressAfterMs = 500;

}  // namespace

// The folder used last, or Documents, and a name that says what and when.
QString HistoryView::Private::proposedPath(const QString& extension) const {
    QString folder = saveFolder;
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::homePath();
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-HHmmss"));
    return QDir(folder).filePath(saveNamePrefix + QLatin1Char('-') + stamp + extension);
}

// The history as it is now; none, and the user told, when memory ran out.
std::optional<HistoryStore::Snapshot> HistoryView::Private::snapshotToSave() {
    try {
        return store.snapshot();
    } catch (const std::bad_alloc&) {
        showFailure(tr("Save History As"), tr("Not enough memory to save the history"));
        return std::nullopt;
    }
}

void HistoryView::Private::chooseSaveFile() {
    if (save)
        return;
    // Taken first: the file holds what was there when the user asked.
    std::optional<HistoryStore::Snapshot> snapshot = snapshotToSave();
    if (!snapshot)
        return;
    const QString path = QFileDialog::getSaveFileName(q, tr("Save History As"), proposedPath(QStringLiteral(".txt")),
                                                      tr("Text files (*.txt);;All files (*)"));
    if (!path.isEmpty() && !save)
        startSave(std::move(*snapshot), path);
}

void HistoryView::chooseSaveFile() { d->chooseSaveFile(); }

void HistoryView::chooseLogFile() { d->chooseLogFile(); }

void HistoryView::Private::startSave(HistoryStore::Snapshot snapshot, const QString& path) {
    saveFolder = QFileInfo(path).absolutePath();
    if (q->isLogFile(path)) {
        // Ends as a failed save does, from the event loop, never within saveHistory().
        const QString reason = tr("%1 is the file the log is writing to; stop the log first")
                                   .arg(QFileInfo(path).fileName());
        showFailure(tr("Save History As"), failureText(path, reason));
        QMetaObject::invokeMethod(
            q, [view = q, path, reason] { emit view->saveFinished(path, false, reason); }, Qt::QueuedConnection);
        return;
    }
    save = std::make_unique<HistorySave>(HistoryShown(std::move(snapshot), stamps), path);
    progress = new QProgressDialog(tr("Saving the history to %1\u2026").arg(QFileInfo(path).fileName()), tr("Cancel"),
                                   0, kProgressSteps, q);
    progress->setWindowTitle(tr("Save History As"));
    // Not modal: reception, sending and the history go on while it writes.
    progress->setWindowModality(Qt::NonModal);
    progress->setAutoClose(false);
    progress->setAutoReset(false);
    progress->setMinimumDuration(kProgressAfterMs);
    QObject::connect(progress, &QProgressDialog::canceled, q, [this] {
        if (save)
            save->cancel();
    });
    progress->setValue(0);
    saveTimer.start(kSaveWatchMs, q);
}

void HistoryView::Private::watchSave() {
    if (!save) {
        saveTimer.stop();
        return;
    }
    if (!save->isFinished()) {
        if (progress) {
            progress->setValue(int(double(save->written()) / double(std::max<qint64>(save->total(), 1)) *
                                   kProgressSteps));
            // All is written; what is left is the disk's, which may take long on a slow one.
            const QString syncing = tr("Writing to disk\u2026");
            if (save->isSyncing() && progress->labelText() != syncing)
                progress->setLabelText(syncing);
        }
        return;
    }
    saveTimer.stop();
    const HistorySave::Result result = save->result();
    const QString path = save->path();
    save.reset();
    store.releaseHeldSpace();
    if (progress)
        progress->deleteLater();
    if (result.outcome == HistorySave::Outcome::Failed)
        showFailure(tr("Save History As"), failureText(path, result.error));
    emit q->saveFinished(path, result.outcome == HistorySave::Outcome::Saved, result.error);
}

QString HistoryView::Private::failureText(const QString& path, const QString& reason) {
    return tr("The history could not be saved to %1:\n%2").arg(QDir::toNativeSeparators(path), reason);
}

// Told without waiting for the user, so that nothing else stops meanwhile.
void HistoryView::Private::showFailure(const QString& title, const QString& text) {
    auto* box = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::Ok, q);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void HistoryView::Private::chooseLogFile() {
    const QString path = QFileDialog::getSaveFileName(q, tr("Log to File"), proposedPath(QStringLiteral(".log")),
                                                      tr("Log files (*.log *.txt);;All files (*)"), nullptr,
                                                      QFileDialog::DontConfirmOverwrite);
    if (path.isEmpty())
        return;
    saveFolder = QFileInfo(path).absolutePath();
    const QString error = q->startLog(path);
    if (!error.isEmpty())
        showFailure(tr("Log to File"),
                    tr("The history cannot be logged to %1:\n%2").arg(QDir::toNativeSeparators(path), error));
}

// Called on the log's thread, or within an append: the line comes on the next
// pass of the event loop. The event is Qt's own, the line goes by a lock.
void HistoryView::Private::logStopped(const std::string& reason, std::uint64_t written) {
    const QString line =
        QStringLiteral("[log stopped after %1: %2]").arg(sizeText(qsizetype(written)), QString::fromLocal8Bit(reason));
    {
        std::lock_guard lock(logStopMutex);
        logStopLine = line;
    }
    QMetaObject::invokeMethod(q, "takeLogStop", Qt::QueuedConnection);
}

// ---------------------------------------------------------------- HistoryView

void HistoryView::setSaveNamePrefix(const QString& prefix) {
    QString name;
    for (const QChar c : prefix.trimmed())
        name += c.isLetterOrNumber() || c == u'-' || c == u'_' || c == u'.' ? c : QChar(u'_');
    d->saveNamePrefix = name.isEmpty() ? QStringLiteral("history") : name;
}

bool HistoryView::saveHistory(const QString& path) {
    if (d->save)
        return false;
    std::optional<HistoryStore::Snapshot> snapshot = d->snapshotToSave();
    if (!snapshot)
        return false;
    d->startSave(std::move(*snapshot), path);
    return true;
}

bool HistoryView::isSaving() const { return d->save != nullptr; }

qint64 HistoryView::savingTotal() const { return d->save ? d->save->total() : 0; }

QString HistoryView::savingPath() const { return d->save ? d->save->path() : QString(); }

bool HistoryView::stopSave(int ms) {
    if (!d->save)
        return true;
    d->save->cancel();
    if (!d->save->waitFinished(ms))
        return false;
    d->watchSave();
    return true;
}

QString HistoryView::startLog(const QString& path) {
    return startLogByName(QFile::encodeName(path));
}

QString HistoryView::startLogByName(const QByteArray& fileName) {
    // Times need their date: the start line gives it, and says how they show.
    const std::string note =
        d->stamps.mode() == TimestampMode::None ? "" : "timestamps: " + HistoryStamps::name(d->stamps.mode()).toStdString();
    return QString::fromLocal8Bit(d->log.open(fileName.toStdString(), note));
}

void HistoryView::stopLog() { d->log.close(); }

void HistoryView::flushLog() { d->log.flush(); }

bool HistoryView::isLogging() const { return d->log.isOpen(); }

bool HistoryView::isLogFile(const QString& path) const {
    return d->log.isSameFile(QFile::encodeName(path).toStdString());
}

bool HistoryView::finishLog(int ms) { return d->log.finish(ms); }

void HistoryView::takeLogStop() {
    QString line;
    {
        std::lock_guard lock(d->logStopMutex);
        line.swap(d->logStopLine);
    }
    if (line.isEmpty())
        return;
    if (!d->log.isOpen())
        d->log.close();
    const bool lineOpen = d->store.lineLength(d->store.lineCount() - 1) > 0;
    appendText((lineOpen ? QStringLiteral("\n") : QString()) + line + QLatin1Char('\n'));
    d->notify(line);
}
