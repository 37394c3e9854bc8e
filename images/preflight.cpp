#include "images/preflight.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "images/image_downloads.h"
#include "images/image_file.h"

namespace vesk {
namespace {

struct NamedPlace {
  const ImagePlace* place;
  std::string_view region;
};

// The order of a run: BufCon, CamCon, FX2, then the three GPIF files.
const std::array<NamedPlace, 6> kPlaces = {{{&kBufConPlace, "BufCon"},
                                            {&kCamConPlace, "CamCon"},
                                            {&kFx2Place, "FX2"},
                                            {&kGpifBufConPlace, "GPIF BufCon"},
                                            {&kGpifCamConPlace, "GPIF CamCon"},
                                            {&kGpifFifoPlace, "GPIF FIFO"}}};

constexpr std::size_t kBootHeaderSize = 8;
constexpr std::uint32_t kMainRamEnd = 0x4000;
constexpr std::uint32_t kScratchFirst = 0xE000;
constexpr std::uint32_t kScratchEnd = 0xE200;
constexpr std::uint32_t kCpucs = 0xE600;

std::string Hex(std::uint32_t value, int digits) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text = "0x";
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
    text += kDigits[(value >> shift) & 0xF];
  return text;
}

std::string_view RegionOf(const ImagePlace& place) {
  for (const NamedPlace& named : kPlaces)
    if (named.place == &place) return named.region;
  return {};
}

}  // namespace

ImageFileCheck CheckImage(const ImagePlace& place, const ImageRead& read) {
  const std::string& name = *place.file;
  ImageFileCheck check{name, read.sizeOnDisk, place.room, ImageFileProblem::None, {}};
  auto fail = [&](ImageFileProblem problem, const std::string& cause) {
    check.problem = problem;
    check.message = name + ": " + cause;
    return check;
  };
  switch (read.error) {
    case ImageReadError::None:
      break;
    case ImageReadError::Missing:
      return fail(ImageFileProblem::Missing, "missing");
    case ImageReadError::NotRegularFile:
      return fail(ImageFileProblem::NotRegularFile,
                  read.directory ? "a directory, not a file" : "not a regular file");
    case ImageReadError::CannotOpen:
    case ImageReadError::ReadFailed:
      return fail(ImageFileProblem::Unreadable, "cannot be read");
  }
  // The bytes read, not the size the file system gave, decide; the size only tells how
  // much too big a file is.
  check.bytes = read.bytes.size() > place.room ? std::max<std::uint64_t>(read.sizeOnDisk,
                                                                          read.bytes.size())
                                               : read.bytes.size();
  if (read.bytes.empty()) return fail(ImageFileProblem::Empty, "empty");
  if (read.bytes.size() > place.room) {
    return fail(ImageFileProblem::TooBig, std::to_string(check.bytes) + " bytes, " +
                                              std::string(RegionOf(place)) + " holds at most " +
                                              std::to_string(place.room));
  }
  if (&place == &kFx2Place) {
    if (std::string why = BootImageProblem(read.bytes); !why.empty())
      return fail(ImageFileProblem::BadBootImage, why);
  }
  return check;
}

namespace {
}  // namespace

std::string BootImageProblem(std::span<const std::uint8_t> image) {
  if (image.empty() || (image[0] != 0xC0 && image[0] != 0xC2))
    return "not a boot image (first byte " +
           (image.empty() ? std::string("missing") : Hex(image[0], 2)) + ", not 0xC0 or 0xC2)";
  if (image.size() < kBootHeaderSize)
    return std::to_string(image.size()) + " bytes, shorter than the 8-byte boot header";
  if (image[0] == 0xC0) return {};

  // Records: length (BE, bit 15 marks the last, low 10 bits count), address (BE), data.
  std::size_t at = kBootHeaderSize;
  while (true) {
    if (at + 4 > image.size()) return "the records end without the final CPUCS write";
    const std::uint32_t word = std::uint32_t(image[at]) << 8 | image[at + 1];
    const std::uint32_t address = std::uint32_t(image[at + 2]) << 8 | image[at + 3];
    const std::uint32_t length = word & 0x03FF;
    const bool last = (word & 0x8000) != 0;
    if (at + 4 + length > image.size())
      return "the record at byte " + std::to_string(at) + " runs past the end of the file";
    const std::uint32_t end = address + length;
    const bool inRam = end <= kMainRamEnd || (address >= kScratchFirst && end <= kScratchEnd);
    const bool cpucsWrite = address == kCpucs && length == 1;
    if (last) {
      if (!cpucsWrite)
        return "the last record (at byte " + std::to_string(at) + ") is not the CPUCS write";
      return {};
    }
    if (!inRam) {
      return "the record at byte " + std::to_string(at) + " writes " + Hex(address, 4) + "-" +
             Hex(end == address ? address : end - 1, 4) + ", outside the FX2's RAM";
    }
    at += 4 + length;
  }
}

std::vector<ImageFileCheck> CheckImageSnapshot(const ImageSnapshot& snapshot) {
  std::vector<ImageFileCheck> checks;
  for (const ImagePlace* place : kImagePlaces) checks.push_back(CheckImage(*place, snapshot.Of(*place)));
  return checks;
}

std::vector<ImageFileCheck> CheckImageFiles(const std::string& directory) {
  return CheckImageSnapshot(TakeImageSnapshot(directory));
}

ImageFileCheck CheckImageFile(const std::string& directory, const std::string& file) {
  for (const ImagePlace* place : kImagePlaces) {
    if (*place->file != file) continue;
    const std::string path = directory.empty() ? file : directory + "/" + file;
    return CheckImage(*place, ReadImageBytes(path, std::size_t{place->room} + 1, false));
  }
  return {file, 0, 0, ImageFileProblem::Missing, file + ": missing"};
}

}  // namespace vesk
