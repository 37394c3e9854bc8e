#pragma once
// Intel HEX programs as SDCC writes them (.ihx): data records in any order, optional
// extended address records, one end record.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::sim {

struct HexChunk {
  std::uint32_t address;
  std::vector<std::uint8_t> bytes;
};

struct HexImage {
  std::vector<HexChunk> chunks;  // one per data record, in file order
};

// Parses `text`. On failure returns false, leaves `image` empty and sets `error` to what
// was wrong and on which line (checksum, length, a character that is not hex, a missing
// end record, an unknown record type).
bool ParseIntelHex(std::string_view text, HexImage& image, std::string& error);

}  // namespace vesk::sim
