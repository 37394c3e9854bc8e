#pragma once
// The image files checked before a run opens anything: present, regular, not empty, within
// their room, and the FX2 file a boot image the FX2 can load.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "images/image_downloads.h"

namespace vesk {

enum class ImageFileProblem {
  None,
  Missing,
  NotRegularFile,
  Empty,
  TooBig,
  BadBootImage,
  Unreadable
};

struct ImageFileCheck {
  std::string file;     // bare name, as the run reads it
  std::uint64_t bytes;  // size on disk (0 when missing or not a regular file)
  std::uint32_t room;   // the most its EEPROM place holds
  ImageFileProblem problem;
  std::string message;  // empty when ready, else "NAME: cause"
};

// The six image files of `directory` in the order a run writes them. message is empty
// when ready, else e.g. "camcon.bin: 300000 bytes, CamCon holds at most 196608".
std::vector<ImageFileCheck> CheckImageFiles(const std::string& directory);

// The same check of a snapshot's six files, in its order.
std::vector<ImageFileCheck> CheckImageSnapshot(const ImageSnapshot& snapshot);

// One file's bytes as read for `place` (at most room + 1 of them).
ImageFileCheck CheckImage(const ImagePlace& place, const ImageRead& read);

// The same check for one of the six names; a name that is none of them is Missing.
ImageFileCheck CheckImageFile(const std::string& directory, const std::string& file);

// Empty when `image` is a boot image the FX2 loads: first byte 0xC0 (the 8-byte identity
// header), or 0xC2 with records (length, address, data) that stay inside the FX2's main
// or scratch RAM and end with the one-byte write of CPUCS (0xE600). Else why not.
std::string BootImageProblem(std::span<const std::uint8_t> image);

}  // namespace vesk
