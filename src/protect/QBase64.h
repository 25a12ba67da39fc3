// Base64 (RFC 4648 alphabet, "=" padding, no line breaks) over byte strings, with a decoder
// that never fails: malformed text decodes to some bytes, and the cipher judges them.
#pragma once

#include <string>

std::string Base64Encode(std::string data);

// Decodes groups of four characters. A pad in the third place ends the group's output, a pad
// in the fourth drops its last byte; decoding goes on after a padded group. Characters outside
// the alphabet (space, line breaks, bytes 0x80 and up) count as value 63, a pad in the first or
// second place as 0. A short last group yields the bytes its characters fully determine.
std::string Base64Decode(std::string text);
