// The program's entry.
#include "display_check.h"
#include "entry.h"

int main(int argc, char** argv) {
    if (const int ended = TakeCommandLine(argc, argv); ended >= 0) return ended;
    BeginDisplayCheck("morrelcom");
    Application app(ToolkitArgc(), ToolkitArgv());
    EndDisplayCheck();
    return RunEntry();
}
