// Bad image files, each of the six in turn: every refused file gets its step's error line
// at once and leaves its EEPROM region as it was; every valid one is written byte for byte.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <thread>

#include "system_run.h"
#include "test_support.h"

namespace vesk::testing {
namespace {

namespace fs = std::filesystem;

enum class Shape {
  Missing, Empty, Directory, Unopenable, OneByte, ExactRoom, OverRoom, AllValues,
  Sparse8GB, LinkToDevZero, Fifo, ReadFails, Growing
};

const char* Name(Shape shape) {
  switch (shape) {
    case Shape::Missing: return "missing";
    case Shape::Empty: return "empty";
    case Shape::Directory: return "a directory";
    case Shape::Unopenable: return "unopenable";
    case Shape::OneByte: return "one byte";
    case Shape::ExactRoom: return "exactly its room";
    case Shape::OverRoom: return "one byte over its room";
    case Shape::AllValues: return "all 256 byte values";
    case Shape::Sparse8GB: return "an 8 GB sparse file";
    case Shape::LinkToDevZero: return "a link to /dev/zero";
    case Shape::Fifo: return "a FIFO";
    case Shape::ReadFails: return "a file whose read fails (EIO)";
    case Shape::Growing: return "a file that grows while it is read";
  }
  return "?";
}

class BadInput : public ::testing::Test {
 protected:
  ScratchDirectory dir;
  QuietStdout quiet;
  std::vector<PlacedImage> images;

  void SetUp() override {
    images = ImageLayout(Pattern(5000, 1), Pattern(5000, 2), ReadSample("tarsel_usb.iic"),
                         Pattern(128, 4), Pattern(128, 5), Pattern(64, 6));
  }
  void TearDown() override { StopGrowing(); }

  // Appends to `path` until StopGrowing, a few megabytes a second; returns once the file
  // is already larger than `room`.
  void StartGrowing(const fs::path& path, std::uint32_t room) {
    growing = true;
    grower = std::thread([this, path] {
      std::ofstream file(path, std::ios::binary | std::ios::app);
      const std::vector<char> chunk(4096, '\x5A');
      while (growing) {
        file.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        file.flush();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    std::error_code error;
    while (fs::file_size(path, error) <= room || error)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  void StopGrowing() {
    growing = false;
    if (grower.joinable()) grower.join();
  }
  std::atomic<bool> growing{false};
  std::thread grower;

  // Writes the good files, then puts `shape` in place of image `which`. Returns whether a
  // run should accept the file (and with it the new image bytes).
  bool Prepare(std::size_t which, Shape shape) {
    for (const PlacedImage& image : images) {
      fs::remove_all(dir.path() / image.file);
      dir.Write(image.file, image.bytes);
    }
    PlacedImage& target = images[which];
    const fs::path path = dir.path() / target.file;
    fs::remove(path);
    switch (shape) {
      case Shape::Missing: return false;
      case Shape::Empty: dir.Write(target.file, {}); return false;
      case Shape::Directory: fs::create_directory(path); return false;
      case Shape::Unopenable:
        // A link to itself cannot be opened, by root either (permissions do not stop root).
        fs::create_symlink(target.file, path);
        return false;
      case Shape::OneByte: target.bytes = {0xA5}; break;
      case Shape::ExactRoom: target.bytes = Pattern(target.room, 7); break;
      case Shape::OverRoom: dir.Write(target.file, Pattern(target.room + 1, 8)); return false;
      case Shape::Sparse8GB:
        dir.Write(target.file, {});
        fs::resize_file(path, std::uintmax_t{8} << 30);
        return false;
      case Shape::LinkToDevZero: fs::create_symlink("/dev/zero", path); return false;
      case Shape::Fifo: EXPECT_EQ(mkfifo(path.c_str(), 0600), 0); return false;
      // Reading /proc/self/mem at offset 0 fails with EIO.
      case Shape::ReadFails: fs::create_symlink("/proc/self/mem", path); return false;
      case Shape::Growing: StartGrowing(path, target.room); return false;
      case Shape::AllValues:
        target.bytes.resize(std::min<std::size_t>(256, target.room));
        std::iota(target.bytes.begin(), target.bytes.end(), 0);
        if (target.room < 256) {
          dir.Write(target.file, [] {
            std::vector<std::uint8_t> all(256);
            std::iota(all.begin(), all.end(), 0);
            return all;
          }());
          return false;  // 256 bytes do not fit a 128-byte waveform
        }
        break;
    }
    dir.Write(target.file, target.bytes);
    return true;
  }
};

TEST_F(BadInput, EachFileInEachShape) {
  const std::vector<PlacedImage> good = images;
  // Half the cases start from a board that holds an earlier, different image set.
  const std::vector<PlacedImage> previous =
      ImageLayout(Pattern(7000, 21), Pattern(3000, 22), ReadSample("tarsel_usb.iic"),
                  Pattern(128, 24), Pattern(128, 25), Pattern(300, 26));
  const std::vector<std::uint8_t> programmed = ProgramBoard(dir, previous);
  const Shape shapes[] = {Shape::Missing,   Shape::Empty,         Shape::Directory,
                          Shape::Unopenable, Shape::OneByte,      Shape::ExactRoom,
                          Shape::OverRoom,  Shape::AllValues,     Shape::Sparse8GB,
                          Shape::LinkToDevZero, Shape::Fifo,      Shape::ReadFails,
                          Shape::Growing};
  std::size_t tried = 0, stale = 0;
  for (std::size_t which = 0; which < good.size(); ++which) {
    for (std::size_t s = 0; s < std::size(shapes); ++s) {
      const Shape shape = shapes[s];
      const bool fromProgrammed = (which + s) % 2 == 1;
      SCOPED_TRACE(good[which].file + " " + Name(shape) +
                   (fromProgrammed ? ", programmed board" : ", erased board"));
      images = good;
      const bool valid = Prepare(which, shape);
      ++tried;
      SystemRig rig;
      rig.StartFrom(fromProgrammed ? programmed : std::vector<std::uint8_t>{});
      const RunOutcome outcome = rig.Run();
      StopGrowing();
      if (rig.HeaderStale({&images, &previous})) ++stale;
      if (valid) {
        EXPECT_EQ(outcome, RunOutcome::Succeeded);
        EXPECT_TRUE(rig.HoldsCompleteRun(images));
      } else {
        EXPECT_EQ(outcome, RunOutcome::Failed);
        EXPECT_EQ(rig.host.Log(), FailedLog(good[which].progressLine, good[which].errorLine));
        const PlacedImage& refused = good[which];
        const bool wholeRoom = shape == Shape::OverRoom || shape == Shape::Sparse8GB ||
                               shape == Shape::LinkToDevZero || shape == Shape::Growing;
        EXPECT_TRUE(rig.RegionUnchanged(refused.chip, refused.bank, refused.offset,
                                        wholeRoom ? refused.room : 256))
            << "bytes of a refused file reached the EEPROM";
        EXPECT_TRUE(rig.RegionErased(0, 4, 0, 20)) << "a header was written or left";
        for (std::size_t k = 0; k < which; ++k) EXPECT_EQ(rig.Region(good[k]), good[k].bytes);
      }
    }
  }
  std::fprintf(stderr, "bad input: %zu file shapes tried, %zu stale headers\n", tried, stale);
  EXPECT_EQ(stale, 0u);
}

}  // namespace
}  // namespace vesk::testing
