// An INI file held in memory: read whole when created, changed in memory, written back whole
// by UpdateFile. Section and key names match without regard to ASCII letter case; names and
// values are trimmed of surrounding blanks when read. Comments (";") and empty lines are
// dropped; unknown sections and keys are kept in their order, and so are lines above the
// first section, which belong to no section and are written back at the top.
//
// The API speaks UTF-8. The file is code page 932 with CR LF line ends, as the original
// program's; a file that starts with a UTF-8 byte-order mark is read as UTF-8, and a file
// holding characters code page 932 cannot hold is written that way, so nothing is lost.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Converts text as a signed 32-bit integer: leading blanks, then an optional "-" or "+", then
// decimal digits or, after "$", "x", "X", "0x" or "0X", hexadecimal digits (up to 8 of them,
// taken as 32 bits). Nothing may follow. False when the text does not convert.
bool TryStrToInt(const std::string& text, int32_t& value);

class TMemIniFile {
public:
    // Reads the file whole; a missing file gives an empty store. Raises EFOpenError
    // ("Cannot open file "<name>". <reason>") when the file exists but cannot be read.
    explicit TMemIniFile(const std::string& fileName);

    const std::string& FileName() const { return fileName_; }

    std::string ReadString(const std::string& section, const std::string& ident, const std::string& defaultValue) const;
    // A missing key, an empty value or one that does not convert gives the default.
    int32_t ReadInteger(const std::string& section, const std::string& ident, int32_t defaultValue) const;
    // Read as an integer with 1 or 0 as the default; any non-zero integer is true.
    bool ReadBool(const std::string& section, const std::string& ident, bool defaultValue) const;

    // Replaces the key's line in place, or appends it to its section, or appends the section.
    // The value is written as given, except that a line break becomes a space.
    void WriteString(const std::string& section, const std::string& ident, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& ident, int32_t value);
    void WriteBool(const std::string& section, const std::string& ident, bool value);

    bool SectionExists(const std::string& section) const;
    bool ValueExists(const std::string& section, const std::string& ident) const;
    std::vector<std::string> ReadSections() const;
    std::vector<std::string> ReadSection(const std::string& section) const;  // key names

    // The file's text as UpdateFile writes it (UTF-8, before encoding).
    std::string GetText() const;
    // Replaces the content with text as if read from a file (UTF-8).
    void SetText(const std::string& text);
    // Replaces the content with a file's raw bytes, decoded as the constructor decodes them.
    void SetFileBytes(const std::string& bytes);

    // Writes the whole store to the file: a temporary file beside it, renamed into place once
    // complete, so that a crash or a full disk leaves the old file whole. A file that is a
    // symbolic link is written through: the file the link leads to is replaced, in its folder. Raises EFCreateError
    // when the file or its folder does not take the write (a read-only file included), and
    // EWriteError when the data cannot be completed.
    void UpdateFile();

    // Largest file the store reads; a settings file is a few hundred bytes.
    static constexpr int64_t kMaxFileSize = 16 * 1024 * 1024;

private:
    struct Line {
        std::string key;    // trimmed; the whole line when hasValue is false
        std::string value;  // trimmed
        bool hasValue = false;
    };
    struct Section {
        std::string name;
        std::vector<Line> lines;
    };

    const Section* FindSection(const std::string& name) const;
    const Line* FindLine(const std::string& section, const std::string& ident) const;

    std::string fileName_;
    std::vector<Line> preamble_;  // lines above the first section
    std::vector<Section> sections_;
};
