// The program's own entry, run by the ending tests in a process of their own:
// COM3 is the pseudo-terminal named first, and the window connects at once.
// Arguments: FOLLOWER GO [--slow-close MARKER] [the program's arguments...]
// Reads wait until the file GO exists, so that the test knows all its bytes are
// queued before the program takes them (the first read too, which may begin
// before the connect returns). With --slow-close the
// port's close writes MARKER and then stalls, so that the test can signal a
// program that is slow to end.
#include "Unit1.h"
#include "display_check.h"
#include "entry.h"
#include "test_seam.h"

#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::atomic<bool> connected{false};
std::string go;
std::string marker;

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 64;
    // However the test goes, this process does not outlive a minute.
    alarm(60);
    OverridePortDevice(3, argv[1]);
    UseOnlyOverriddenPorts(true);
    go = argv[2];
    int first = 3;
    if (argc > 4 && std::string_view(argv[3]) == "--slow-close") {
        marker = argv[4];
        first = 5;
    }
    SetLayerObserver([](LayerEvent event) {
        if (event == LayerEvent::ReadBegins)
            for (int i = 0; i < 2000 && !Exists(go); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        // Only the connection's close stalls, not that of a port looked at before.
        if (event == LayerEvent::Closing && connected && !marker.empty()) {
            std::ofstream(marker) << "closing\n";
            std::this_thread::sleep_for(std::chrono::seconds(30));
        }
    });
    std::vector<char*> arguments{argv[0]};
    arguments.insert(arguments.end(), argv + first, argv + argc);
    if (const int ended = TakeCommandLine(static_cast<int>(arguments.size()), arguments.data()); ended >= 0)
        return ended;
    BeginDisplayCheck("ending_child");
    Application app(ToolkitArgc(), ToolkitArgv());
    EndDisplayCheck();
    QTimer::singleShot(0, [] {
        Form1->Button3->click();
        connected = true;
    });
    return RunEntry();
}
