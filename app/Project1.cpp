// The program's entry.
#include "display_check.h"
#include "entry.h"

int main(int argc, char** argv) {
    BeginDisplayCheck("morrelcom");
    Application app(argc, argv);
    EndDisplayCheck();
    return RunEntry();
}
