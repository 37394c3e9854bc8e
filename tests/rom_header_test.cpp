#include <gtest/gtest.h>

#include "device/device_connection.h"
#include "fake_camera_driver.h"
#include "images/rom_header.h"

namespace vesk {
namespace {

using testing::Bytes;

RomHeaderBytes Header(std::initializer_list<std::uint8_t> bytes) {
  RomHeaderBytes out{};
  std::copy(bytes.begin(), bytes.end(), out.begin());
  return out;
}

TEST(RomHeader, ClearedHeaderHoldsLengthVersionAndTheirSum) {
  RomHeader header;
  header.SetBufConSize(99);  // whatever an earlier run left
  header.InitRomHeader();
  EXPECT_EQ(header.Encode(), Header({0x15, 0x14, 0x01}));
}

TEST(RomHeader, FullHeaderMixesBigAndLittleEndianFields) {
  RomHeader header;
  header.InitRomHeader();
  header.SetBufConSize(0x12345);
  header.SetCamConSize(0x54321);
  header.SetFx2Present();
  header.SetGpifPresent();
  header.SetVendorId(4700);
  header.SetProductId(16);
  header.SetDeviceId(17);
  EXPECT_EQ(header.Encode(), Header({0xF5, 0x14, 0x01, 0x00, 0x7F, 0x00, 0x01, 0x23, 0x45, 0x00,
                                     0x05, 0x43, 0x21, 0x5C, 0x12, 0x10, 0x00, 0x11, 0x00, 0x00}));

  const RomHeader back = RomHeader::Decode(header.Encode());
  EXPECT_EQ(back.Encode(), header.Encode());
  EXPECT_EQ(back.bufConSize(), 0x12345u);
  EXPECT_EQ(back.vendorId(), 0x125C);
  EXPECT_EQ(back.presenceFlags(), 0x7F);
  EXPECT_EQ(back.checksum(), back.ComputeChecksum());
}

TEST(RomHeader, ChecksumAddsEveryByteOfEveryFieldAndFollowsEachSetter) {
  RomHeader header;
  header.InitRomHeader();
  header.SetCamConSize(0x01020304);  // 1+2+3+4, not only the low byte
  EXPECT_EQ(header.checksum(), (0x14 + 0x01 + 0x02 + 10) & 0xFF);
  header.SetCamConSize(0xFFFFFFFF);
  EXPECT_EQ(header.camConSize(), 0xFFFFFFFFu);
  EXPECT_EQ(header.presenceFlags(), kHasCamCon);
  EXPECT_EQ(header.checksum(), (0x14 + 0x01 + 0x02 + 4 * 0xFF) & 0xFF);
  header.SetDeviceId(0xABCD);
  EXPECT_EQ(header.checksum(), header.ComputeChecksum());
  const auto bytes = header.Encode();
  EXPECT_EQ(bytes[3], 0x00);
  EXPECT_EQ(bytes[4] & 0x80, 0);
}

TEST(RomHeader, WrittenAsOneBlockAtChip0Bank4) {
  testing::FakeCameraDriver driver;
  DeviceHandle handle{kNullDeviceHandle, &driver};
  std::array<char, 64> path{};
  ASSERT_EQ(OpenCameraDevice(0, handle, path), 0);
  RomHeader header;
  header.InitRomHeader();
  header.SetVendorId(4700);
  ASSERT_TRUE(header.WriteRomHeader(handle));
  ASSERT_EQ(driver.requests.size(), 1u);
  auto expected = Bytes({0xC6, 0x00, 0x04, 0x00, 0x00, 0x00});
  const auto bytes = header.Encode();
  expected.insert(expected.end(), bytes.begin(), bytes.end());
  EXPECT_EQ(driver.requests[0].input, expected);

  driver.failingRequests = {2};
  EXPECT_FALSE(header.WriteRomHeader(handle));
}

}  // namespace
}  // namespace vesk
