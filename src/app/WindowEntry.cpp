// The window module's entry: the module carries its own copy of every layer, so it installs
// its own text rasteriser before the window draws anything.
#include "Application.h"
#include "FreeTypeText.h"
#include "WindowModule.h"

extern "C" __attribute__((visibility("default"))) int kirimark_run_window(int argc, char** argv) {
    InstallTextRasteriser();
    return RunWindow(argc, argv);
}
