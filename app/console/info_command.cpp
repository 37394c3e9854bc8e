#include <cstdio>
#include <ostream>

#include "app/console/board_commands.h"
#include "device/device_connection.h"
#include "images/eeprom_image.h"
#include "images/image_file.h"
#include "images/sha256.h"

namespace vesk::console {
namespace {

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

void PrintHeader(std::ostream& out, const RomHeader& header) {
  out << "ROM header: " << (HeaderIsValid(header) ? "valid" : "not valid") << "\n";
  out << "  checksum " << Hex(header.checksum(), 2) << " (bytes 1-19 sum to "
      << Hex(header.ComputeChecksum(), 2) << "), length " << unsigned(header.headerLength())
      << ", version " << unsigned(header.version()) << "\n";
  const std::pair<std::uint16_t, const char*> flags[] = {
      {kHasBufCon, "BufCon"},      {kHasCamCon, "CamCon"},        {kHasFx2, "FX2"},
      {kHasVendorId, "vendor-id"}, {kHasProductId, "product-id"}, {kHasDeviceId, "device-id"},
      {kHasGpif, "GPIF"}};
  out << "  present (" << Hex(header.presenceFlags(), 4) << "):";
  for (const auto& [flag, name] : flags)
    if (header.presenceFlags() & flag) out << " " << name;
  out << "\n  BufCon size " << header.bufConSize() << ", CamCon size " << header.camConSize()
      << "\n  vendor " << Hex(header.vendorId(), 4) << ", product " << Hex(header.productId(), 4)
      << ", device " << Hex(header.deviceId(), 4) << "\n";
}

// "matches NAME" or "differs from NAME ..." for one region.
std::string CompareRegion(std::span<const std::uint8_t> image, const EepromRegion& region) {
  const std::string& name = *region.place->file;
  const ImageRead file = ReadImageBytes(name, region.place->room + 1, false);
  if (file.error != ImageReadError::None || file.bytes.empty()) return name + " cannot be read";
  const bool lengthRecorded = region.place == &kBufConPlace || region.place == &kCamConPlace;
  if (lengthRecorded && file.bytes.size() != region.length) {
    return "differs from " + name + ": the header says " + std::to_string(region.length) +
           " bytes, the file holds " + std::to_string(file.bytes.size());
  }
  const auto difference = FirstDifference(image, *region.place, file.bytes);
  if (!difference) return "matches " + name;
  return "differs from " + name + " at " +
         DescribePlace(PlaceInEeprom(
             EepromImageOffset(region.place->chip, region.place->bank, region.place->offset) +
             *difference));
}

}  // namespace

int InfoCommand(CommandContext& context, bool compare) {
  DeviceHandle handle;
  if (!OpenBoard(context, handle)) return kExitFailed;
  const std::vector<std::uint8_t> image = ReadEepromForCommand(context, handle);
  CloseCameraDevice(handle);
  if (image.empty()) return kExitFailed;

  std::ostream& out = context.env.out;
  const RomHeader header = HeaderInImage(image);
  PrintHeader(out, header);
  if (!HeaderIsValid(header)) {
    out << "No regions: the header is not valid.\n";
    return kExitSucceeded;
  }
  for (const EepromRegion& region : PresentRegions(image)) {
    const std::uint32_t start =
        EepromImageOffset(region.place->chip, region.place->bank, region.place->offset);
    out << region.name << ": " << DescribePlace(PlaceInEeprom(start)) << ", " << region.length
        << " bytes, sha256 " << Sha256Hex(std::span(image).subspan(start, region.length));
    if (compare) out << ", " << CompareRegion(image, region);
    out << "\n";
  }
  return kExitSucceeded;
}

}  // namespace vesk::console
