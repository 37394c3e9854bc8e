#include <gtest/gtest.h>

#include <functional>

#include "images/rom_header.h"

namespace vesk {
namespace {

RomHeaderBytes Header(std::initializer_list<std::uint8_t> bytes) {
  RomHeaderBytes out{};
  std::copy(bytes.begin(), bytes.end(), out.begin());
  return out;
}

// Fields set after a clear (of a header an earlier run filled) and the 20 bytes they give:
// sizes big-endian, ids little-endian, the checksum the sum of bytes 1..19.
TEST(RomHeader, EachSetOfFieldsEncodesToItsBytes) {
  struct Row {
    std::function<void(RomHeader&)> set;
    RomHeaderBytes bytes;
  };
  const Row rows[] = {
      {[](RomHeader&) {}, Header({0x15, 0x14, 0x01})},
      // A run's header: every image present, the camera's identity 125C:0010, device 0x0011.
      {[](RomHeader& h) { h = HeaderForRun(0x12345, 0x54321); },
       Header({0xF5, 0x14, 0x01, 0x00, 0x7F, 0x00, 0x01, 0x23, 0x45, 0x00, 0x05, 0x43, 0x21, 0x5C,
               0x12, 0x10, 0x00, 0x11, 0x00, 0x00})},
      {[](RomHeader& h) {
         h.SetCamConSize(0x01020304);
         h.SetDeviceId(0xABCD);
       },
       Header({0xB9, 0x14, 0x01, 0x00, 0x22, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00,
               0x00, 0x00, 0x00, 0xCD, 0xAB, 0x00})},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << "row " << (&row - rows));
    RomHeader header;
    header.SetBufConSize(99);
    header.InitRomHeader();
    row.set(header);
    EXPECT_EQ(header.Encode(), row.bytes);
    const RomHeader back = RomHeader::Decode(row.bytes);
    EXPECT_EQ(back.Encode(), row.bytes);
    EXPECT_EQ(back.checksum(), back.ComputeChecksum());
  }
}

}  // namespace
}  // namespace vesk
