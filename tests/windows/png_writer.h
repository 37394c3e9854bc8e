#pragma once
// Writes 24-bit pictures as PNG files, uncompressed (stored deflate blocks): enough for a
// screenshot without an image library.

#include <cstdint>
#include <string>
#include <vector>

namespace vesk::png {

// `rgb` holds height rows of width pixels, 3 bytes each, top row first.
bool WriteRgb(const std::string& path, int width, int height, const std::vector<std::uint8_t>& rgb);

}  // namespace vesk::png
