#include "images/preflight.h"

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>

#include "images/image_downloads.h"
#include "images/image_file.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;

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

ImageFileCheck Check(const fs::path& directory, const NamedPlace& named) {
  const std::string& name = *named.place->file;
  ImageFileCheck check{name, 0, named.place->room, ImageFileProblem::None, {}};
  auto fail = [&](ImageFileProblem problem, const std::string& cause) {
    check.problem = problem;
    check.message = name + ": " + cause;
    return check;
  };

  const fs::path path = directory / name;
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (status.type() == fs::file_type::not_found) return fail(ImageFileProblem::Missing, "missing");
  if (error) return fail(ImageFileProblem::Unreadable, "cannot be read (" + error.message() + ")");
  if (status.type() != fs::file_type::regular) {
    return fail(ImageFileProblem::NotRegularFile, status.type() == fs::file_type::directory
                                                      ? "a directory, not a file"
                                                      : "not a regular file");
  }
  check.bytes = fs::file_size(path, error);
  if (error) return fail(ImageFileProblem::Unreadable, "cannot be read (" + error.message() + ")");
  if (check.bytes == 0) return fail(ImageFileProblem::Empty, "empty");
  if (check.bytes > check.room) {
    return fail(ImageFileProblem::TooBig, std::to_string(check.bytes) + " bytes, " +
                                              std::string(named.region) + " holds at most " +
                                              std::to_string(check.room));
  }

  std::ifstream file(path, std::ios::binary);
  ImageBytes content;
  if (file) content.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (!file.is_open() || file.bad() || content.size() != check.bytes)
    return fail(ImageFileProblem::Unreadable, "cannot be read");
  if (named.place == &kFx2Place) {
    if (std::string why = BootImageProblem(content); !why.empty())
      return fail(ImageFileProblem::BadBootImage, why);
  }
  return check;
}

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

std::vector<ImageFileCheck> CheckImageFiles(const std::string& directory) {
  std::vector<ImageFileCheck> checks;
  for (const NamedPlace& named : kPlaces) checks.push_back(Check(directory, named));
  return checks;
}

ImageFileCheck CheckImageFile(const std::string& directory, const std::string& file) {
  for (const NamedPlace& named : kPlaces)
    if (*named.place->file == file) return Check(directory, named);
  return {file, 0, 0, ImageFileProblem::Missing, file + ": missing"};
}

}  // namespace vesk
