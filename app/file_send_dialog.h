#pragma once
// The dialog behind Send File… (a file and its pacing) and Pacing… (the pacing
// alone): a delay after each byte, a delay after each line end, and a reply to
// wait for after each line with its time-out.

#include "file_sender.h"

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QSpinBox;

class FileSendDialog : public QDialog {
    Q_OBJECT
public:
    // Without a path the dialog asks for the pacing only.
    FileSendDialog(QWidget* parent, const FilePacing& pacing, const QString* path);

    FilePacing pacing() const;
    QString path() const;

private:
    QLineEdit* path_ = nullptr;
    QSpinBox* byteDelay_;
    QSpinBox* lineDelay_;
    QCheckBox* waitForReply_;
    QLineEdit* reply_;
    QSpinBox* replyTimeout_;
};
