#include "file_send.h"

#include "Unit1.h"
#include "connection.h"
#include "file_send_dialog.h"
#include "history_size.h"
#include "line_settings.h"

#include <QAction>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QProgressDialog>
#include <QPushButton>

namespace {

const QString kLineEnd = QStringLiteral("\r\n");

QString Bytes(std::uint64_t count) {
    return QStringLiteral("%1 %2").arg(count).arg(count == 1 ? QStringLiteral("byte") : QStringLiteral("bytes"));
}

QString Duration(double seconds) {
    const auto s = static_cast<long long>(seconds + 0.5);
    const QString seconds2 = QStringLiteral("%1").arg(s % 60, 2, 10, QChar('0'));
    if (s < 3600) return QStringLiteral("%1:%2").arg(s / 60).arg(seconds2);
    return QStringLiteral("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, QChar('0')).arg(seconds2);
}

// Often enough to look alive, seldom enough to cost nothing.
constexpr int kProgressIntervalMs = 250;

}  // namespace

FileSend::FileSend(TForm1& form, SimpleThread* reader) : QObject(&form), form_(form), sender_(reader) {
    setObjectName(QStringLiteral("FileSend"));
    connect(this, &FileSend::senderEnded, this, &FileSend::Finished, Qt::QueuedConnection);
    if (QMenu* menu = form.SendMenu) {
        menu->addSeparator();
        sendFileAction = menu->addAction(tr("Send &File\u2026"));
        sendFileAction->setObjectName(QStringLiteral("SendFile"));
        pacingAction = menu->addAction(tr("&Pacing\u2026"));
        pacingAction->setObjectName(QStringLiteral("Pacing"));
        connect(sendFileAction, &QAction::triggered, this, &FileSend::ChooseAndSend);
        connect(pacingAction, &QAction::triggered, this, &FileSend::ChoosePacing);
        connect(menu, &QMenu::aboutToShow, this, &FileSend::UpdateActions);
        UpdateActions();
    }
    progressTimer_.setInterval(kProgressIntervalMs);
    connect(&progressTimer_, &QTimer::timeout, this, &FileSend::ShowProgress);
}

FileSend::~FileSend() { Stop(QString()); }

void FileSend::UpdateActions() {
    if (sendFileAction) sendFileAction->setEnabled(form_.Button4->isEnabled() && !active_);
}

void FileSend::ChooseAndSend() {
    FileSendDialog dialog(&form_, pacing, &lastPath_);
    if (dialog.exec() != QDialog::Accepted) return;
    pacing = dialog.pacing();
    lastPath_ = dialog.path();
    Start(lastPath_);
}

void FileSend::ChoosePacing() {
    FileSendDialog dialog(&form_, pacing, nullptr);
    if (dialog.exec() == QDialog::Accepted) pacing = dialog.pacing();
}

bool FileSend::Start(const QString& path) {
    // The window may have disconnected while the dialog was open.
    if (RefuseSend() || !form_.Button4->isEnabled()) return false;
    FileSendJob job;
    job.path = QFile::encodeName(path).toStdString();
    job.port = PortHandle;
    job.pacing = pacing;
    DCB line;
    if (GetCommState(PortHandle, &line)) job.byteTime = ByteTime(line);
    name_ = QFileInfo(path).fileName();
    // The thread's end comes to the window's thread as an event, never a wait.
    const unsigned send = ++sends_;
    const auto finished = [this, send] { emit senderEnded(send); };
    // A reply is seen only when the reader's read returns, and a read waits out
    // its whole 20 ms for a full buffer: a line a round would make a script of
    // short lines crawl. While replies pace the send, reads return with the
    // first byte instead, within the same bound.
    if (!pacing.reply.empty()) {
        COMMTIMEOUTS firstByte = WorkTimeouts;
        firstByte.ReadIntervalTimeout = MAXDWORD;
        firstByte.ReadTotalTimeoutMultiplier = MAXDWORD;
        SetCommTimeouts(PortHandle, &firstByte);
    }
    if (!sender_.Start(job, finished)) {
        SetCommTimeouts(PortHandle, &WorkTimeouts);
        return false;
    }
    active_ = true;
    elapsed_.start();
    progress_ = new QProgressDialog(tr("Sending %1").arg(name_), tr("Cancel"), 0, 1000, &form_);
    progress_->setObjectName(QStringLiteral("FileSendProgress"));
    progress_->setWindowTitle(tr("Send File"));
    progress_->setWindowModality(Qt::NonModal);
    progress_->setAutoClose(false);
    progress_->setAutoReset(false);
    progress_->setMinimumDuration(0);
    connect(progress_, &QProgressDialog::canceled, this, [this] { Stop(QStringLiteral("cancelled")); });
    progress_->show();
    ShowProgress();
    progressTimer_.start();
    UpdateActions();
    return true;
}

QProgressDialog* FileSend::progress() const { return progress_; }

bool FileSend::RefuseSend() {
    if (!active_) return false;
    form_.AppendHistory(QStringLiteral("Not sent: a file is being sent") + kLineEnd);
    return true;
}

void FileSend::ShowProgress() {
    if (!progress_) return;
    const double sent = double(sender_.Sent());
    const double seconds = std::max(elapsed_.elapsed(), qint64{1}) / 1000.0;
    const double rate = sent / seconds;
    QString text = tr("Sending %1\n%2").arg(name_, history::sizeText(qsizetype(sent)));
    if (const auto size = sender_.Size()) {
        text += tr(" of %1").arg(history::sizeText(qsizetype(*size)));
        progress_->setValue(*size ? int(sent * 1000 / double(*size)) : 1000);
        if (rate > 0)
            text += tr(", %1/s, %2 left")
                        .arg(history::sizeText(qsizetype(rate)), Duration((double(*size) - sent) / rate));
    } else {
        progress_->setRange(0, 0);  // a pipe: no end known
        if (rate > 0) text += tr(", %1/s").arg(history::sizeText(qsizetype(rate)));
    }
    progress_->setLabelText(text);
}

// The sender ended by itself: its outcome says how; the reason given here only
// asks for the record, as the sender no longer takes one. The end of a send
// that Stop() recorded may come while a later one runs.
void FileSend::Finished(unsigned send) {
    if (!active_ || send != sends_) return;
    Stop(QStringLiteral("stopped"));
}

void FileSend::Stop(const QString& reason) {
    if (!active_) return;
    sender_.Stop(reason.isEmpty() ? std::string("window closed") : reason.toStdString());
    // The sender ends within one bounded write (the serial layer's 0.3 s at most);
    // the port must not close before it has.
    while (!sender_.Wait(std::chrono::seconds(1))) {
    }
    active_ = false;
    SetCommTimeouts(PortHandle, &WorkTimeouts);
    progressTimer_.stop();
    if (progress_) {
        progress_->disconnect(this);
        progress_->close();
        progress_->deleteLater();
    }
    const FileSendOutcome outcome = sender_.TakeOutcome();
    if (!reason.isEmpty()) Record(outcome);
    UpdateActions();
}

void FileSend::Record(const FileSendOutcome& outcome) {
    // What came before the end (the last reply, say) shows before its record.
    form_.TakeReaderLines();
    QString record;
    if (outcome.stopped.empty()) {
        record = QStringLiteral("Sent file:%1 (%2)").arg(name_, Bytes(outcome.sent));
    } else {
        const QString went = outcome.size ? QStringLiteral("%1 of %2").arg(outcome.sent).arg(Bytes(*outcome.size))
                                          : Bytes(outcome.sent);
        record = QStringLiteral("Send file stopped:%1 (%2 went out: %3)")
                     .arg(name_, went, QString::fromStdString(outcome.stopped));
    }
    form_.AppendHistory(record + kLineEnd);
}
