#pragma once
// The whole EEPROM as one image (chip 0 banks 0-5, then chip 1 banks 0-5): what its
// header says, where each region lies, how it compares with image files, and writing
// one back.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/camera_driver.h"
#include "device/eeprom_reader.h"
#include "images/image_downloads.h"
#include "images/rom_header.h"

namespace vesk {

struct EepromPlace {
  std::uint8_t chip;
  std::uint8_t bank;
  std::uint16_t offset;
};

// The place of byte `imageOffset` of an EEPROM image.
EepromPlace PlaceInEeprom(std::uint32_t imageOffset);
// "chip 1, bank 0, offset 0x1234".
std::string DescribePlace(const EepromPlace& place);

// The header as the image holds it.
RomHeader HeaderInImage(std::span<const std::uint8_t> image);
bool HeaderIsValid(const RomHeader& header);

// One region the header says is present: its image file, region name, place and length.
// BufCon and CamCon lengths come from the header; the FX2 region is as long as the boot
// image it holds (its 8-byte header and records); GPIF regions, whose length the header
// does not record, span their room.
struct EepromRegion {
  const ImagePlace* place;
  std::string name;
  std::uint32_t length;
};
std::vector<EepromRegion> PresentRegions(std::span<const std::uint8_t> image);

// The index of the first byte where `file` differs from the image at `place` (a file
// longer than its room differs at the room's end); nullopt when they agree.
std::optional<std::uint32_t> FirstDifference(std::span<const std::uint8_t> image,
                                             const ImagePlace& place,
                                             std::span<const std::uint8_t> file);

// Writes a kEepromImageSize image back to all 12 banks: the header erased first, every
// other byte, then the header's beat last. False at the first failing request (the
// thread's FailureDetail names it) or for an image of another size.
bool RestoreEepromImage(DeviceHandle& handle, std::span<const std::uint8_t> image,
                        const BeatObserver& onBeat = {});

}  // namespace vesk
