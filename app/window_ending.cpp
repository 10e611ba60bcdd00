// The ways the program ends: asked by the user (a running save is not cut short
// without a word), asked by a signal, and the last steps after the message loop.
#include "Unit1.h"

#include "connection.h"
#include "file_send.h"
#include "history_size.h"
#include "history_view.h"

#include <QCoreApplication>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <cstdio>
#include <optional>

namespace {

// How long a stopped save's thread is given to remove its partial file.
constexpr int kStopSaveMs = 5000;

}  // namespace

bool TForm1::RequestQuit(bool closingWindow) {
    if (!Memo1->isSaving()) return true;
    disconnect(quitAfterSave_);
    const QString size = history::sizeText(Memo1->savingTotal());
    QMessageBox box(QMessageBox::Question, windowTitle(),
                    QStringLiteral("A save of %1 is running.").arg(size), QMessageBox::NoButton, this);
    QPushButton* wait = box.addButton(QStringLiteral("Wait for It"), QMessageBox::AcceptRole);
    QPushButton* stop = box.addButton(QStringLiteral("Stop It and Quit"), QMessageBox::DestructiveRole);
    // Escape goes back to the window; it needs a button to press, not one to show.
    QPushButton* back = box.addButton(QMessageBox::Cancel);
    back->hide();
    box.setEscapeButton(back);
    box.setDefaultButton(wait);
    // The save may end while the question is open.
    std::optional<bool> endedSaved;
    const QMetaObject::Connection watch = connect(
        Memo1, &HistoryView::saveFinished, this,
        [&endedSaved](const QString&, bool saved, const QString&) { endedSaved = saved; });
    box.exec();
    disconnect(watch);

    if (box.clickedButton() == stop) {
        Memo1->stopSave(kStopSaveMs);
        return true;
    }
    if (box.clickedButton() != wait) return false;
    if (endedSaved) return *endedSaved;
    quitAfterSave_ = connect(
        Memo1, &HistoryView::saveFinished, this,
        [this, closingWindow](const QString&, bool saved, const QString&) {
            if (!saved) return;  // the failure shows in its own box; the window stays
            if (closingWindow)
                close();
            else
                QCoreApplication::quit();
        },
        Qt::SingleShotConnection);
    return false;
}

void TForm1::EndBySignal(int signo) {
    const int code = 128 + signo;
    if (!Memo1->isSaving()) {
        QCoreApplication::exit(code);
        return;
    }
    disconnect(quitAfterSave_);
    connect(Memo1, &HistoryView::saveFinished, this, [code] { QCoreApplication::exit(code); },
            Qt::SingleShotConnection);
    const QString path = Memo1->savingPath();
    QTimer::singleShot(SignalSaveWaitMs, this, [this, code, path] {
        if (!Memo1->isSaving()) return;
        Memo1->stopSave(kStopSaveMs);
        std::fprintf(stderr, "morrelcom: the save to %s was stopped: the program was ended by a signal\n",
                     QFile::encodeName(path).constData());
        std::fflush(stderr);
        QCoreApplication::exit(code);
    });
}

void TForm1::EndSession() {
    takeTimer_.stop();
    reopenTimer_.stop();
    fileSend->Stop(QString());  // it writes to the port and watches the reader
    if (!connected_ || lost_) return;
    ReaderThread->StopReading();
    PurgeComm(PortHandle, PURGE_RXABORT);
    ReaderThread->WaitOutOfRead();
    ShowReceived(ReaderThread->TakeBatch());
    RestoreAndClose();
    connected_ = false;
}
