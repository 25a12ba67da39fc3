// The resolved faces kept on disk: a later run takes the answer from there without starting
// fontconfig, and anything that could change the answer, or a damaged entry, sends it back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>

#include "FaceCache.h"
#include "FaceResolver.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using faceresolver_testing::FontconfigLookups;
using faceresolver_testing::ForgetResolvedFaces;

namespace {

// Points the cache and the user's fontconfig folder into a fresh folder for the test's life.
class FaceCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"XDG_CACHE_HOME", "XDG_CONFIG_HOME"})
            if (const char* v = std::getenv(name)) saved_.emplace_back(name, v);
        ::setenv("XDG_CACHE_HOME", dir.file("cache").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
        ForgetResolvedFaces();
    }
    void TearDown() override {
        ::unsetenv("XDG_CACHE_HOME");
        ::unsetenv("XDG_CONFIG_HOME");
        for (const auto& [name, value] : saved_) ::setenv(name.c_str(), value.c_str(), 1);
        ForgetResolvedFaces();
    }

    // Resolves as a new run would (nothing in memory); returns how many fontconfig lookups it took.
    int Lookups(TFaceFile& answer) {
        ForgetResolvedFaces();
        const int before = FontconfigLookups();
        answer = ResolveFace("DejaVu Sans", true, 12);
        return FontconfigLookups() - before;
    }

    std::vector<fs::path> Entries() const {
        std::vector<fs::path> v;
        if (fs::is_directory(dir.path() / "cache" / "kirimark"))
            for (const auto& e : fs::directory_iterator(dir.path() / "cache" / "kirimark")) v.push_back(e.path());
        return v;
    }

    testsupport::TempDir dir;
    std::vector<std::pair<std::string, std::string>> saved_;
};

TEST_F(FaceCacheTest, ALaterRunTakesTheAnswerFromDiskUntilSomethingChanges) {
    TFaceFile first, again;
    ASSERT_EQ(Lookups(first), 1);
    ASSERT_FALSE(first.Path.empty());
    ASSERT_EQ(Entries().size(), 1u);
    EXPECT_EQ(Lookups(again), 0) << "fontconfig was started although the answer was on disk";
    EXPECT_EQ(again, first);

    // Each change sends the next run back to fontconfig once, with the same answer.
    const fs::path entry = Entries().front();
    const std::string good = [&] {
        std::ifstream in(entry, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    auto writeEntry = [&](const std::string& text) {
        std::ofstream(entry, std::ios::binary | std::ios::trunc) << text;
    };
    struct Change {
        const char* what;
        std::function<void()> make;
    } changes[] = {
        {"entry cut short", [&] { writeEntry(good.substr(0, good.size() - 4)); }},
        {"entry without its end line", [&] { writeEntry(good.substr(0, good.rfind("end"))); }},
        {"entry of garbage", [&] { writeEntry("kirimark face cache 1\nanswer x y\n"); }},
        {"entry of another question",
         [&] {
             std::string other = good;
             other.replace(other.find("DejaVu"), 6, "Dejavu");
             writeEntry(other);
         }},
        {"entry removed", [&] { fs::remove(entry); }},
        {"user's fontconfig file added",
         [&] {
             fs::create_directories(dir.path() / "config" / "fontconfig");
             std::ofstream(dir.path() / "config" / "fontconfig" / "fonts.conf") << "<fontconfig/>\n";
         }},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        c.make();
        TFaceFile answer;
        EXPECT_EQ(Lookups(answer), 1);
        EXPECT_EQ(answer, first);
        EXPECT_EQ(Lookups(answer), 0) << "the renewed entry was not used";
    }
}

TEST_F(FaceCacheTest, AnUnwritableCacheOnlyCostsTheLookup) {
    std::ofstream(dir.file("cache")) << "a file where the folder should be";
    TFaceFile first, again;
    EXPECT_EQ(Lookups(first), 1);
    EXPECT_FALSE(first.Path.empty());
    EXPECT_EQ(Lookups(again), 1);
    EXPECT_EQ(again, first);
}

TEST(FaceCacheEntry, ValuesWithNewlinesAndBackslashesComeBackWhole) {
    testsupport::TempDir dir;
    const TFaceCache cache(dir.path());
    const std::string question = "face a\\b\nbold 12\nHOME=/x\\n";
    const TFaceFile answer{dir.file("odd\\name\nwith lines.ttf"), 3, THinting::Full, true};
    std::ofstream(answer.Path) << "not really a font";
    cache.Store(question, answer, {answer.Path, dir.file("absent\nfile")});
    EXPECT_EQ(cache.Find(question), answer);
    EXPECT_EQ(cache.Find("face a\\b\nbold 12\nHOME=/x\\"), std::nullopt);
    std::ofstream(answer.Path, std::ios::app) << " any more";  // the font file changed
    EXPECT_EQ(cache.Find(question), std::nullopt);
}

}  // namespace
