#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "CodePage.h"
#include "FileHelpers.h"
#include "IniFiles.h"
#include "SysUtils.h"
#include "TestSupport.h"

namespace {

using fwtest::Listing;
using fwtest::ReadBytes;
using fwtest::WriteBytes;

TEST(TryStrToInt, ConvertsTheIntegerForms) {
    struct Case {
        const char* text;
        bool ok;
        int32_t value;
    };
    const Case cases[] = {
        {"0", true, 0},
        {"42", true, 42},
        {"-3", true, -3},
        {"+7", true, 7},
        {"  12", true, 12},
        {"\t12", true, 12},
        {"$0000FF", true, 255},
        {"0xFF", true, 255},
        {"0XfF", true, 255},
        {"xff", true, 255},
        {"XFF", true, 255},
        {"-$10", true, -16},
        {"$FFFFFFFF", true, -1},
        {"$7FFFFFFF", true, 2147483647},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, INT32_MIN},
        {"2147483648", false, 0},
        {"-2147483649", false, 0},
        {"$100000000", false, 0},
        {"", false, 0},
        {"   ", false, 0},
        {"-", false, 0},
        {"$", false, 0},
        {"0x", false, 0},
        {"x", false, 0},
        {"abc", false, 0},
        {"yes", false, 0},
        {"12abc", false, 0},
        {"12 ", false, 0},
        {"1.5", false, 0},
        {"--1", false, 0},
        {"$G", false, 0},
        {"0x-1", false, 0},
        {"99999999999999999999", false, 0},
    };
    for (const auto& c : cases) {
        int32_t v = 12345;
        EXPECT_EQ(TryStrToInt(c.text, v), c.ok) << '"' << c.text << '"';
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(MemIniFile, ReadsWhatTheLayoutRulesSay) {
    testsupport::TempDir dir;
    const std::string path = dir.file("a.ini");
    WriteBytes(path,
               "orphan=before any section\r\n"
               "; a comment\r\n"
               "  [ Basic ]  \r\n"
               "   Position =  1  \r\n"
               "\r\n"
               "text= a=b=c= \r\n"
               "a line without equals\r\n"
               "empty=\r\n"
               "[colors]\n"
               "back_color=$0000FF\n"
               "word_color=0xFF\r"
               "back_trans=yes\r\n"
               "[BASIC]\r\n"
               "extra=2\r\n"
               "Position=0\r\n");
    TMemIniFile ini(path);
    EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Basic", "colors"}));
    EXPECT_EQ(ini.ReadString("basic", "position", "d"), "1");
    EXPECT_EQ(ini.ReadString("BASIC", "TEXT", "d"), "a=b=c=");
    EXPECT_EQ(ini.ReadString("basic", "empty", "d"), "");
    EXPECT_EQ(ini.ReadString("basic", "missing", "d"), "d");
    EXPECT_EQ(ini.ReadString("basic", "orphan", "d"), "d");
    EXPECT_EQ(ini.ReadString("basic", "a line without equals", "d"), "d");
    EXPECT_EQ(ini.ReadInteger("basic", "extra", 0), 2);  // the repeated section adds to the first
    EXPECT_EQ(ini.ReadSection("basic"), (std::vector<std::string>{"Position", "text", "empty", "extra", "Position"}));
    EXPECT_EQ(ini.ReadInteger("colors", "back_color", -1), 255);
    EXPECT_EQ(ini.ReadInteger("colors", "word_color", -1), 255);
    EXPECT_FALSE(ini.ReadBool("colors", "back_trans", false));
    EXPECT_TRUE(ini.ReadBool("colors", "back_trans", true));
    EXPECT_EQ(ini.ReadInteger("basic", "empty", 9), 9);
    EXPECT_EQ(ini.ReadInteger("nosection", "x", 9), 9);
    EXPECT_TRUE(ini.ReadBool("basic", "extra", false));  // any non-zero integer
}

TEST(MemIniFile, WritesInPlaceAppendsAndDropsComments) {
    testsupport::TempDir dir;
    const std::string path = dir.file("a.ini");
    WriteBytes(path,
               "; dropped\r\n"
               "junk before\r\n"
               " above = the first section \r\n"
               "[unknown]\r\n"
               "; kept? no\r\n"
               "keep=me\r\n"
               "raw line\r\n"
               "\r\n"
               "[Save]\r\n"
               "Format=7\r\n"
               "other=x\r\n");
    TMemIniFile ini(path);
    ini.WriteInteger("save", "format", 1);
    ini.WriteBool("save", "flag", true);
    ini.WriteString("font", "name", "  Noto Sans  ");
    ini.WriteInteger("window", "top", -20);
    EXPECT_EQ(ini.ReadString("font", "name", ""), "  Noto Sans  ");
    ini.UpdateFile();
    EXPECT_EQ(TMemIniFile(path).ReadString("font", "name", ""), "Noto Sans");
    // Lines above the first section are the user's too: kept at the top.
    EXPECT_EQ(ReadBytes(path),
              "junk before\r\nabove=the first section\r\n\r\n"
              "[unknown]\r\nkeep=me\r\nraw line\r\n\r\n"
              "[Save]\r\nFormat=1\r\nother=x\r\nflag=1\r\n\r\n"
              "[font]\r\nname=  Noto Sans  \r\n\r\n"  // written unchanged, trimmed when read
              "[window]\r\ntop=-20\r\n\r\n");
}

TEST(MemIniFile, KeepsCodePage932Bytes) {
    testsupport::TempDir dir;
    const std::string path = dir.file("a.ini");
    // "ー" is 81 5B and "ソ" 83 5C: trail bytes that look like "[" and "\" must not confuse.
    const std::string bytes = Utf8ToCp932("[font]\r\nname=ＭＳ ゴシック ー ソ\r\n\r\n");
    WriteBytes(path, bytes);
    TMemIniFile ini(path);
    EXPECT_EQ(ini.ReadString("font", "name", ""), "ＭＳ ゴシック ー ソ");
    ini.UpdateFile();
    EXPECT_EQ(ReadBytes(path), bytes);
}

TEST(MemIniFile, TextOutsideCodePage932IsWrittenAsUtf8) {
    testsupport::TempDir dir;
    const std::string path = dir.file("a.ini");
    {
        TMemIniFile ini(path);
        ini.WriteString("font", "name", "나눔고딕 ©");
        ini.UpdateFile();
    }
    EXPECT_EQ(ReadBytes(path), "\xEF\xBB\xBF[font]\r\nname=나눔고딕 ©\r\n\r\n");
    TMemIniFile again(path);
    EXPECT_EQ(again.ReadString("font", "name", ""), "나눔고딕 ©");
}

TEST(MemIniFile, MissingFileIsEmptyUntilWritten) {
    testsupport::TempDir dir;
    const std::string path = dir.file("new.ini");
    TMemIniFile ini(path);
    EXPECT_TRUE(ini.ReadSections().empty());
    EXPECT_FALSE(std::filesystem::exists(path));
    ini.UpdateFile();
    EXPECT_EQ(ReadBytes(path), "");
}

TEST(MemIniFile, UnreadableFilesRaiseEFOpenError) {
    testsupport::TempDir dir;
    std::filesystem::create_directory(dir.file("folder.ini"));
    EXPECT_THROW(TMemIniFile(dir.file("folder.ini")), EFOpenError);

    const std::string huge = dir.file("huge.ini");
    WriteBytes(huge, "[a]\r\n");
    std::filesystem::resize_file(huge, TMemIniFile::kMaxFileSize + 1);  // sparse
    EXPECT_THROW(TMemIniFile{huge}, EFOpenError);

    if (::geteuid() == 0) GTEST_SKIP() << "running as root: permission bits do not stop reading";
    const std::string locked = dir.file("locked.ini");
    WriteBytes(locked, "[a]\r\nb=1\r\n");
    ::chmod(locked.c_str(), 0);
    try {
        TMemIniFile ini(locked);
        ADD_FAILURE() << "read a file without read permission";
    } catch (const EFOpenError& e) {
        EXPECT_NE(std::string(e.what()).find(locked), std::string::npos);
    }
}

TEST(MemIniFile, UnwritablePlacesRaiseAndKeepTheOldFile) {
    testsupport::TempDir dir;
    {
        TMemIniFile ini(dir.file("no/such/folder/a.ini"));
        ini.WriteString("a", "b", "c");
        EXPECT_THROW(ini.UpdateFile(), EFCreateError);
    }
    {
        TMemIniFile ini("/proc/kirimark-test.ini");  // not writable even for root
        ini.WriteString("a", "b", "c");
        EXPECT_THROW(ini.UpdateFile(), EStreamError);
    }
    if (::geteuid() == 0) GTEST_SKIP() << "running as root: permission bits do not stop writing";
    const std::string path = dir.file("ro.ini");
    WriteBytes(path, "[a]\r\nb=old\r\n");
    ::chmod(path.c_str(), 0444);
    TMemIniFile ini(path);
    ini.WriteString("a", "b", "new");
    EXPECT_THROW(ini.UpdateFile(), EFCreateError);
    EXPECT_EQ(ReadBytes(path), "[a]\r\nb=old\r\n");

    const std::string roDir = dir.file("rodir");
    std::filesystem::create_directory(roDir);
    WriteBytes(roDir + "/a.ini", "[a]\r\nb=old\r\n");
    ::chmod(roDir.c_str(), 0555);
    TMemIniFile inRoDir(roDir + "/a.ini");
    inRoDir.WriteString("a", "b", "new");
    EXPECT_THROW(inRoDir.UpdateFile(), EFCreateError);
    EXPECT_EQ(ReadBytes(roDir + "/a.ini"), "[a]\r\nb=old\r\n");
    ::chmod(roDir.c_str(), 0755);
}

// A settings file kept elsewhere and linked into place stays a link: the file it leads to is
// replaced (in its own folder), whichever way the link is written.
TEST(MemIniFile, SymbolicLinksAreWrittenThrough) {
    namespace fs = std::filesystem;
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> links;  // link -> its text, made in order
        std::string target;                                      // where the bytes must land
    };
    const Case cases[] = {
        {"absolute link", {{"a.ini", "@/dotfiles/real.ini"}}, "dotfiles/real.ini"},
        {"relative link", {{"a.ini", "dotfiles/real.ini"}}, "dotfiles/real.ini"},
        {"chain of links", {{"dotfiles/mid.ini", "real.ini"}, {"a.ini", "dotfiles/mid.ini"}}, "dotfiles/real.ini"},
        {"link to a file not there yet", {{"a.ini", "dotfiles/new.ini"}}, "dotfiles/new.ini"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        fs::create_directory(dir.file("dotfiles"));
        WriteBytes(dir.file("dotfiles/real.ini"), "[a]\r\nb=old\r\n");
        for (const auto& [link, text] : c.links)
            fs::create_symlink(text[0] == '@' ? dir.path().string() + text.substr(1) : text, dir.file(link));
        TMemIniFile ini(dir.file("a.ini"));
        ini.WriteString("a", "b", "new");
        ini.UpdateFile();
        for (const auto& [link, text] : c.links) EXPECT_TRUE(fs::is_symlink(dir.file(link))) << link;
        EXPECT_EQ(ReadBytes(dir.file(c.target)), "[a]\r\nb=new\r\n\r\n");
        EXPECT_EQ(TMemIniFile(dir.file("a.ini")).ReadString("a", "b", ""), "new");
        // Nothing left beside either end.
        for (const std::string& folder : {dir.path().string(), dir.file("dotfiles")})
            for (const auto& name : Listing(folder)) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
    }
}

TEST(MemIniFile, ValuesCannotBreakTheLineStructure) {
    TMemIniFile ini("/nonexistent/x.ini");
    ini.WriteString("a", "k", "one\r\n[evil]\r\nx=y");
    ini.SetText(ini.GetText());
    EXPECT_EQ(ini.ReadSections(), std::vector<std::string>{"a"});
    EXPECT_EQ(ini.ReadString("a", "k", ""), "one  [evil]  x=y");
}

}  // namespace
