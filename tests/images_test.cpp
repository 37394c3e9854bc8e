#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

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
using testing::QuietStdout;
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
  QuietStdout quiet;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ImageRead read = ReadImageBytes(c.name, c.bytes.empty() ? 1000 : c.bytes.size(), true);
    EXPECT_EQ(quiet.Take(), c.announced ? "Reading file " + std::string(c.name) + ".\n" : "");
    EXPECT_EQ(read.error, c.error);
    EXPECT_EQ(read.bytes, c.bytes);
  }
  // The downloads' reader stops one byte past the room.
  EXPECT_EQ(ReadImageFile("long.bin", 99), std::vector<std::uint8_t>(Pattern(100)));
}

enum class Download { BufCon, CamCon, Fx2, Gpif };

// Each download with its files in some state: the result, the beats that went out (the
// last ones and their count) and the byte count it reports. A refused file sends nothing.
TEST(ImageDownload, EachImageGoesToItsPlaceOrIsRefusedBeforeAnyByte) {
  struct Row {
    Download download;
    std::vector<std::pair<std::string, std::size_t>> files;  // in EEPROM order; absent: missing
    std::set<std::size_t> failingRequests;
    bool ok;
    std::size_t beatCount;
    std::vector<Beat> lastBeats;
  };
  using D = Download;
  const Row rows[] = {
      {D::BufCon, {{BufConImageFile, 98304}}, {}, true, 24, {{0, 3, 0x7000, 4096}}},
      {D::BufCon, {{BufConImageFile, 98304 + 1}}, {}, false, 0, {}},
      {D::BufCon, {{BufConImageFile, 10}}, {1}, false, 1, {{0, 1, 0, 10}}},
      {D::CamCon, {{CamConImageFile, 196608}}, {}, true, 48, {{1, 5, 0x7000, 4096}}},
      {D::CamCon, {{CamConImageFile, 196608 + 1}}, {}, false, 0, {}},
      {D::CamCon, {{CamConImageFile, 0}}, {}, false, 0, {}},
      {D::Fx2, {{Fx2ImageFile, 32768}}, {}, true, 8, {{0, 0, 0x7000, 4096}}},
      {D::Fx2, {{Fx2ImageFile, 32768 + 1}}, {}, false, 0, {}},
      {D::Fx2, {}, {}, false, 0, {}},
      {D::Gpif, {{GpifBufConFile, 128}, {GpifCamConFile, 128}, {GpifFifoFile, 32512}}, {}, true, 10,
       {{0, 5, 0x0000, 128}, {0, 5, 0x0080, 128}, {0, 5, 0x0100, 3840}, {0, 5, 0x1000, 4096},
        {0, 5, 0x2000, 4096}, {0, 5, 0x3000, 4096}, {0, 5, 0x4000, 4096}, {0, 5, 0x5000, 4096},
        {0, 5, 0x6000, 4096}, {0, 5, 0x7000, 4096}}},
      // Stops at the first bad file, leaving the earlier ones written and the rest unopened.
      {D::Gpif, {{GpifBufConFile, 128}, {GpifCamConFile, 129}, {GpifFifoFile, 16}}, {}, false, 1,
       {{0, 5, 0x0000, 128}}},
      {D::Gpif, {{GpifBufConFile, 128}, {GpifCamConFile, 128}, {GpifFifoFile, 32513}}, {}, false,
       2, {{0, 5, 0x0080, 128}}},
  };
  testing::FakeCameraDriver driver;
  DeviceHandle handle{kNullDeviceHandle, &driver};
  std::array<char, 256> path{};
  ASSERT_EQ(OpenCameraDevice(0, handle, path), 0);
  QuietStdout quiet;
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << "row " << (&row - rows));
    ScratchDirectory files;
    std::vector<std::uint8_t> bytes;
    for (const auto& [name, size] : row.files) {
      const auto pattern = Pattern(size, static_cast<unsigned>(bytes.size() + 1));
      files.Write(name, pattern);
      bytes.insert(bytes.end(), pattern.begin(), pattern.end());
    }
    driver.requests.clear();
    driver.failingRequests = row.failingRequests;
    ImageDownloadResult result{77};
    bool ok = false;
    switch (row.download) {
      case D::BufCon: ok = DownloadBufCon(handle, result); break;
      case D::CamCon: ok = DownloadCamCon(handle, result); break;
      case D::Fx2: ok = DownloadFx2Image(handle); break;
      case D::Gpif: ok = DownloadGpifWaveforms(handle); break;
    }
    EXPECT_EQ(ok, row.ok);
    const auto beats = EepromBeats(driver.requests);
    EXPECT_EQ(beats.size(), row.beatCount);
    const std::size_t last = std::min(beats.size(), row.lastBeats.size());
    EXPECT_EQ(std::vector<Beat>(beats.end() - last, beats.end()), row.lastBeats);
    if (row.ok) {
      EXPECT_EQ(EepromData(driver.requests), bytes);  // every byte once, in order
    }
    EXPECT_EQ(result.byteCount, row.ok && row.download <= D::CamCon ? bytes.size() : 77u);
  }
}

}  // namespace
}  // namespace vesk
