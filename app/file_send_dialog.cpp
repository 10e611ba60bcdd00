#include "file_send_dialog.h"

#include "transmit.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

namespace {

QSpinBox* Milliseconds(QWidget* parent, const char* name, const QString& label, int minimum, int maximum,
                       DWORD value) {
    auto* box = new QSpinBox(parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setAccessibleName(label);
    box->setRange(minimum, maximum);
    box->setSuffix(QStringLiteral(" ms"));
    box->setValue(int(std::min<DWORD>(value, DWORD(maximum))));
    return box;
}

}  // namespace

FileSendDialog::FileSendDialog(QWidget* parent, const FilePacing& pacing, const QString* path) : QDialog(parent) {
    setObjectName(QStringLiteral("FileSendDialog"));
    setWindowTitle(path ? tr("Send File") : tr("Pacing"));
    auto* form = new QFormLayout(this);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    if (path) {
        path_ = new QLineEdit(*path, this);
        path_->setObjectName(QStringLiteral("FilePath"));
        path_->setAccessibleName(tr("File to send"));
        auto* browse = new QPushButton(tr("&Browse\u2026"), this);
        browse->setObjectName(QStringLiteral("Browse"));
        connect(browse, &QPushButton::clicked, this, [this] {
            const QString chosen = QFileDialog::getOpenFileName(this, tr("Send File"), path_->text());
            if (!chosen.isEmpty()) path_->setText(chosen);
        });
        auto* row = new QHBoxLayout;
        row->addWidget(path_, 1);
        row->addWidget(browse);
        // A row that is a layout takes no buddy by itself: the label's mnemonic needs one.
        auto* label = new QLabel(tr("&File:"), this);
        label->setBuddy(path_);
        form->addRow(label, row);
        QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
        ok->setText(tr("&Send"));
        const auto needsPath = [this, ok] { ok->setEnabled(!path_->text().isEmpty()); };
        connect(path_, &QLineEdit::textChanged, this, needsPath);
        needsPath();
    }
    byteDelay_ = Milliseconds(this, "ByteDelay", tr("Delay after each byte"), 0, 60000, pacing.byteDelayMs);
    lineDelay_ = Milliseconds(this, "LineDelay", tr("Delay after each line"), 0, 60000, pacing.lineDelayMs);
    form->addRow(tr("Delay after each &byte:"), byteDelay_);
    form->addRow(tr("Delay after each &line:"), lineDelay_);

    waitForReply_ = new QCheckBox(tr("&Wait for a reply after each line:"), this);
    waitForReply_->setObjectName(QStringLiteral("WaitForReply"));
    reply_ = new QLineEdit(QString::fromLatin1(pacing.reply.data(), qsizetype(pacing.reply.size())), this);
    reply_->setObjectName(QStringLiteral("Reply"));
    reply_->setAccessibleName(tr("Reply to wait for"));
    reply_->setPlaceholderText(tr("=> or OK"));
    waitForReply_->setChecked(!pacing.reply.empty());
    form->addRow(waitForReply_, reply_);
    replyTimeout_ = Milliseconds(this, "ReplyTimeout", tr("Reply time-out"), 100, 3600000, pacing.replyTimeoutMs);
    form->addRow(tr("Stop when no reply &within:"), replyTimeout_);
    const auto replyShown = [this] {
        reply_->setEnabled(waitForReply_->isChecked());
        replyTimeout_->setEnabled(waitForReply_->isChecked());
    };
    connect(waitForReply_, &QCheckBox::toggled, this, replyShown);
    replyShown();

    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

FilePacing FileSendDialog::pacing() const {
    FilePacing pacing;
    pacing.byteDelayMs = DWORD(byteDelay_->value());
    pacing.lineDelayMs = DWORD(lineDelay_->value());
    pacing.replyTimeoutMs = DWORD(replyTimeout_->value());
    // The reply is bytes on the line: Latin-1, "?" for what it cannot hold.
    if (waitForReply_->isChecked())
        for (const QChar c : reply_->text()) pacing.reply.push_back(CharByte(c));
    return pacing;
}

QString FileSendDialog::path() const { return path_ ? path_->text() : QString(); }
