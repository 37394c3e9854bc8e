#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "images/image_file.h"
#include "images/preflight.h"
#include "images/sha256.h"
#include "test_support.h"

namespace vesk {
namespace {

using testing::Pattern;
using testing::ReadSample;
using testing::ScratchDirectory;

// A C2 image: the 8-byte header, then the given records (length word, address, data).
std::vector<std::uint8_t> C2(std::initializer_list<std::vector<std::uint8_t>> records) {
  std::vector<std::uint8_t> image = {0xC2, 0x5C, 0x12, 0x10, 0x00, 0x11, 0x00, 0x00};
  for (const auto& record : records) image.insert(image.end(), record.begin(), record.end());
  return image;
}
const std::vector<std::uint8_t> kRun = {0x80, 0x01, 0xE6, 0x00, 0x00};  // last: CPUCS = 0

void WriteReadyFiles(const ScratchDirectory& dir) {
  for (const std::string* name :
       {&BufConImageFile, &CamConImageFile, &GpifBufConFile, &GpifCamConFile, &GpifFifoFile})
    dir.Write(*name, Pattern(100));
  dir.Write(Fx2ImageFile, ReadSample("tarsel_usb.iic"));
}

// One file put in place of a ready one (nullopt: removed; "dir": a directory).
TEST(Preflight, EachRefusalNamesTheFileAndTheCause) {
  struct Case {
    std::string file;
    std::optional<std::vector<std::uint8_t>> bytes;
    ImageFileProblem problem;
    std::string message;
  };
  using P = ImageFileProblem;
  const std::vector<std::uint8_t> c0 = {0xC0, 0x5C, 0x12, 0x10, 0x00, 0x11, 0x00, 0x00};
  const std::string fx2 = "tarsel_usb.iic: ";
  const std::vector<Case> cases = {
      {"camcon.bin", Pattern(300000), P::TooBig,
       "camcon.bin: 300000 bytes, CamCon holds at most 196608"},
      {"gpif_fifo.bin", Pattern(32513), P::TooBig,
       "gpif_fifo.bin: 32513 bytes, GPIF FIFO holds at most 32512"},
      {"bufcon.bin", std::nullopt, P::Missing, "bufcon.bin: missing"},
      {"gpif_bufcon.bin", std::vector<std::uint8_t>{}, P::Empty, "gpif_bufcon.bin: empty"},
      {"gpif_camcon.bin", std::vector<std::uint8_t>{'d', 'i', 'r'}, P::NotRegularFile,
       "gpif_camcon.bin: a directory, not a file"},
      {"tarsel_usb.iic", std::vector<std::uint8_t>{0x12, 0x34}, P::BadBootImage,
       fx2 + "not a boot image (first byte 0x12, not 0xC0 or 0xC2)"},
      {"tarsel_usb.iic", std::vector<std::uint8_t>{0xC0, 0x5C}, P::BadBootImage,
       fx2 + "2 bytes, shorter than the 8-byte boot header"},
      {"tarsel_usb.iic", C2({{0x00, 0x02, 0x3F, 0xFF, 1, 2}, kRun}), P::BadBootImage,
       fx2 + "the record at byte 8 writes 0x3FFF-0x4000, outside the FX2's RAM"},
      {"tarsel_usb.iic", C2({{0x00, 0x02, 0x00, 0x00, 1, 2}}), P::BadBootImage,
       fx2 + "the records end without the final CPUCS write"},
      {"tarsel_usb.iic", C2({{0x80, 0x02, 0x00, 0x00, 1, 2}}), P::BadBootImage,
       fx2 + "the last record (at byte 8) is not the CPUCS write"},
      {"tarsel_usb.iic", C2({{0x00, 0x10, 0x00, 0x00, 1, 2}}), P::BadBootImage,
       fx2 + "the record at byte 8 runs past the end of the file"},
      // Well-formed boot images pass: the identity header, scratch RAM records.
      {"tarsel_usb.iic", c0, P::None, ""},
      {"tarsel_usb.iic", C2({{0x00, 0x01, 0xE1, 0xFF, 7}, kRun}), P::None, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    ScratchDirectory dir;
    WriteReadyFiles(dir);
    std::filesystem::remove(dir.path() / c.file);
    if (c.bytes == std::vector<std::uint8_t>{'d', 'i', 'r'})
      std::filesystem::create_directory(dir.path() / c.file);
    else if (c.bytes)
      dir.Write(c.file, *c.bytes);
    std::size_t refused = 0;
    for (const ImageFileCheck& check : CheckImageFiles(dir.path().string())) {
      if (check.file != c.file) {
        refused += check.problem != ImageFileProblem::None;
        continue;
      }
      EXPECT_EQ(check.problem, c.problem);
      EXPECT_EQ(check.message, c.message);
    }
    EXPECT_EQ(refused, 0u) << "only the broken file is refused";
  }
}

TEST(Sha256, FipsExamples) {
  const std::string twoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  const std::string million(1000000, 'a');
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {twoBlocks, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {million, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [text, digest] : cases) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    EXPECT_EQ(Sha256Hex({bytes, text.size()}), digest) << text.size() << " bytes";
  }
}

}  // namespace
}  // namespace vesk
