#pragma once
// Send File… and Pacing…: the Send menu's two items, the dialog that starts a
// send, its progress with Cancel, its one record at the end, and the rule that
// nothing else goes out while a file does. The file goes out on a thread of its
// own (exchange/file_sender.h), so the window keeps showing what arrives.

#include "file_sender.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class QAction;
class QProgressDialog;
class TForm1;

class FileSend : public QObject {
    Q_OBJECT
public:
    // Adds Send File… and Pacing… to the window's Send menu; `reader` shows the
    // sender the replies it waits for.
    FileSend(TForm1& form, SimpleThread* reader);
    ~FileSend() override;

    // Starts sending the file at `path` with `pacing`; false (with a record) when
    // the window is not connected or a file is already going out.
    bool Start(const QString& path);
    bool Running() const { return active_; }
    // While a file goes out every other send is refused: records so and returns
    // true. False otherwise.
    bool RefuseSend();
    // Stops a send under way, returns once the sender has let go of the port and
    // records where it stopped and `reason`. An empty reason records nothing: the
    // window is going.
    void Stop(const QString& reason);

    // What the dialog and Pacing… set; off at start.
    FilePacing pacing;
    QAction* sendFileAction = nullptr;
    QAction* pacingAction = nullptr;
    // Shown while a send runs: bytes, rate, time left and Cancel.
    QProgressDialog* progress() const;

signals:
    // From the sender's thread: send number `send` ended. Queued to the window's
    // thread by Qt, which copies the number, so nothing of the thread's is shared.
    void senderEnded(unsigned send);

private:
    void ChooseAndSend();
    void ChoosePacing();
    void Finished(unsigned send);
    void Record(const FileSendOutcome& outcome);
    void ShowProgress();
    void UpdateActions();

    TForm1& form_;
    FileSender sender_;
    bool active_ = false;  // started, and its record not yet written
    unsigned sends_ = 0;   // which send is the latest
    QString name_;
    QString lastPath_;
    QElapsedTimer elapsed_;
    QTimer progressTimer_;
    QPointer<QProgressDialog> progress_;
};
