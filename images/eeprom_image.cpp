#include "images/eeprom_image.h"

#include <algorithm>
#include <cstdio>

#include "device/failure_detail.h"

namespace vesk {
namespace {

constexpr std::uint32_t kChipBytes = kBanksPerChip * kBankSize;

std::uint32_t ImageOffsetOf(const ImagePlace& place) {
  return EepromImageOffset(place.chip, place.bank, place.offset);
}

// The length of the boot image at the start of `bytes`: its 8-byte header and, for a C2
// image, its records up to the last; 0 when it is no boot image.
std::uint32_t BootImageLength(std::span<const std::uint8_t> bytes) {
  constexpr std::size_t kHeader = 8;
  if (bytes.size() < kHeader) return 0;
  if (bytes[0] == 0xC0) return kHeader;
  if (bytes[0] != 0xC2) return 0;
  std::size_t at = kHeader;
  while (at + 4 <= bytes.size()) {
    const std::uint32_t word = std::uint32_t(bytes[at]) << 8 | bytes[at + 1];
    at += 4 + (word & 0x03FF);
    if (at > bytes.size()) return 0;
    if (word & 0x8000) return static_cast<std::uint32_t>(at);
  }
  return 0;
}

}  // namespace

EepromPlace PlaceInEeprom(std::uint32_t imageOffset) {
  return {static_cast<std::uint8_t>(imageOffset / kChipBytes),
          static_cast<std::uint8_t>(imageOffset % kChipBytes / kBankSize),
          static_cast<std::uint16_t>(imageOffset % kBankSize)};
}

std::string DescribePlace(const EepromPlace& place) {
  char text[64];
  std::snprintf(text, sizeof text, "chip %u, bank %u, offset 0x%04X", unsigned(place.chip),
                unsigned(place.bank), unsigned(place.offset));
  return text;
}

RomHeader HeaderInImage(std::span<const std::uint8_t> image) {
  const std::uint32_t at = EepromImageOffset(kRomHeaderChip, kRomHeaderBank, kRomHeaderOffset);
  return RomHeader::Decode(image.subspan(at).first<kRomHeaderSize>());
}

bool HeaderIsValid(const RomHeader& header) {
  return header.headerLength() == kRomHeaderSize && header.checksum() == header.ComputeChecksum();
}

std::vector<EepromRegion> PresentRegions(std::span<const std::uint8_t> image) {
  std::vector<EepromRegion> regions;
  if (image.size() != kEepromImageSize) return regions;
  const RomHeader header = HeaderInImage(image);
  const std::uint16_t flags = header.presenceFlags();
  auto add = [&](const ImagePlace& place, std::string name, std::uint32_t length) {
    regions.push_back({&place, std::move(name), std::min(length, place.room)});
  };
  if (flags & kHasBufCon) add(kBufConPlace, "BufCon", header.bufConSize());
  if (flags & kHasCamCon) add(kCamConPlace, "CamCon", header.camConSize());
  if (flags & kHasFx2) {
    add(kFx2Place, "FX2", BootImageLength(image.subspan(ImageOffsetOf(kFx2Place), kFx2Place.room)));
  }
  if (flags & kHasGpif) {
    add(kGpifBufConPlace, "GPIF BufCon", kGpifBufConPlace.room);
    add(kGpifCamConPlace, "GPIF CamCon", kGpifCamConPlace.room);
    add(kGpifFifoPlace, "GPIF FIFO", kGpifFifoPlace.room);
  }
  return regions;
}

std::optional<std::uint32_t> FirstDifference(std::span<const std::uint8_t> image,
                                             const ImagePlace& place,
                                             std::span<const std::uint8_t> file) {
  const std::uint32_t start = ImageOffsetOf(place);
  const std::size_t compared = std::min<std::size_t>(file.size(), place.room);
  const std::span<const std::uint8_t> held = image.subspan(start, compared);
  const auto mismatch = std::mismatch(held.begin(), held.end(), file.begin());
  if (mismatch.first != held.end())
    return static_cast<std::uint32_t>(mismatch.first - held.begin());
  if (file.size() > place.room) return place.room;
  return std::nullopt;
}

bool RestoreEepromImage(DeviceHandle& handle, std::span<const std::uint8_t> image,
                        const BeatObserver& onBeat) {
  if (image.size() != kEepromImageSize) {
    SetFailureDetail("an EEPROM image holds " + std::to_string(kEepromImageSize) + " bytes, not " +
                     std::to_string(image.size()));
    return false;
  }
  // The header's beat goes last, so that an interrupted restore leaves no header over
  // images that are not all there.
  const std::uint32_t headerBeat =
      EepromImageOffset(kRomHeaderChip, kRomHeaderBank, kRomHeaderOffset);
  std::uint32_t done = 0;
  auto write = [&](std::uint32_t from, std::uint32_t length) {
    const EepromPlace at = PlaceInEeprom(from);
    const std::uint32_t before = done;
    const BeatObserver observe = [&](std::uint32_t written) {
      if (onBeat) onBeat(before + written);
    };
    if (!WriteEepromPaged(handle, at.chip, at.bank, at.offset, length, image.data() + from,
                          observe))
      return false;
    done += length;
    return true;
  };
  return RomHeader::EraseRomHeader(handle) && write(0, headerBeat) &&
         write(headerBeat + kBeatBytes, kEepromImageSize - headerBeat - kBeatBytes) &&
         write(headerBeat, kBeatBytes);
}

}  // namespace vesk
