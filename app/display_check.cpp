#include "display_check.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <cstdio>
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
