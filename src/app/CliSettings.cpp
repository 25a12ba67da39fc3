#include "CliSettings.h"

#include <cstdio>

#include "SettingsFile.h"

int RunSettingsCommand(const std::vector<std::string>& args) {
    if (!args.empty()) {
        std::fprintf(stderr, "kirimark --settings: takes no arguments\nTry \"kirimark --help\".\n");
        return 2;
    }
    const std::string path = ProgramSettingsFilePath();
    std::printf("# %s\n", path.c_str());
    try {
        for (const auto& [key, value] : DescribeSettingsFile(path)) std::printf("%s=%s\n", key.c_str(), value.c_str());
    } catch (const ESettingsFileError& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "kirimark --settings: %s\n", e.what());
        return 1;
    }
    return 0;
}
