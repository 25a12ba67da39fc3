#include "setting_common.h"

#include <unistd.h>

#ifndef KIRIMARK_VERSION
#error "KIRIMARK_VERSION must come from the build"
#endif

void InitSettings(Settings& s) {
    s.RestoreWindowPos = false;
    s.BackColor = 0x77C158;
    s.WordColor = 0x5831;
    s.BackTransparent = false;
    s.FontName.clear();
    s.PosLeft = true;
    s.PosTop = true;
    s.VersionText = "0.0.0.0";
    s.ImageQuality = 10;
    s.SaveFormat = 0;
    s.CopyrightText = "(c)2005 Rinto";
    s.PassPhrase = "きょうもとてもいいてんきだね～☆";
}

std::string GetFileVersionText(const std::string& path) {
    // Our version lives in the build, not in a resource of the file; a path we cannot read
    // stands for a file without version information.
    if (path.empty() || ::access(path.c_str(), R_OK) != 0) return "";
    return KIRIMARK_VERSION;
}
