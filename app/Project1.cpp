// The program's entry.
#include "display_check.h"
#include "entry.h"

int main(int argc, char** argv) {
    if (!CanOpenDisplay("morrelcom")) return 2;
    Application app(argc, argv);
    return RunEntry();
}
