#include <gtest/gtest.h>

#include <filesystem>

#include "device/device_connection.h"
#include "images/image_downloads.h"
#include "images/image_file.h"
#include "test_support.h"

namespace vesk {
namespace {

using testing::Beat;
using testing::EepromBeats;
using testing::EepromData;
using testing::Pattern;
using testing::ScratchDirectory;

TEST(ImageFileReader, BytesComeThroughUnchangedAndTheLineIsPrintedOnlyWhenOpened) {
  ScratchDirectory dir;
  const std::vector<std::uint8_t> tricky = {0x00, 0x0D, 0x0A, 0x1A, 0xFF};
  dir.Write("tricky.bin", tricky);
  dir.Write("empty.bin", {});
  std::filesystem::create_directory(dir.path() / "folder.bin");

  ::testing::internal::CaptureStdout();
  EXPECT_EQ(ReadImageFile("tricky.bin"), tricky);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Reading file tricky.bin.\n");

  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(ReadImageFile("empty.bin").empty());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Reading file empty.bin.\n");

  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(ReadImageFile("missing.bin").empty());
  EXPECT_TRUE(ReadImageFile("folder.bin").empty());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST(ImageFileReader, RelativeNamesFollowTheWorkingDirectory) {
  ScratchDirectory first;
  first.Write("bufcon.bin", {1, 2, 3});
  const auto large = Pattern(300000);
  std::filesystem::create_directory(first.path() / "other");
  {
    std::filesystem::current_path(first.path() / "other");
    ScratchDirectory second;  // becomes the working directory, restores "other" after
    second.Write("bufcon.bin", large);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(ReadImageFile(BufConImageFile), large);
    ::testing::internal::GetCapturedStdout();
  }
  std::filesystem::current_path(first.path());
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(ReadImageFile(BufConImageFile), (std::vector<std::uint8_t>{1, 2, 3}));
  ::testing::internal::GetCapturedStdout();
}

class ImageDownloadTest : public ::testing::Test {
 protected:
  ScratchDirectory dir;
  testing::FakeCameraDriver driver;
  DeviceHandle handle{kNullDeviceHandle, &driver};

  void SetUp() override {
    std::array<char, 256> path{};
    ASSERT_EQ(OpenCameraDevice(0, handle, path), 0);
    ::testing::internal::CaptureStdout();
  }
  void TearDown() override { stdoutText(); }
  std::string stdoutText() {
    if (!capturing_) return captured_;
    capturing_ = false;
    return captured_ = ::testing::internal::GetCapturedStdout();
  }

 private:
  bool capturing_ = true;
  std::string captured_;
};

TEST_F(ImageDownloadTest, SingleImagesGoToTheirPlacesAndReportTheirLength) {
  const auto bufcon = Pattern(40000, 1);
  const auto camcon = std::vector<std::uint8_t>{0x5A};
  const auto fx2 = Pattern(5000, 3);
  dir.Write(BufConImageFile, bufcon);
  dir.Write(CamConImageFile, camcon);
  dir.Write(Fx2ImageFile, fx2);

  ImageDownloadResult result{123};
  ASSERT_TRUE(DownloadBufCon(handle, result));
  EXPECT_EQ(result.byteCount, 40000u);
  auto beats = EepromBeats(driver.requests);
  ASSERT_EQ(beats.size(), 10u);
  EXPECT_EQ(beats.front(), (Beat{0, 1, 0x0000, 4096}));
  EXPECT_EQ(beats[8], (Beat{0, 2, 0x0000, 4096}));  // carried past 32,768 into bank 2
  EXPECT_EQ(beats.back(), (Beat{0, 2, 0x1000, 40000 - 36864}));
  EXPECT_EQ(EepromData(driver.requests), bufcon);

  driver.requests.clear();
  ASSERT_TRUE(DownloadCamCon(handle, result));
  EXPECT_EQ(result.byteCount, 1u);
  EXPECT_EQ(EepromBeats(driver.requests), (std::vector<Beat>{{1, 0, 0x0000, 1}}));

  driver.requests.clear();
  ASSERT_TRUE(DownloadFx2Image(handle));
  EXPECT_EQ(EepromBeats(driver.requests),
            (std::vector<Beat>{{0, 0, 0x0000, 4096}, {0, 0, 0x1000, 904}}));
  EXPECT_EQ(EepromData(driver.requests), fx2);
}

TEST_F(ImageDownloadTest, MissingOrEmptyImagesWriteNothingAndKeepTheCount) {
  ImageDownloadResult result{77};
  EXPECT_FALSE(DownloadBufCon(handle, result));
  dir.Write(CamConImageFile, {});
  EXPECT_FALSE(DownloadCamCon(handle, result));
  EXPECT_FALSE(DownloadFx2Image(handle));
  EXPECT_EQ(result.byteCount, 77u);
  EXPECT_TRUE(driver.requests.empty());
}

TEST_F(ImageDownloadTest, ImagesLargerThanTheirRoomAreRefusedBeforeAnyByte) {
  ImageDownloadResult result{5};
  dir.Write(BufConImageFile, Pattern(98304 + 1));
  dir.Write(CamConImageFile, Pattern(196608 + 1));
  dir.Write(Fx2ImageFile, Pattern(32768 + 1));
  EXPECT_FALSE(DownloadBufCon(handle, result));
  EXPECT_FALSE(DownloadCamCon(handle, result));
  EXPECT_FALSE(DownloadFx2Image(handle));
  EXPECT_TRUE(driver.requests.empty());
  EXPECT_EQ(result.byteCount, 5u);

  dir.Write(BufConImageFile, Pattern(98304));
  dir.Write(CamConImageFile, Pattern(196608));
  dir.Write(Fx2ImageFile, Pattern(32768));
  EXPECT_TRUE(DownloadBufCon(handle, result));
  EXPECT_EQ(EepromBeats(driver.requests).back(), (Beat{0, 3, 0x7000, 4096}));
  EXPECT_TRUE(DownloadCamCon(handle, result));
  EXPECT_EQ(EepromBeats(driver.requests).back(), (Beat{1, 5, 0x7000, 4096}));
  EXPECT_TRUE(DownloadFx2Image(handle));
}

TEST_F(ImageDownloadTest, GpifFilesGoOneAfterAnotherToFixedOffsets) {
  dir.Write(GpifBufConFile, Pattern(128, 1));
  dir.Write(GpifCamConFile, Pattern(100, 2));
  dir.Write(GpifFifoFile, Pattern(32512, 3));
  ASSERT_TRUE(DownloadGpifWaveforms(handle));
  EXPECT_EQ(EepromBeats(driver.requests),
            (std::vector<Beat>{{0, 5, 0x0000, 128},
                               {0, 5, 0x0080, 100},
                               {0, 5, 0x0100, 3840},
                               {0, 5, 0x1000, 4096},
                               {0, 5, 0x2000, 4096},
                               {0, 5, 0x3000, 4096},
                               {0, 5, 0x4000, 4096},
                               {0, 5, 0x5000, 4096},
                               {0, 5, 0x6000, 4096},
                               {0, 5, 0x7000, 4096}}));
  EXPECT_EQ(stdoutText(),
            "Reading file gpif_bufcon.bin.\nReading file gpif_camcon.bin.\nReading file "
            "gpif_fifo.bin.\n");
}

TEST_F(ImageDownloadTest, GpifStopsAtTheFirstBadFileLeavingEarlierOnesWritten) {
  dir.Write(GpifBufConFile, Pattern(128, 1));
  dir.Write(GpifFifoFile, Pattern(16, 3));
  EXPECT_FALSE(DownloadGpifWaveforms(handle));  // gpif_camcon.bin missing
  EXPECT_EQ(EepromBeats(driver.requests), (std::vector<Beat>{{0, 5, 0x0000, 128}}));
  EXPECT_EQ(stdoutText(), "Reading file gpif_bufcon.bin.\n");  // gpif_fifo.bin not opened

  driver.requests.clear();
  dir.Write(GpifCamConFile, Pattern(129, 2));  // one byte over its room
  EXPECT_FALSE(DownloadGpifWaveforms(handle));
  EXPECT_EQ(EepromBeats(driver.requests), (std::vector<Beat>{{0, 5, 0x0000, 128}}));

  driver.requests.clear();
  std::filesystem::remove(dir.path() / GpifBufConFile);
  EXPECT_FALSE(DownloadGpifWaveforms(handle));
  EXPECT_TRUE(driver.requests.empty());
}

TEST_F(ImageDownloadTest, FailedEepromWriteFailsTheDownload) {
  dir.Write(Fx2ImageFile, Pattern(8192));
  driver.failingRequests = {2};
  EXPECT_FALSE(DownloadFx2Image(handle));
  ImageDownloadResult result{9};
  dir.Write(BufConImageFile, Pattern(10));
  driver.failingRequests = {3};
  EXPECT_FALSE(DownloadBufCon(handle, result));
  EXPECT_EQ(result.byteCount, 9u);
}

TEST_F(ImageDownloadTest, ProgressFollowsTheBeatsOfEachFile) {
  dir.Write(Fx2ImageFile, Pattern(9000));
  std::vector<std::pair<std::string, std::uint32_t>> seen;
  ASSERT_TRUE(DownloadFx2Image(handle, [&](const std::string& file, std::uint32_t done,
                                           std::uint32_t total) {
    EXPECT_EQ(total, 9000u);
    seen.emplace_back(file, done);
  }));
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, std::uint32_t>>{
                      {"tarsel_usb.iic", 0}, {"tarsel_usb.iic", 4096}, {"tarsel_usb.iic", 8192},
                      {"tarsel_usb.iic", 9000}}));
  EXPECT_EQ(driver.requests.size(), 3u);
}

}  // namespace
}  // namespace vesk
