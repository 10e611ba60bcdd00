#include "display_check.h"

#include <QByteArray>
#include <QtGlobal>
#include <cstdio>
#include <xcb/xcb.h>

bool CanOpenDisplay(const char* programName) {
    // A platform chosen by hand, or a Wayland session, is Qt's to judge.
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
        !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return true;
    const QByteArray display = qgetenv("DISPLAY");
    if (display.isEmpty()) {
        std::fprintf(stderr, "%s: no display to show the window on (DISPLAY is not set)\n",
                     programName);
        return false;
    }
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool ok = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    if (!ok)
        std::fprintf(stderr, "%s: cannot open display %s\n", programName, display.constData());
    return ok;
}
