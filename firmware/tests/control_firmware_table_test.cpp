// The committed control firmware table, as the loader sends it: what any such table must
// keep to, whatever program it holds.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>

#include "device/control_firmware_table.h"

namespace vesk {
namespace {

constexpr std::uint32_t kFirmwareLimit = 0x2000;  // also runs on 8 KB parts
constexpr std::uint16_t kCodeStart = 0x0100;
constexpr std::uint8_t kLjmp = 0x02;

// The 8051's memory after loading the table; nullopt where no record wrote.
using Image = std::array<std::optional<std::uint8_t>, 0x10000>;

Image LoadTable() {
  Image image;
  for (std::size_t i = 0; i + 1 < ControlFirmwareRecordCount; ++i) {
    const HexRecord& record = ControlFirmwareTable[i];
    for (std::size_t k = 0; k < record.length && record.address + k < image.size(); ++k) {
      image[record.address + k] = record.data[k];
    }
  }
  return image;
}

std::uint16_t JumpTarget(const Image& image, std::uint16_t vector) {
  return static_cast<std::uint16_t>(*image[vector + 1] << 8 | *image[vector + 2]);
}

TEST(ControlFirmwareTable, DataRecordsOfAtMost16BytesEndingInOneEndRecord) {
  ASSERT_GE(ControlFirmwareRecordCount, 2u);
  for (std::size_t i = 0; i + 1 < ControlFirmwareRecordCount; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(ControlFirmwareTable[i].type, kHexRecordData);
    EXPECT_GE(ControlFirmwareTable[i].length, 1);
    EXPECT_LE(ControlFirmwareTable[i].length, kHexRecordMaxData);
  }
  const HexRecord& end = ControlFirmwareTable[ControlFirmwareRecordCount - 1];
  EXPECT_EQ(end.type, kHexRecordEnd);
  EXPECT_EQ(end.length, 0);
  EXPECT_EQ(end.address, 0x0000);
  for (std::uint8_t byte : end.data) EXPECT_EQ(byte, 0);
}

TEST(ControlFirmwareTable, RecordsStayBelow0x2000AndNeverOverlap) {
  std::array<int, 0x10000> writes{};
  for (std::size_t i = 0; i + 1 < ControlFirmwareRecordCount; ++i) {
    const HexRecord& record = ControlFirmwareTable[i];
    SCOPED_TRACE(record.address);
    ASSERT_LE(record.address + record.length, kFirmwareLimit);
    for (std::size_t k = 0; k < record.length; ++k) ++writes[record.address + k];
  }
  for (std::size_t address = 0; address < writes.size(); ++address) {
    ASSERT_LE(writes[address], 1) << "byte 0x" << std::hex << address << " written twice";
  }
}

TEST(ControlFirmwareTable, VectorsAreLongJumpsIntoCodeFrom0x0100) {
  const Image image = LoadTable();
  ASSERT_TRUE(image[0x0000].has_value()) << "no reset vector";
  std::array<bool, kCodeStart> vector_byte{};
  for (std::uint16_t vector = 0x0000; vector < kCodeStart; vector = vector ? vector + 8 : 3) {
    if (!image[vector]) continue;
    SCOPED_TRACE(vector);
    ASSERT_EQ(*image[vector], kLjmp);
    ASSERT_TRUE(image[vector + 1] && image[vector + 2]);
    const std::uint16_t target = JumpTarget(image, vector);
    EXPECT_GE(target, kCodeStart);
    EXPECT_TRUE(image[target].has_value()) << "jumps to an address the table does not load";
    for (int k = 0; k < 3; ++k) vector_byte[vector + k] = true;
    if (vector == 0x0063) break;
  }
  for (std::uint16_t address = 0; address < kCodeStart; ++address) {
    EXPECT_TRUE(!image[address] || vector_byte[address])
        << "byte 0x" << std::hex << address << " below 0x0100 is not part of a vector";
  }
}

}  // namespace
}  // namespace vesk
