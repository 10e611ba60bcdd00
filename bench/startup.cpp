// From launch to the window shown: the real program, port scan included, started
// under an Xvfb of our own. The window counts as shown when the X server maps a
// top-level window whose title is the program's; we watch for that on the root
// window instead of polling, so the figure carries no polling delay.
//
//   startup [--launches 10] [--app path/to/morrelcom]
#include "bench_support.h"

#include <xcb/xcb.h>

#include <string>
#include <vector>

using namespace bench;

namespace {

const char kTitle[] = "Morrel COM Port Tool";

std::string FindInPath(const char* program) {
    const char* path = getenv("PATH");
    for (const std::string& dir : Split(path ? path : "/usr/bin:/bin", ':')) {
        const std::string candidate = dir + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

std::string DefaultApp() {
    char self[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "app/morrelcom";
    std::string dir(self, std::size_t(n));
    dir.erase(dir.rfind('/'));
    return dir + "/../app/morrelcom";
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& display, bool quiet) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (!display.empty()) setenv("DISPLAY", display.c_str(), 1);
        unsetenv("QT_QPA_PLATFORM");
        unsetenv("WAYLAND_DISPLAY");
        if (quiet) {
            const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
            if (null >= 0) {
                dup2(null, 1);
                dup2(null, 2);
            }
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

void Stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; ++i) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) return;
        usleep(10'000);
    }
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

bool Exited(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

// An Xvfb of our own on the first free display from :55 on, and a connection to it.
struct Server {
    pid_t pid = -1;
    std::string display;
    xcb_connection_t* x = nullptr;

    bool start(const std::string& xvfb, std::string& why) {
        for (int n = 55; n < 100; ++n) {
            char lock[64], socket[64], name[16];
            std::snprintf(lock, sizeof lock, "/tmp/.X%d-lock", n);
            std::snprintf(socket, sizeof socket, "/tmp/.X11-unix/X%d", n);
            std::snprintf(name, sizeof name, ":%d", n);
            if (access(lock, F_OK) == 0 || access(socket, F_OK) == 0) continue;
            display = name;
            pid = Spawn({xvfb, display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"}, "", true);
            for (int i = 0; i < 500; ++i) {
                if (Exited(pid)) break;
                usleep(10'000);
                xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
                if (xcb_connection_has_error(c) == 0) {
                    x = c;
                    return true;
                }
                xcb_disconnect(c);
            }
            Stop(pid);
            pid = -1;
        }
        why = "no Xvfb display could be started on :55-:99";
        return false;
    }
    ~Server() {
        if (x) xcb_disconnect(x);
        Stop(pid);
    }
};

std::string WindowTitle(xcb_connection_t* x, xcb_window_t w) {
    const auto cookie = xcb_get_property(x, 0, w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, 256);
    xcb_get_property_reply_t* reply = xcb_get_property_reply(x, cookie, nullptr);
    std::string title;
    if (reply) {
        title.assign(static_cast<const char*>(xcb_get_property_value(reply)),
                     std::size_t(xcb_get_property_value_length(reply)));
        free(reply);
    }
    return title;
}

// Waits for the program's window to be mapped; the time it was seen, or 0.
std::int64_t WaitForWindow(xcb_connection_t* x, pid_t app, int timeoutMs) {
    const std::int64_t deadline = NowNs() + std::int64_t(timeoutMs) * 1'000'000;
    const int fd = xcb_get_file_descriptor(x);
    while (NowNs() < deadline) {
        while (xcb_generic_event_t* e = xcb_poll_for_event(x)) {
            const std::int64_t seen = NowNs();
            const bool mapped = (e->response_type & 0x7f) == XCB_MAP_NOTIFY;
            const xcb_window_t w = mapped ? reinterpret_cast<xcb_map_notify_event_t*>(e)->window : 0;
            free(e);
            if (mapped && WindowTitle(x, w).find(kTitle) != std::string::npos) return seen;
        }
        if (xcb_connection_has_error(x) || Exited(app)) return 0;
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 10);
    }
    return 0;
}

void Drain(xcb_connection_t* x) {
    while (xcb_generic_event_t* e = xcb_poll_for_event(x)) free(e);
}

}  // namespace

int main(int argc, char** argv) {
    const int launches = std::max(1, std::atoi(Arg(argc, argv, "--launches", "10").c_str()));
    const std::string app = Arg(argc, argv, "--app", DefaultApp());

    std::printf("\n== Start-up: from launch to the window shown, port scan included (Xvfb) ==\n");
    std::printf("target: < 300 ms\n");
    const std::string xvfb = FindInPath("Xvfb");
    if (xvfb.empty()) {
        std::printf("skipped: Xvfb is not installed (Debian package xvfb)\n");
        return 0;
    }
    if (access(app.c_str(), X_OK) != 0) {
        std::printf("skipped: the program is not built (%s)\n", app.c_str());
        return 0;
    }
    Server server;
    std::string why;
    if (!server.start(xvfb, why)) {
        std::printf("skipped: %s\n", why.c_str());
        return 0;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(server.x)).data;
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(server.x, screen->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(server.x);

    std::vector<double> ms;
    int failed = 0;
    double first = -1;
    for (int i = 0; i < launches; ++i) {
        Drain(server.x);
        const std::int64_t t0 = NowNs();
        const pid_t pid = Spawn({app}, server.display, true);
        const std::int64_t seen = WaitForWindow(server.x, pid, 10'000);
        Stop(pid);
        if (seen == 0) {
            ++failed;
            continue;
        }
        ms.push_back(Ms(seen - t0));
        if (first < 0) first = ms.back();
        usleep(100'000);  // let the server forget the last window before the next launch
    }
    if (ms.empty()) {
        std::printf("FAILED: the window never appeared in %d launches (%s)\n", launches, app.c_str());
        return 1;
    }
    const double firstLaunch = first;
    std::sort(ms.begin(), ms.end());
    const double median = ms.size() % 2 ? ms[ms.size() / 2] : (ms[ms.size() / 2 - 1] + ms[ms.size() / 2]) / 2;
    const double worst = ms.back();
    std::printf("%9s %9s %10s %9s %9s %s\n", "launches", "first ms", "median ms", "best ms",
                "worst ms", "verdict");
    std::printf("%9zu %9.1f %10.1f %9.1f %9.1f %s\n", ms.size(), firstLaunch, median, ms.front(), worst,
                Verdict(failed == 0 && worst < 300.0));
    if (failed) std::printf("  %d launches showed no window within 10 s\n", failed);
    std::printf("(display %s; shown = the server mapped the program's top-level window)\n",
                server.display.c_str());
    return 0;
}
