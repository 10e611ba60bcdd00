// From launch to the window shown: the real program, port scan included, started
// under an Xvfb of our own. The window counts as shown when the X server maps a
// top-level window with the program's title; we are told of that by the server,
// so the figure carries no polling delay.
//
//   startup [--launches 10] [--app path/to/morrelcom]
#include "bench.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace bench;

namespace {

pid_t Spawn(std::vector<std::string> args, const std::string& display) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (!display.empty()) setenv("DISPLAY", display.c_str(), 1);
        unsetenv("QT_QPA_PLATFORM");
        unsetenv("WAYLAND_DISPLAY");
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

bool Exited(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

// SIGTERM, and SIGKILL when it has not ended two seconds later.
void Stop(pid_t pid) {
    kill(pid, SIGTERM);
    for (int i = 0; i < 200 && !Exited(pid); ++i) usleep(10'000);
    kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

std::string WindowTitle(xcb_connection_t* x, xcb_window_t w) {
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        x, xcb_get_property(x, 0, w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, 256), nullptr);
    if (!reply) return {};
    std::string title(static_cast<const char*>(xcb_get_property_value(reply)), std::size_t(xcb_get_property_value_length(reply)));
    free(reply);
    return title;
}

// When the program's window was mapped, or 0 when it was not within ten seconds.
std::int64_t WaitForWindow(xcb_connection_t* x, pid_t app) {
    for (const std::int64_t deadline = NowNs() + 10'000'000'000; NowNs() < deadline && !Exited(app);) {
        while (xcb_generic_event_t* e = xcb_poll_for_event(x)) {
            const std::int64_t seen = NowNs();
            const bool mapped = (e->response_type & 0x7f) == XCB_MAP_NOTIFY;
            const xcb_window_t w = mapped ? reinterpret_cast<xcb_map_notify_event_t*>(e)->window : 0;
            free(e);
            if (mapped && WindowTitle(x, w).find("Morrel COM Port Tool") != std::string::npos) return seen;
        }
        pollfd p{xcb_get_file_descriptor(x), POLLIN, 0};
        poll(&p, 1, 10);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int launches = std::max(1, int(Arg(argc, argv, "--launches", 10)));
    // By default the program built beside this one.
    char self[4096] = {};
    std::string app = readlink("/proc/self/exe", self, sizeof self - 1) > 0 ? self : "./startup";
    app = app.substr(0, app.rfind('/') + 1) + "../app/morrelcom";
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--app") app = argv[i + 1];

    Title("Start-up: from launch to the window shown, port scan included (Xvfb)");
    // An Xvfb of our own on the first free display from :55 on.
    pid_t server = -1;
    std::string display;
    xcb_connection_t* x = nullptr;
    for (int n = 55; n < 100 && !x; ++n) {
        char lock[32], name[8];
        std::snprintf(lock, sizeof lock, "/tmp/.X%d-lock", n);
        std::snprintf(name, sizeof name, ":%d", n);
        if (access(lock, F_OK) == 0) continue;
        display = name;
        server = Spawn({"Xvfb", display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"}, "");
        for (int i = 0; i < 500 && !x && !Exited(server); ++i) {
            usleep(10'000);
            x = xcb_connect(display.c_str(), nullptr);
            if (xcb_connection_has_error(x)) xcb_disconnect(x), x = nullptr;
        }
        if (!x) Stop(server);
    }
    if (!x) {
        Row("Xvfb starts (Debian package xvfb)", 0, "", "starts", false);
        return 1;
    }
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x, xcb_setup_roots_iterator(xcb_get_setup(x)).data->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(x);

    std::vector<double> ms;
    for (int i = 0; i < launches; ++i) {
        while (xcb_generic_event_t* e = xcb_poll_for_event(x)) free(e);
        const std::int64_t t0 = NowNs();
        const pid_t pid = Spawn({app}, display);
        const std::int64_t seen = WaitForWindow(x, pid);
        Stop(pid);
        if (seen) ms.push_back(Ms(seen - t0));
        usleep(100'000);  // the server forgets the last window before the next launch
    }
    std::sort(ms.begin(), ms.end());
    const bool all = int(ms.size()) == launches;
    Row("launch until shown, slowest of " + std::to_string(launches), ms.empty() ? 0 : ms.back(), "ms", "< 300",
        all && ms.back() < 300);
    Info("launch until shown, median", ms.empty() ? 0 : ms[ms.size() / 2], "ms");
    if (!all) std::printf("  %zu of %d launches showed no window within 10 s (%s)\n", launches - ms.size(), launches, app.c_str());
    xcb_disconnect(x);
    Stop(server);
    return gMissed ? 1 : 0;
}
