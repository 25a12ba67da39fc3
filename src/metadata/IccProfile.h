// What an ICC profile describes, read from its header, and whether it may go with an output.
#pragma once

#include <string_view>

enum class TIccColourSpace { Invalid, Rgb, Grey, Cmyk, Other };

// The colour of the output's pixels.
enum class TOutputColour { Rgb, Grey };

// The data colour space of a profile; Invalid when the header is not a profile's (too short,
// no "acsp", a declared size larger than the data).
TIccColourSpace IccColourSpace(std::string_view profile);

// The profile describes pixels of the output's colour and is of a class that may be embedded
// in a picture (input, display, output or colour-space conversion; not a device link,
// abstract or named-colour profile).
bool IccFitsOutput(std::string_view profile, TOutputColour colour);

// The profile's own length from its header, at most profile.size(); 0 when invalid.
size_t IccDeclaredSize(std::string_view profile);
