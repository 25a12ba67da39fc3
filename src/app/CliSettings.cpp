#include "CliSettings.h"

#include <cstdio>

#include "Cli.h"
#include "SettingsFile.h"

int RunSettingsCommand(const std::vector<std::string>& args) {
    TReportOutput out("kirimark --settings");
    if (!args.empty()) {
        std::fprintf(stderr, "kirimark --settings: takes no arguments\nTry \"kirimark --help\".\n");
        return 2;
    }
    const std::string path = ProgramSettingsFilePath();
    out.Line("# " + EscapeForLine(path));
    try {
        TStoredTextProblem problem = TStoredTextProblem::None;
        for (const auto& [key, value] : DescribeSettingsFile(path, &problem))
            out.Line(EscapeForLine(key) + "=" + EscapeForLine(value));
        if (problem != TStoredTextProblem::None)
            std::fprintf(stderr, "kirimark --settings: %s\n",
                         EscapeForLine(StoredTextProblemText(problem, path)).c_str());
    } catch (const ESettingsFileError& e) {
        std::fprintf(stderr, "kirimark --settings: %s\n", EscapeForLine(e.what()).c_str());
        return out.Finish(1);
    }
    return out.Finish(0);
}
