#include "setting_common.h"

#include <unistd.h>
#include <algorithm>

#ifndef KIRIMARK_VERSION
#error "KIRIMARK_VERSION must come from the build"
#endif

const char* const kProgramVersion = KIRIMARK_VERSION;

namespace {

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

size_t TextLength(const std::string& text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) { return !IsContinuationByte(c); }));
}

std::string CutStampText(const std::string& text) {
    size_t chars = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (IsContinuationByte(text[i])) continue;
        if (chars++ == kMaxStampTextChars) return text.substr(0, i);
    }
    return text;
}

void InitSettings(Settings& s) { s = Settings{}; }

std::string GetFileVersionText(const std::string& path) {
    // Our version lives in the build, not in a resource of the file; a path we cannot read
    // stands for a file without version information.
    if (path.empty() || ::access(path.c_str(), R_OK) != 0) return "";
    return kProgramVersion;
}
