// What the menu adds to sending: a break on the line, and the lines sent before,
// called back into the input line.
#include "Unit1.h"

#include "connection.h"
#include "file_send.h"

#include <QLineEdit>

namespace {

// Long enough for any receiver at any rate to see a break, short enough that
// the window's pause goes unnoticed.
constexpr DWORD kBreakMs = 300;

QString BreakFailure(DWORD error) {
    switch (error) {
    case ERROR_NOT_SUPPORTED: return QStringLiteral("this line has no break");
    case ERROR_SEM_TIMEOUT: return QStringLiteral("earlier output still queued");
    case ERROR_DEVICE_NOT_CONNECTED: return QStringLiteral("device gone");
    case ERROR_BROKEN_PIPE: return QStringLiteral("hung up");
    default: return QStringLiteral("I/O error");
    }
}

}  // namespace

// The break comes after what was sent before it: output that does not drain
// within the write bound gets no break cut into its bytes, and the window is
// held no longer than that bound and the break itself.
void TForm1::SendBreak() {
    if (!connected_ || lost_ || fileSend->RefuseSend()) return;
    bool sent = FlushFileBuffers(PortHandle) && SetCommBreak(PortHandle);
    if (sent) {
        Sleep(kBreakMs);
        sent = ClearCommBreak(PortHandle);
    }
    AppendHistory((sent ? QStringLiteral("Sent:") : "Send failed (" + BreakFailure(GetLastError()) + "):") +
                  QStringLiteral("break\r\n"));
}

void TForm1::RecallLine(bool older) {
    const std::optional<QString> line = older ? recall_.older(Edit1->text()) : recall_.newer();
    if (line) Edit1->setText(*line);
}
