// Bad image files, each of the six in turn: every refused file gets its step's error line
// and leaves its EEPROM region as it was; every valid one is written byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <numeric>

#include "system_run.h"
#include "test_support.h"

namespace vesk::testing {
namespace {

namespace fs = std::filesystem;

enum class Shape { Missing, Empty, Directory, Unopenable, OneByte, ExactRoom, OverRoom, AllValues };

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
  }
  return "?";
}

class BadInput : public ::testing::Test {
 protected:
  ScratchDirectory dir;
  std::vector<PlacedImage> images;

  void SetUp() override {
    images = ImageLayout(Pattern(5000, 1), Pattern(5000, 2), ReadSample("tarsel_usb.iic"),
                         Pattern(128, 4), Pattern(128, 5), Pattern(64, 6));
    ::testing::internal::CaptureStdout();
  }
  void TearDown() override { ::testing::internal::GetCapturedStdout(); }

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
  std::size_t tried = 0;
  for (std::size_t which = 0; which < good.size(); ++which) {
    for (Shape shape : {Shape::Missing, Shape::Empty, Shape::Directory, Shape::Unopenable,
                        Shape::OneByte, Shape::ExactRoom, Shape::OverRoom, Shape::AllValues}) {
      SCOPED_TRACE(good[which].file + " " + Name(shape));
      images = good;
      const bool valid = Prepare(which, shape);
      ++tried;
      SystemRig rig;
      const RunOutcome outcome = rig.Run();
      if (valid) {
        EXPECT_EQ(outcome, RunOutcome::Succeeded);
        EXPECT_TRUE(rig.HoldsCompleteRun(images));
        continue;
      }
      EXPECT_EQ(outcome, RunOutcome::Failed);
      EXPECT_EQ(rig.host.Log(), FailedLog(good[which].progressLine, good[which].errorLine));
      const PlacedImage& refused = good[which];
      EXPECT_TRUE(rig.RegionErased(refused.chip, refused.bank, refused.offset,
                                   shape == Shape::OverRoom ? refused.room : 256))
          << "bytes of a refused file reached the EEPROM";
      EXPECT_TRUE(rig.RegionErased(0, 4, 0, 20)) << "a header was written";
      for (std::size_t k = 0; k < which; ++k) EXPECT_EQ(rig.Region(good[k]), good[k].bytes);
    }
  }
  std::fprintf(stderr, "bad input: %zu file shapes tried\n", tried);
}

}  // namespace
}  // namespace vesk::testing
