// The settings store over any file bytes. Beyond not crashing: the text the store writes must
// read back to the same store, so that loading and saving a hand-edited file settles after
// one save instead of drifting or losing lines.
#include <string>

#include "CodePage.h"
#include "FuzzCheck.h"
#include "IniFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TMemIniFile ini("");
    ini.SetFileBytes(std::string(reinterpret_cast<const char*>(data), size));

    for (const auto& section : ini.ReadSections()) {
        FUZZ_CHECK(ini.SectionExists(section));
        for (const auto& key : ini.ReadSection(section)) {
            FUZZ_CHECK(ini.ValueExists(section, key));
            ini.ReadString(section, key, "");
            ini.ReadInteger(section, key, 0);
        }
    }

    // The bytes UpdateFile would write.
    const std::string text = ini.GetText();
    FUZZ_CHECK(IsValidUtf8(text));
    std::string bytes;
    if (!TryUtf8ToCp932(text, bytes)) bytes = "\xEF\xBB\xBF" + text;
    TMemIniFile again("");
    again.SetFileBytes(bytes);
    FUZZ_CHECK(again.GetText() == text);

    // A value written is the value read, and after a reload the same value trimmed of blanks.
    if (size > 0) {
        const std::string value = Cp932ToUtf8(std::string(reinterpret_cast<const char*>(data), size));
        ini.WriteString("basic", "fuzz", value);
        std::string expected = value;
        for (char& c : expected)
            if (c == '\r' || c == '\n') c = ' ';
        FUZZ_CHECK(ini.ReadString("basic", "fuzz", "") == expected);
        size_t b = 0, e = expected.size();
        while (b < e && static_cast<unsigned char>(expected[b]) <= ' ') ++b;
        while (e > b && static_cast<unsigned char>(expected[e - 1]) <= ' ') --e;
        TMemIniFile reread("");
        reread.SetText(ini.GetText());
        FUZZ_CHECK(reread.ReadString("basic", "fuzz", "") == expected.substr(b, e - b));
    }
    return 0;
}
