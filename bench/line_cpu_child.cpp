// The program's own entry for bench/line_cpu: COM3 is the pseudo-terminal named
// first; the window connects at once, shows HEX, and then says "connected" on
// standard output, so the measurement can leave the start-up out.
// Arguments: FOLLOWER [the program's arguments...]
#include "Unit1.h"
#include "display_check.h"
#include "entry.h"
#include "test_seam.h"

#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2) return 64;
    OverridePortDevice(3, argv[1]);
    UseOnlyOverriddenPorts(true);
    std::vector<char*> arguments{argv[0]};
    arguments.insert(arguments.end(), argv + 2, argv + argc);
    if (const int ended = TakeCommandLine(static_cast<int>(arguments.size()), arguments.data()); ended >= 0)
        return ended;
    BeginDisplayCheck("line_cpu_child");
    Application app(ToolkitArgc(), ToolkitArgv());
    EndDisplayCheck();
    QTimer::singleShot(0, [] {
        Form1->Button3->click();
        Form1->RadioButton2->click();
        std::printf("%s\n", Form1->Button4->isEnabled() ? "connected" : "not connected");
        std::fflush(stdout);
    });
    return RunEntry();
}
