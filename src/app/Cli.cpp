#include "Cli.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "OrderedParts.h"
#include "PhotoFiles.h"
#include "Picture.h"
#include "Pipeline.h"
#include "SettingsFile.h"
#include "StampStyle.h"

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
    "                               and the settings a run takes from it, one\n"
    "                               section.key=value a line, the stamp text in plain; a key\n"
    "                               the file holds twice is shown once, with the value used\n"
    "  kirimark --help              show this help\n"
    "\n"
    "--stamp draws the stamp text on each FILE whose name ends in \".bmp\" (lower case) and\n"
    "writes the result beside it under the same name with \".jpg\" or \".png\", replacing an\n"
    "existing file. It starts from the program's settings; the options change them for this\n"
    "run only:\n"
    "  --format jpeg|png            output format\n"
    "  --quality 1-10               quality step: JPEG quality 10 to 100, PNG level 9 to 0\n"
    "  --corner top-left|top-right|bottom-left|bottom-right\n"
    "                               corner of the text, 5 pixels in from both edges (with\n"
    "                               --size as a share, in proportion to the text)\n"
    "  --text TEXT                  the stamp text (may be empty; at most 1024 characters)\n"
    "  --font FACE                  font face name (bold)\n"
    "  --size 9pt|2.5%              the stamp's size (default: the settings file's\n"
    "                               \"stamp_size\", 9pt): points from 1pt to 500pt, or the\n"
    "                               height of the text cell as a share of the picture's\n"
    "                               shorter side, 0.1% to 50% (two decimals at most), the\n"
    "                               margins growing with it\n"
    "  --size-min N                 with a share: the least cell height in pixels (1 to\n"
    "                               10000; default: \"size_min\", 12)\n"
    "  --size-max N                 with a share: the greatest cell height in pixels (0 to\n"
    "                               10000; default: \"size_max\", 0 for none)\n"
    "  --color #RRGGBB              text colour\n"
    "  --back #RRGGBB               background colour of the text cell\n"
    "  --transparent                no background: the picture shows between the letters\n"
    "  --jobs N                     stamp N files at a time (1 to 64; default: one per\n"
    "                               processor core this process may use); lines, summary\n"
    "                               and exit status are the same as with 1\n"
    "  --threads N                  encode each picture on N threads (0 to 64; default:\n"
    "                               the settings file's \"threads\", 0); 0 shares the cores\n"
    "                               among the files stamped at a time; 1 writes the bytes\n"
    "                               of the one-thread encoder\n"
    "  --inputs bmp|all             all: also take photos (.jpg .jpeg .png .tif .tiff .webp\n"
    "                               .heic .heif, any letter case); a photo's output goes into\n"
    "                               \"stamped\" beside it, upright, with its metadata\n"
    "  --out-dir DIR                write every output into DIR (made when missing); outputs\n"
    "                               that would share a name get -2, -3... before the extension,\n"
    "                               and no output replaces an input of the run\n"
    "  --metadata keep|strip        keep a photo's EXIF, XMP and IPTC in its output\n"
    "  --gps keep|strip             keep the location (EXIF GPS, XMP exif:GPS*) in the output\n"
    "  --embed-copyright yes|no     also write the stamp text into the output's metadata as\n"
    "                               its copyright notice\n"
    "  --lossless yes|no            a JPEG photo saved as JPEG: yes (default) encodes only\n"
    "                               the blocks under the stamp anew and keeps the rest and\n"
    "                               the stored orientation as they are (--quality does not\n"
    "                               apply); no decodes, turns upright and encodes it all\n"
    "Each FILE gives one line: the name written, or the name and why it was not processed.\n"
    "Notes on metadata an output could not carry go to standard error.\n"
    "The last line sums up the run. Exit status: 0 every file processed, 1 some file refused\n"
    "or failed (or the lines could not be written), 2 wrong usage. No display is needed.\n"
    "\n"
    "Names and values are printed so that each stays on its one line: a backslash as \\\\,\n"
    "line feed, carriage return and tab as \\n, \\r and \\t, any other control character,\n"
    "DEL and every byte that is not valid UTF-8 as \\xHH (a control character beyond ASCII\n"
    "as the \\xHH of each of its UTF-8 bytes); everything else, Japanese included, as it is.\n";

const char* const kPhotosOffCliHint = "photos are taken with --inputs all (or photo.accept_photos=1)";

struct UsageError {
    std::string text;
};

constexpr long kMaxJobs = 64;

// Length of the valid UTF-8 sequence at s[i], or 0 when the bytes there are not one
// (stray continuation bytes, overlong forms, surrogates, values past U+10FFFF, a cut end).
size_t Utf8SequenceLength(const std::string& s, size_t i) {
    const auto at = [&](size_t k) { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0u; };
    const unsigned c = at(i);
    size_t n;
    unsigned lo = 0x80, hi = 0xBF;  // range of the second byte
    if (c >= 0xC2 && c <= 0xDF)
        n = 2;
    else if (c >= 0xE0 && c <= 0xEF)
        n = 3, lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    else if (c >= 0xF0 && c <= 0xF4)
        n = 4, lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    else
        return 0;
    if (at(i + 1) < lo || at(i + 1) > hi) return 0;
    for (size_t k = 2; k < n; ++k)
        if ((at(i + k) & 0xC0) != 0x80) return 0;
    return n;
}

}  // namespace

unsigned DefaultJobs() { return static_cast<unsigned>(UsableCores()); }

std::string EscapeForLine(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    auto escapeByte = [&](unsigned char c) {
        out += "\\x";
        out += hex[c >> 4];
        out += hex[c & 15];
    };
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            escapeByte(c);
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (const size_t n = Utf8SequenceLength(text, i); n == 0) {
            escapeByte(c);
        } else if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            // U+0080 to U+009F: control characters too, which some terminals obey.
            escapeByte(c);
            escapeByte(static_cast<unsigned char>(text[i + 1]));
            i += 2;
            continue;
        } else {
            out.append(text, i, n);
            i += n;
            continue;
        }
        ++i;
    }
    return out;
}

namespace {
bool gStreamWasClosed[3] = {};
}  // namespace

void KeepStandardStreamsOpen() {
    for (int fd = 0; fd < 3; ++fd) {
        if (!(::fcntl(fd, F_GETFD) == -1 && errno == EBADF)) continue;
        gStreamWasClosed[fd] = true;
        const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}

TReportOutput::TReportOutput(const char* command) : command_(command) {
    KeepStandardStreamsOpen();
    if (gStreamWasClosed[1]) {
        failed_ = true;
        why_ = "standard output is closed";
    }
}

void TReportOutput::Line(const std::string& text) {
    if (failed_) return;
    // Flushed line by line, so that a reader sees each name as soon as it is done.
    if (std::fputs(text.c_str(), stdout) == EOF || std::fputc('\n', stdout) == EOF || std::fflush(stdout) == EOF) {
        failed_ = true;
        why_ = std::strerror(errno);
        std::clearerr(stdout);
    }
}

int TReportOutput::Finish(int status) {
    if (!failed_) return status;
    std::fprintf(stderr, "%s: cannot write to standard output: %s\n", command_, why_.c_str());
    return status == 2 ? 2 : 1;
}

namespace {

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

// An option of two values: false for the first, true for the second.
bool Choice(const std::string& option, const std::string& v, const char* first, const char* second) {
    if (v == first) return false;
    if (v == second) return true;
    throw UsageError{option + " takes " + first + " or " + second + ", not \"" + v + "\""};
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
            if (TextLength(s.CopyrightText) > kMaxStampTextChars)
                throw UsageError{"--text takes at most " + std::to_string(kMaxStampTextChars) + " characters, not " +
                                 std::to_string(TextLength(s.CopyrightText))};
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
        } else if (arg == "--threads") {
            const std::string v = value();
            char* end = nullptr;
            const long n = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || n < 0 || n > kMaxEncoderThreads)
                throw UsageError{"--threads takes a whole number from 0 to " + std::to_string(kMaxEncoderThreads) +
                                 ", not \"" + v + "\""};
            s.Threads = static_cast<int>(n);
        } else if (arg == "--inputs") {
            s.Photo.AcceptPhotos = Choice(arg, value(), "bmp", "all");
        } else if (arg == "--out-dir") {
            const std::string v = value();
            if (v.empty()) throw UsageError{"--out-dir needs a folder"};
            s.Photo.OutDir = v;
        } else if (arg == "--metadata") {
            s.Photo.KeepMetadata = !Choice(arg, value(), "keep", "strip");
        } else if (arg == "--gps") {
            s.Photo.StripGps = Choice(arg, value(), "keep", "strip");
        } else if (arg == "--embed-copyright") {
            s.Photo.EmbedCopyright = !Choice(arg, value(), "yes", "no");
        } else if (arg == "--lossless") {
            s.Photo.LosslessJpeg = Choice(arg, value(), "no", "yes");
        } else if (arg == "--size") {
            const std::string v = value();
            if (!ParseStampSize(v, s.Photo.StampSize))
                throw UsageError{"--size takes points as " + std::to_string(kMinStampPoints) + "pt to " +
                                 std::to_string(kMaxStampPoints) + "pt or a share of the shorter side as " +
                                 StampSizeText({true, 0, kMinStampHundredths, 0, 0}) + " to " +
                                 StampSizeText({true, 0, kMaxStampHundredths, 0, 0}) + ", not \"" + v + "\""};
        } else if (arg == "--size-min" || arg == "--size-max") {
            const std::string v = value();
            const long least = arg == "--size-min" ? 1 : 0;
            char* end = nullptr;
            const long n = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || n < least || n > kMaxStampPixels)
                throw UsageError{arg + " takes a whole number from " + std::to_string(least) + " to " +
                                 std::to_string(kMaxStampPixels) + ", not \"" + v + "\""};
            (arg == "--size-min" ? s.Photo.StampSize.MinPixels : s.Photo.StampSize.MaxPixels) = static_cast<int>(n);
        } else if (arg == "--transparent" && !inlineValue) {
            s.BackTransparent = true;
            transparent = true;
        } else {
            throw UsageError{"unknown option " + args[i]};
        }
    }
    if (back && transparent) throw UsageError{"--back and --transparent exclude each other"};
    if (const TStampSize& size = s.Photo.StampSize; size.MaxPixels != 0 && size.MaxPixels < size.MinPixels)
        throw UsageError{"the greatest stamp height (" + std::to_string(size.MaxPixels) + ") is below the least (" +
                         std::to_string(size.MinPixels) + "); see --size-min and --size-max"};
    if (files.empty()) throw UsageError{"no FILE given"};
    return files;
}

// Processes the names on `jobs` threads, each file with its own work picture (and so its own
// bitmap, canvas and encoders), and hands every outcome to `report` on the calling thread in
// the order of the names, as soon as it and all before it are known.
void StampInOrder(const std::vector<std::string>& files, const Settings& runSettings, unsigned jobs,
                  const std::function<void(size_t, const TFileOutcome&)>& report) {
    jobs = static_cast<unsigned>(std::min<size_t>(jobs, files.size()));
    // Automatic threads: the cores are shared out among the pictures stamped at a time, so
    // that a batch keeps one picture a core and a single picture gets them all.
    Settings settings = runSettings;
    if (settings.Threads == 0) settings.Threads = static_cast<int>(std::max(1u, DefaultJobs() / jobs));
    // Writing behind the encoder pays only while a core would otherwise be idle.
    const bool writeBehind = 2 * jobs * static_cast<unsigned>(settings.Threads) <= DefaultJobs();
    // A fresh work picture for every file: nothing here needs the previous picture, so it is
    // gone before the next one is read, and a worker holds one picture at a time.
    // Every output is named before any is written, so that names do not depend on timing.
    const std::vector<std::string> targets = PlanRunOutputs(files, settings);
    auto process = [&](size_t i) {
        TPicture work;
        return ProcessFile(work, files[i], settings, {}, writeBehind, targets[i]);
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
    std::vector<std::jthread> workers;
    try {
        for (unsigned j = 0; j < jobs; ++j) workers.emplace_back(worker);
    } catch (const std::system_error&) {
        // The system gives no more threads (a process limit): the workers that did start
        // share the batch, or this thread does it alone.
    }
    if (workers.empty()) {
        for (size_t i = 0; i < files.size(); ++i) report(i, process(i));
        return;
    }
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
    const std::string path = ProgramSettingsFilePath();
    try {
        TStoredTextProblem problem = TStoredTextProblem::None;
        ReadSettingsFile(path, s, &problem);
        if (problem != TStoredTextProblem::None)
            std::fprintf(stderr, "kirimark: %s\n", EscapeForLine(StoredTextProblemText(problem, path)).c_str());
    } catch (const ESettingsFileError& e) {
        std::fprintf(stderr, "kirimark: %s\n", EscapeForLine(e.what()).c_str());
    }
    return s;
}

int PrintHelp() {
    TReportOutput out("kirimark --help");
    out.Line(std::string(kHelp, std::strlen(kHelp) - 1));  // its last line break comes with the line
    return out.Finish(0);
}

int RunStampCommand(const std::vector<std::string>& args) {
    TReportOutput out("kirimark --stamp");
    Settings settings = LoadEffectiveSettings();
    std::vector<std::string> files;
    unsigned jobs = DefaultJobs();
    try {
        files = ParseStampArgs(args, settings, jobs);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "kirimark --stamp: %s\nTry \"kirimark --help\".\n", EscapeForLine(e.text).c_str());
        return 2;
    }
    bool allDone = true;
    StampInOrder(files, settings, jobs, [&](size_t i, const TFileOutcome& outcome) {
        const std::string name = EscapeForLine(files[i]);
        switch (outcome.Result) {
        case TFileOutcome::Written:
            for (const std::string& written : outcome.Outputs) out.Line(EscapeForLine(written));
            for (const std::string& note : outcome.Notes)
                std::fprintf(stderr, "kirimark: %s: %s\n", name.c_str(), EscapeForLine(note).c_str());
            break;
        case TFileOutcome::Refused:
            out.Line(name + ": " + msg::kNotBitmap);
            if (IsPhotoFileName(files[i])) std::fprintf(stderr, "kirimark: %s: %s\n", name.c_str(), kPhotosOffCliHint);
            allDone = false;
            break;
        case TFileOutcome::Failed:
            out.Line(name + ": " + msg::kFileFailed);
            std::fprintf(stderr, "kirimark: %s: %s\n", name.c_str(), EscapeForLine(outcome.Detail).c_str());
            allDone = false;
            break;
        }
    });
    out.Line(allDone ? msg::kAllDone : msg::kSomeFailed);
    return out.Finish(allDone ? 0 : 1);
}
