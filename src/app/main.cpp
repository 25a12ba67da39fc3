// The program's entry: a headless command when the first argument names one, else the window.
// Nothing here touches the window toolkit: the window comes from a module loaded on demand.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "Cli.h"
#include "CliSettings.h"
#include "FreeTypeText.h"
#include "WindowModule.h"

int main(int argc, char** argv) {
    KeepStandardStreamsOpen();
    const std::string_view command = argc > 1 ? argv[1] : "";
    const std::vector<std::string> rest(argv + (argc > 1 ? 2 : 1), argv + argc);
    if (command == "--help" || command == "-h") return PrintHelp();
    if (command == "--stamp") {
        InstallTextRasteriser();
        return RunStampCommand(rest);
    }
    if (command == "--convert") return RunConvertCommand(rest);
    if (command == "--settings") return RunSettingsCommand(rest);
    // Each further headless command adds its line here.
    if (command.size() > 2 && command.substr(0, 2) == "--") {
        std::fprintf(stderr, "kirimark: unknown command %s\nTry \"kirimark --help\".\n", argv[1]);
        return 2;
    }
    return RunWindowModule(argc, argv);
}
