#include "display_check.h"

#include "emergency_restore.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <utility>

namespace {

const char* program = "";
QStringList held;

void HoldMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type != QtFatalMsg) {
        held << message;
        return;
    }
    const QByteArray display = qgetenv("DISPLAY");
    if (display.isEmpty() && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        std::fprintf(stderr, "%s: no display to show the window on (DISPLAY is not set)\n", program);
    else
        std::fprintf(stderr, "%s: cannot open the display %s\n", program,
                     display.isEmpty() ? "(Wayland)" : display.constData());
    std::fflush(stderr);
    _exit(kNoDisplayExitCode);
}

void (*displayLost)() = nullptr;
QtMessageHandler passOn = nullptr;

void WatchMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    // Said once, just before Qt's X11 platform calls exit(1).
    static std::atomic<bool> lost{false};
    if (type == QtWarningMsg && message.startsWith(QLatin1String("The X11 connection broke")) &&
        displayLost && !lost.exchange(true))
        displayLost();
    if (passOn)
        passOn(type, context, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

}  // namespace

void BeginDisplayCheck(const char* programName) {
    program = programName;
    qInstallMessageHandler(HoldMessages);
}

void EndDisplayCheck() {
    qInstallMessageHandler(nullptr);
    for (const QString& message : std::exchange(held, {}))
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

void WatchDisplayLoss(void (*orderlyEnd)()) {
    static bool once = [] { return std::atexit(RestoreAllPortsNow) == 0; }();
    (void)once;
    displayLost = orderlyEnd;
    QtMessageHandler previous = qInstallMessageHandler(WatchMessages);
    if (previous != WatchMessages) passOn = previous;
}
