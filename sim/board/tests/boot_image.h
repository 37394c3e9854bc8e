#pragma once
// The board tests' SDCC programs (built into VESK_TEST_PROGRAMS) and C2 boot images of them.

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/ihex.h"

namespace vesk::sim::board::test {

inline HexImage LoadHex(const std::string& name) {
  std::ifstream file(std::string(VESK_TEST_PROGRAMS) + "/" + name + ".ihx");
  std::stringstream text;
  text << file.rdbuf();
  HexImage image;
  std::string error;
  EXPECT_TRUE(ParseIntelHex(text.str(), image, error)) << name << ": " << error;
  return image;
}

// A C2 boot image of `program`: header, one record per hex chunk, the CPUCS end record.
inline std::vector<std::uint8_t> BootImage(const HexImage& program, std::uint16_t vid,
                                           std::uint16_t pid) {
  std::vector<std::uint8_t> image = {0xC2, std::uint8_t(vid), std::uint8_t(vid >> 8),
                                     std::uint8_t(pid), std::uint8_t(pid >> 8), 0x01, 0x00, 0x00};
  for (const HexChunk& chunk : program.chunks) {
    const auto n = chunk.bytes.size();
    image.insert(image.end(), {static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n),
                               static_cast<std::uint8_t>(chunk.address >> 8),
                               static_cast<std::uint8_t>(chunk.address)});
    image.insert(image.end(), chunk.bytes.begin(), chunk.bytes.end());
  }
  image.insert(image.end(), {0x80, 0x01, 0xE6, 0x00, 0x00});
  return image;
}

}  // namespace vesk::sim::board::test
