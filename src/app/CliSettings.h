// `kirimark --settings`: the settings file's path and the settings a run starts from.
#pragma once

#include <string>
#include <vector>

// Prints "# PATH", then one "section.key=value" line per key of the settings file in its key
// order, values as a run uses them (the stamp text in plain), escaped to stay on their line;
// UTF-8. Returns 0, 1 when the file cannot be read or the lines cannot be written, 2 for a
// usage error.
int RunSettingsCommand(const std::vector<std::string>& args);
