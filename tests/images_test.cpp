#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

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

TEST(ImageFileReader, EachShapeOfFileGivesItsResultWithoutBlockingOrThrowing) {
  namespace fs = std::filesystem;
  ScratchDirectory dir;
  const std::vector<std::uint8_t> tricky = {0x00, 0x0D, 0x0A, 0x1A, 0xFF};
  dir.Write("tricky.bin", tricky);
  dir.Write("empty.bin", {});
  dir.Write("long.bin", Pattern(300));
  fs::create_directory(dir.path() / "folder.bin");
  fs::create_symlink("/dev/zero", dir.path() / "zero.bin");
  fs::create_symlink("nowhere", dir.path() / "dangling.bin");
  // Reading /proc/self/mem at offset 0 fails with EIO.
  fs::create_symlink("/proc/self/mem", dir.path() / "eio.bin");
  ASSERT_EQ(std::system(("mkfifo " + (dir.path() / "fifo.bin").string()).c_str()), 0);
  { std::ofstream(dir.path() / "sparse.bin"); }
  fs::resize_file(dir.path() / "sparse.bin", std::uintmax_t{8} << 30);

  using E = ImageReadError;
  struct Case {
    const char* name;
    E error;
    std::vector<std::uint8_t> bytes;
    bool announced;
  };
  const std::vector<Case> cases = {
      {"tricky.bin", E::None, tricky, true},
      {"empty.bin", E::None, {}, true},
      {"long.bin", E::None, Pattern(300), true},
      {"sparse.bin", E::None, std::vector<std::uint8_t>(16), true},  // bounded, not 8 GB
      {"eio.bin", E::ReadFailed, {}, true},
      {"missing.bin", E::Missing, {}, false},
      {"dangling.bin", E::CannotOpen, {}, false},
      {"folder.bin", E::NotRegularFile, {}, false},
      {"fifo.bin", E::NotRegularFile, {}, false},
      {"zero.bin", E::NotRegularFile, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t limit = c.bytes.empty() ? 1000 : c.bytes.size();
    ::testing::internal::CaptureStdout();
    const ImageRead read = ReadImageBytes(c.name, limit, true);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              c.announced ? "Reading file " + std::string(c.name) + ".\n" : "");
    EXPECT_EQ(read.error, c.error);
    EXPECT_EQ(read.bytes, c.bytes);
  }
  // The downloads' reader stops one byte past the room.
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(ReadImageFile("long.bin", 99), std::vector<std::uint8_t>(Pattern(100)));
  ::testing::internal::GetCapturedStdout();
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
    EXPECT_EQ(ReadImageFile(BufConImageFile, 300000), large);
    ::testing::internal::GetCapturedStdout();
  }
  std::filesystem::current_path(first.path());
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(ReadImageFile(BufConImageFile, 300000), (std::vector<std::uint8_t>{1, 2, 3}));
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
