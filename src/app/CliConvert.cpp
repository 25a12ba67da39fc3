// `kirimark --convert IN OUT`: loads a picture by its extension and writes it by the output's
// extension, unstamped. Scripts and tests use it to reach the decoders without a window.
#include <algorithm>
#include <cstdio>
#include <exception>

#include "Cli.h"
#include "Jpeg.h"
#include "KMPNG.h"
#include "KMPNGLoad.h"
#include "Picture.h"
#include "SafeFile.h"

namespace {

std::string LowerExtension(const std::string& name) {
    const size_t slash = name.find_last_of('/');
    const size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = name.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

// Encodes the picture in the format the output name asks for.
void Encode(TPicture& picture, const std::string& ext, TStream& out) {
    if (ext == "bmp") {
        picture.Bitmap().SaveToStream(out);  // in the picture's own pixel format
    } else if (ext == "png") {
        TKMPNG png;
        png.Assign(*picture.Graphic());  // a PNG source keeps its alpha mask and ancillary values
        png.SaveToStream(out);
    } else if (ext == "jpg" || ext == "jpeg") {
        TJPEGImage jpeg;
        jpeg.Assign(picture.Bitmap());
        jpeg.SaveToStream(out);
    } else {
        throw EInvalidGraphic("Unknown output file extension (." + ext + ")");
    }
}

}  // namespace

int RunConvertCommand(const std::vector<std::string>& args) {
    if (args.size() != 2) {
        std::fprintf(stderr, "kirimark --convert: needs exactly IN and OUT\nTry \"kirimark --help\".\n");
        return 2;
    }
    const std::string& in = args[0];
    const std::string& out = args[1];
    bool writing = false;
    try {
        RegisterPNGFormat();
        TPicture picture;
        picture.LoadFromFile(in);
        if (!picture.Graphic() || picture.Graphic()->Empty())
            throw EInvalidGraphic("The picture in " + in + " holds no image");
        const std::string ext = LowerExtension(out);
        if (ext != "bmp" && ext != "png" && ext != "jpg" && ext != "jpeg")
            throw EInvalidGraphic("Unknown output file extension (." + ext + ")");
        // Written whole or not at all: an existing OUT stays as it was when anything fails.
        writing = true;
        RefuseToReplaceSource(out, in);
        TSafeFileStream stream(out);
        Encode(picture, ext, stream);
        stream.Commit();
    } catch (const std::exception& e) {
        // The reason with the system's words; a failed write also says which file it was.
        std::string detail = FailureDetail(e);
        if (writing && detail.find(out) == std::string::npos) detail = "Cannot write file \"" + out + "\": " + detail;
        std::fprintf(stderr, "%s\n", EscapeForLine(detail).c_str());
        return 1;
    }
    return 0;
}
