#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "Jpeg.h"
#include "OutputPlan.h"
#include "Picture.h"
#include "Pipeline.h"
#include "SysUtils.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

TPhotoSettings Photos(const char* outDir = "", bool accept = true) {
    TPhotoSettings s;
    s.AcceptPhotos = accept;
    s.OutDir = outDir;
    return s;
}

struct Input {
    const char* path;  // relative to the run's folder
    bool photo;
};

struct Case {
    const char* name;
    TPhotoSettings settings;                                 // OutDir relative to the run's folder
    std::vector<const char*> files;                          // exist before the run
    std::vector<std::pair<const char*, const char*>> links;  // (link, target): "=" prefix makes a hard link
    std::vector<Input> inputs;
    const char* ext;
    std::vector<const char*> expected;
};

const Case kCases[] = {
    {"defaults keep the bitmap rule, a name given twice included",
     TPhotoSettings(),
     {"p/a.bmp"},
     {},
     {{"p/a.bmp", false}, {"p/a.bmp", false}},
     ".jpg",
     {"p/a.jpg", "p/a.jpg"}},
    {"photos go into stamped beside them, bitmaps stay beside theirs",
     Photos(),
     {},
     {},
     {{"p/a.JPG", true}, {"p/b.bmp", false}, {"p/x.tar.tiff", true}, {"c.heic", true}},
     ".png",
     {"p/stamped/a.png", "p/b.png", "p/stamped/x.tar.png", "stamped/c.png"}},
    {"a later output of the same name is numbered",
     Photos(),
     {},
     {},
     {{"p/a.jpg", true}, {"p/a.png", true}, {"p/a.webp", true}},
     ".jpg",
     {"p/stamped/a.jpg", "p/stamped/a-2.jpg", "p/stamped/a-3.jpg"}},
    {"no output lands on an input of the run",
     Photos(),
     {"p/a.jpg", "p/a.bmp"},
     {},
     {{"p/a.jpg", true}, {"p/a.bmp", false}},
     ".jpg",
     {"p/stamped/a.jpg", "p/a-2.jpg"}},
    {"numbers skip names already taken",
     Photos("p"),
     {},
     {},
     {{"p/a.jpg", true}, {"p/a-2.jpg", true}, {"q/a.jpg", true}},
     ".jpg",
     {"p/a-3.jpg", "p/a-2-2.jpg", "p/a-4.jpg"}},
    {"a chosen folder takes bitmaps too",
     Photos("out", false),
     {},
     {},
     {{"p/a.bmp", false}, {"q/a.bmp", false}},
     ".png",
     {"out/a.png", "out/a-2.png"}},
    {"an earlier run's output is replaced",
     Photos("out"),
     {"out/a.jpg", "p/stamped/b.png"},
     {},
     {{"p/a.png", true}, {"p/b.tif", true}},
     ".jpg",
     {"out/a.jpg", "out/b.jpg"}},
    {"another name of an input is the input",
     Photos("l"),
     {"p/a.jpg", "p/b.jpg"},
     {{"l", "p"}},
     {{"p/a.jpg", true}, {"p/b.jpg", true}},
     ".jpg",
     {"l/a-2.jpg", "l/b-2.jpg"}},
    {"a hard link in the chosen folder",
     Photos("h"),
     {"p/b.jpg"},
     {{"h/b.jpg", "=p/b.jpg"}},
     {{"p/b.jpg", true}},
     ".jpg",
     {"h/b-2.jpg"}},
};

TEST(OutputPlan, Table) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        const fs::path& root = dir.path();
        for (const char* f : c.files) {
            fs::create_directories((root / f).parent_path());
            std::ofstream(root / f) << "x";
        }
        for (const auto& [link, target] : c.links) {
            fs::create_directories((root / link).parent_path());
            if (target[0] == '=')
                fs::create_hard_link(root / (target + 1), root / link);
            else
                fs::create_directory_symlink(root / target, root / link);
        }
        TPhotoSettings settings = c.settings;
        if (!settings.OutDir.empty()) settings.OutDir = (root / settings.OutDir).string();
        std::vector<std::string> inputs;
        for (const Input& in : c.inputs) inputs.push_back((root / in.path).string());

        TOutputPlanner planner(settings, inputs);
        std::vector<std::string> got;
        for (size_t i = 0; i < inputs.size(); ++i) got.push_back(planner.Next(inputs[i], c.inputs[i].photo, c.ext));
        std::vector<std::string> expected;
        for (const char* e : c.expected) expected.push_back((root / e).string());
        EXPECT_EQ(got, expected);
    }
}

TEST(OutputPlan, TheOutputFolderIsMadeWhenMissing) {
    testsupport::TempDir dir;
    EnsureOutputFolder(dir.file("a/b/c.jpg"));
    EXPECT_TRUE(fs::is_directory(dir.path() / "a/b"));
    EnsureOutputFolder(dir.file("a/b/c.jpg"));  // already there

    std::ofstream(dir.path() / "file") << "x";
    try {
        EnsureOutputFolder(dir.file("file/sub/c.jpg"));
        ADD_FAILURE() << "a file in the way was not refused";
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().find(dir.file("file/sub")), std::string::npos) << e.Message();
        EXPECT_NE(e.SysErrno(), 0);
    }
}

// A drop: a photo refused while photos are off says how to switch them on, a bitmap refused
// does not; with photos on, the same photo goes into "stamped" beside it.
TEST(OutputPlan, ADropOfPhotos) {
    testsupport::TempDir dir;
    apptest::SaveBlockPicture(dir.file("a.bmp"), pf24bit, 40, 30);
    TBitmap photo;
    apptest::BlockPicture(photo, pf24bit, 40, 30);
    {
        TMemoryStream jpeg;
        SaveBitmapAsJpeg(photo, 90, jpeg);
        jpeg.SaveToFile(dir.file("b.JPG"));
    }
    Settings s;
    TPicture work;
    apptest::RecordingBoxes boxes;
    ProcessDrop(work, {dir.file("b.JPG"), dir.file("c.BMP")}, s, boxes);
    ASSERT_EQ(boxes.details.size(), 3u);
    EXPECT_EQ(boxes.details[0], std::string("b.JPG\n") + msg::kPhotosOffHint);
    EXPECT_EQ(boxes.details[1], "c.BMP");

    s.Photo.AcceptPhotos = true;
    apptest::RecordingBoxes on;
    EXPECT_TRUE(ProcessDrop(work, {dir.file("a.bmp"), dir.file("b.JPG")}, s, on));
    EXPECT_TRUE(fs::exists(dir.path() / "a.jpg"));
    EXPECT_TRUE(fs::exists(dir.path() / "stamped" / "b.jpg"));
}

}  // namespace
