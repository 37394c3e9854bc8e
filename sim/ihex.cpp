#include "sim/ihex.h"

namespace vesk::sim {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool ParseIntelHex(std::string_view text, HexImage& image, std::string& error) {
  image.chunks.clear();
  HexImage parsed;
  std::uint32_t base = 0;
  bool ended = false;
  std::size_t lineNumber = 0;
  std::size_t position = 0;
  auto fail = [&](const std::string& what) {
    error = "line " + std::to_string(lineNumber) + ": " + what;
    return false;
  };
  while (position < text.size()) {
    std::size_t end = text.find('\n', position);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(position, end - position);
    position = end + 1;
    ++lineNumber;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
      line.remove_suffix(1);
    }
    if (line.empty()) continue;
    if (ended) return fail("data after the end record");
    if (line[0] != ':') return fail("record does not start with ':'");
    if (line.size() < 11 || (line.size() - 1) % 2 != 0) return fail("record too short or odd");
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 1; i + 1 < line.size(); i += 2) {
      const int high = HexDigit(line[i]);
      const int low = HexDigit(line[i + 1]);
      if (high < 0 || low < 0) return fail("not a hex digit");
      bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    const std::size_t count = bytes[0];
    if (bytes.size() != count + 5) return fail("length field does not match the record");
    std::uint8_t sum = 0;
    for (std::uint8_t byte : bytes) sum = static_cast<std::uint8_t>(sum + byte);
    if (sum != 0) return fail("checksum mismatch");
    const std::uint32_t offset = static_cast<std::uint32_t>(bytes[1] << 8 | bytes[2]);
    const std::uint8_t type = bytes[3];
    const std::uint8_t* data = bytes.data() + 4;
    switch (type) {
      case 0x00:
        parsed.chunks.push_back({base + offset, std::vector<std::uint8_t>(data, data + count)});
        break;
      case 0x01:
        ended = true;
        break;
      case 0x02:
        if (count != 2) return fail("extended segment address record needs 2 bytes");
        base = static_cast<std::uint32_t>(data[0] << 8 | data[1]) << 4;
        break;
      case 0x04:
        if (count != 2) return fail("extended linear address record needs 2 bytes");
        base = static_cast<std::uint32_t>(data[0] << 8 | data[1]) << 16;
        break;
      case 0x03:
      case 0x05:
        break;  // start addresses: the 8051 always starts at 0x0000
      default:
        return fail("unknown record type " + std::to_string(type));
    }
  }
  if (!ended) {
    error = "no end record";
    return false;
  }
  image = std::move(parsed);
  return true;
}

}  // namespace vesk::sim
