#include "Cli.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include <unistd.h>

#include "Canvas.h"
#include "Picture.h"
#include "Pipeline.h"
#include "SettingsFile.h"

namespace {

const char* const kHelp =
    "Usage:\n"
    "  kirimark                     open the window; drop BMP files on it to stamp them\n"
    "  kirimark --stamp [OPTIONS] FILE...\n"
    "                               stamp the named BMP files without a window\n"
    "  kirimark --convert IN OUT    load IN (.bmp, .png, .jpg or .jpeg) and write it\n"
    "                               unstamped as OUT, by OUT's extension: .bmp, .png or\n"
    "                               .jpg; exit status 0\n"
    "                               on success, 1 with the error on failure\n"
    "  kirimark --settings          show the settings file's path (first line, after \"# \")\n"
    "                               and the settings it holds, one section.key=value a line,\n"
    "                               the stamp text in plain\n"
    "  kirimark --help              show this help\n"
    "\n"
    "--stamp draws the stamp text on each FILE whose name ends in \".bmp\" (lower case) and\n"
    "writes the result beside it under the same name with \".jpg\" or \".png\", replacing an\n"
    "existing file. It starts from the program's settings; the options change them for this\n"
    "run only:\n"
    "  --format jpeg|png            output format\n"
    "  --quality 1-10               quality step: JPEG quality 10 to 100, PNG level 9 to 0\n"
    "  --corner top-left|top-right|bottom-left|bottom-right\n"
    "                               corner of the text, 5 pixels in from both edges\n"
    "  --text TEXT                  the stamp text (may be empty)\n"
    "  --font FACE                  font face name (bold, 9 pt)\n"
    "  --color #RRGGBB              text colour\n"
    "  --back #RRGGBB               background colour of the text cell\n"
    "  --transparent                no background: the picture shows between the letters\n"
    "  --jobs N                     stamp N files at a time (1 to 64; default: one per\n"
    "                               processor core); lines, summary and exit status are\n"
    "                               the same as with 1\n"
    "Each FILE gives one line: the name written, or the name and why it was not processed.\n"
    "The last line sums up the run. Exit status: 0 every file processed, 1 some file refused\n"
    "or failed, 2 wrong usage. No display is needed.\n";

struct UsageError {
    std::string text;
};

constexpr long kMaxJobs = 64;

unsigned DefaultJobs() { return std::max(1u, std::thread::hardware_concurrency()); }

std::optional<TColor> ParseColor(const std::string& s) {
    if (s.size() != 7 || s[0] != '#') return std::nullopt;
    unsigned v = 0;
    for (size_t i = 1; i < 7; ++i) {
        const char c = s[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return std::nullopt;
        v = v * 16 + static_cast<unsigned>(d);
    }
    return RGBColor(static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v));
}

// Applies the options to the settings and returns the file names, in order.
std::vector<std::string> ParseStampArgs(const std::vector<std::string>& args, Settings& s, unsigned& jobs) {
    std::vector<std::string> files;
    bool back = false, transparent = false, optionsDone = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (optionsDone || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsDone = true;
            continue;
        }
        std::optional<std::string> inlineValue;
        if (const size_t eq = arg.find('='); eq != std::string::npos) {
            inlineValue = arg.substr(eq + 1);
            arg.resize(eq);
        }
        auto value = [&]() -> std::string {
            if (inlineValue) return *inlineValue;
            if (i + 1 >= args.size()) throw UsageError{arg + " needs a value"};
            return args[++i];
        };
        if (arg == "--format") {
            const std::string v = value();
            if (v == "jpeg")
                s.SaveFormat = 0;
            else if (v == "png")
                s.SaveFormat = 1;
            else
                throw UsageError{"--format takes jpeg or png, not \"" + v + "\""};
        } else if (arg == "--quality") {
            const std::string v = value();
            char* end = nullptr;
            const long q = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || q < 1 || q > 10)
                throw UsageError{"--quality takes a whole number from 1 to 10, not \"" + v + "\""};
            s.ImageQuality = static_cast<int>(q);
        } else if (arg == "--corner") {
            const std::string v = value();
            if (v == "top-left")
                s.PosLeft = true, s.PosTop = true;
            else if (v == "top-right")
                s.PosLeft = false, s.PosTop = true;
            else if (v == "bottom-left")
                s.PosLeft = true, s.PosTop = false;
            else if (v == "bottom-right")
                s.PosLeft = false, s.PosTop = false;
            else
                throw UsageError{"--corner takes top-left, top-right, bottom-left or bottom-right, not \"" + v + "\""};
        } else if (arg == "--text") {
            s.CopyrightText = value();
        } else if (arg == "--font") {
            s.FontName = value();
        } else if (arg == "--color" || arg == "--back") {
            const std::string v = value();
            const auto c = ParseColor(v);
            if (!c) throw UsageError{arg + " takes a colour as #RRGGBB, not \"" + v + "\""};
            if (arg == "--color") {
                s.WordColor = *c;
            } else {
                s.BackColor = *c;
                s.BackTransparent = false;
                back = true;
            }
        } else if (arg == "--jobs") {
            const std::string v = value();
            char* end = nullptr;
            const long n = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || n < 1 || n > kMaxJobs)
                throw UsageError{"--jobs takes a whole number from 1 to " + std::to_string(kMaxJobs) + ", not \"" + v +
                                 "\""};
            jobs = static_cast<unsigned>(n);
        } else if (arg == "--transparent" && !inlineValue) {
            s.BackTransparent = true;
            transparent = true;
        } else {
            throw UsageError{"unknown option " + args[i]};
        }
    }
    if (back && transparent) throw UsageError{"--back and --transparent exclude each other"};
    if (files.empty()) throw UsageError{"no FILE given"};
    return files;
}

// Processes the names on `jobs` threads, each file with its own work picture (and so its own
// bitmap, canvas and encoders), and hands every outcome to `report` on the calling thread in
// the order of the names, as soon as it and all before it are known.
void StampInOrder(const std::vector<std::string>& files, const Settings& settings, unsigned jobs,
                  const std::function<void(size_t, const TFileOutcome&)>& report) {
    jobs = static_cast<unsigned>(std::min<size_t>(jobs, files.size()));
    // Writing behind the encoder pays only while a core would otherwise be idle.
    const bool writeBehind = 2 * jobs <= DefaultJobs();
    // A fresh work picture for every file: nothing here needs the previous picture, so it is
    // gone before the next one is read, and a worker holds one picture at a time.
    auto process = [&](size_t i) {
        TPicture work;
        return ProcessFile(work, files[i], settings, {}, writeBehind);
    };
    if (jobs <= 1) {
        for (size_t i = 0; i < files.size(); ++i) report(i, process(i));
        return;
    }
    std::mutex m;
    std::condition_variable done;
    std::vector<std::optional<TFileOutcome>> outcomes(files.size());
    size_t next = 0;  // the next name a worker takes; guarded by m
    auto worker = [&] {
        for (;;) {
            size_t i;
            {
                std::lock_guard lock(m);
                if (next == files.size()) return;
                i = next++;
            }
            TFileOutcome outcome = process(i);
            {
                std::lock_guard lock(m);
                outcomes[i] = std::move(outcome);
            }
            done.notify_one();
        }
    };
    // Text drawing sets up its toolkit on first use; do that here rather than on a worker.
    TCanvas::PrepareTextDrawing();
    std::vector<std::jthread> workers;
    for (unsigned j = 0; j < jobs; ++j) workers.emplace_back(worker);
    for (size_t i = 0; i < files.size(); ++i) {
        TFileOutcome outcome;
        {
            std::unique_lock lock(m);
            done.wait(lock, [&] { return outcomes[i].has_value(); });
            outcome = std::move(*outcomes[i]);
            outcomes[i].reset();
        }
        report(i, outcome);
    }
}

}  // namespace

Settings LoadEffectiveSettings() {
    Settings s;
    InitSettings(s);
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    s.VersionText = GetFileVersionText(n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string());
    // As the window does, a file that cannot be read leaves the initial settings.
    try {
        ReadSettingsFile(ProgramSettingsFilePath(), s);
    } catch (const ESettingsFileError& e) {
        std::fprintf(stderr, "kirimark: %s\n", e.what());
    }
    return s;
}

void PrintHelp(std::FILE* out) { std::fputs(kHelp, out); }

void UseHeadlessGraphics() {
    // Text is drawn with the toolkit's font machinery, which must not look for a screen.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

int RunStampCommand(const std::vector<std::string>& args) {
    Settings settings = LoadEffectiveSettings();
    std::vector<std::string> files;
    unsigned jobs = DefaultJobs();
    try {
        files = ParseStampArgs(args, settings, jobs);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "kirimark --stamp: %s\nTry \"kirimark --help\".\n", e.text.c_str());
        return 2;
    }
    UseHeadlessGraphics();
    bool allDone = true;
    StampInOrder(files, settings, jobs, [&](size_t i, const TFileOutcome& outcome) {
        const std::string& name = files[i];
        switch (outcome.Result) {
        case TFileOutcome::Written:
            for (const std::string& out : outcome.Outputs) std::printf("%s\n", out.c_str());
            break;
        case TFileOutcome::Refused:
            std::printf("%s: %s\n", name.c_str(), msg::kNotBitmap);
            allDone = false;
            break;
        case TFileOutcome::Failed:
            std::printf("%s: %s\n", name.c_str(), msg::kFileFailed);
            std::fprintf(stderr, "kirimark: %s: %s\n", name.c_str(), outcome.Detail.c_str());
            allDone = false;
            break;
        }
        std::fflush(stdout);
    });
    std::printf("%s\n", allDone ? msg::kAllDone : msg::kSomeFailed);
    return allDone ? 0 : 1;
}
