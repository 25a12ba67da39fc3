// The two checksums of PNG files, computed with vector instructions where the processor has
// them: the CRC-32 of every chunk and the Adler-32 at the end of the zlib stream. Both give
// exactly zlib's values and chain like zlib's functions, which serve where no vector path does.
#pragma once

#include <cstddef>
#include <cstdint>

// The CRC-32 of PNG chunks, with the same value and chaining as zlib's crc32; large blocks
// use carry-less multiplication where the processor has it.
uint32_t ChunkCrc32(uint32_t crc, const uint8_t* data, size_t length);
// The Adler-32 checksum of the zlib stream, with the same value and chaining as zlib's
// adler32; vector instructions where the processor has them.
uint32_t StreamAdler32(uint32_t adler, const uint8_t* data, size_t length);
