#include <cstdio>
#include <ostream>

#include "app/console/board_commands.h"
#include "app/console/json_output.h"
#include "device/device_connection.h"
#include "images/eeprom_image.h"
#include "images/image_file.h"
#include "images/sha256.h"
#include "vesk_version.h"

namespace vesk::console {
namespace {

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

const std::pair<std::uint16_t, const char*> kPresenceFlags[] = {
    {kHasBufCon, "BufCon"},      {kHasCamCon, "CamCon"},        {kHasFx2, "FX2"},
    {kHasVendorId, "vendor-id"}, {kHasProductId, "product-id"}, {kHasDeviceId, "device-id"},
    {kHasGpif, "GPIF"}};

void PrintHeader(std::ostream& out, const RomHeader& header) {
  out << "ROM header: " << (HeaderIsValid(header) ? "valid" : "not valid") << "\n";
  out << "  checksum " << Hex(header.checksum(), 2) << " (bytes 1-19 sum to "
      << Hex(header.ComputeChecksum(), 2) << "), length " << unsigned(header.headerLength())
      << ", version " << unsigned(header.version()) << "\n";
  out << "  present (" << Hex(header.presenceFlags(), 4) << "):";
  for (const auto& [flag, name] : kPresenceFlags)
    if (header.presenceFlags() & flag) out << " " << name;
  out << "\n  BufCon size " << header.bufConSize() << ", CamCon size " << header.camConSize()
      << "\n  vendor " << Hex(header.vendorId(), 4) << ", product " << Hex(header.productId(), 4)
      << ", device " << Hex(header.deviceId(), 4) << "\n";
}

struct RegionComparison {
  bool matches = false;
  std::string text;  // "matches NAME", "differs from NAME ...", "NAME cannot be read"
};

RegionComparison CompareRegion(std::span<const std::uint8_t> image, const EepromRegion& region) {
  const std::string& name = *region.place->file;
  const ImageRead file = ReadImageBytes(name, region.place->room + 1, false);
  if (file.error != ImageReadError::None || file.bytes.empty())
    return {false, name + " cannot be read"};
  const bool lengthRecorded = region.place == &kBufConPlace || region.place == &kCamConPlace;
  if (lengthRecorded && file.bytes.size() != region.length) {
    return {false, "differs from " + name + ": the header says " +
                       std::to_string(region.length) + " bytes, the file holds " +
                       std::to_string(file.bytes.size())};
  }
  const auto difference = FirstDifference(image, *region.place, file.bytes);
  if (!difference) return {true, "matches " + name};
  return {false, "differs from " + name + " at " +
                     DescribePlace(PlaceInEeprom(EepromImageOffset(region.place->chip,
                                                                   region.place->bank,
                                                                   region.place->offset) +
                                                 *difference))};
}

// Lower-case hex digits, as the run report writes the header.
std::string HexDigits(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (std::uint8_t byte : bytes) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", unsigned(byte));
    text += digits;
  }
  return text;
}

// info --json: the header's fields and each present region, named as in the run report.
Json InfoJson(std::span<const std::uint8_t> image, const RomHeader& header, bool compare) {
  Json present = Json::array();
  for (const auto& [flag, name] : kPresenceFlags)
    if (header.presenceFlags() & flag) present.push_back(name);
  const RomHeaderBytes bytes = header.Encode();
  Json regions = Json::array();
  if (HeaderIsValid(header)) {
    for (const EepromRegion& region : PresentRegions(image)) {
      const std::uint32_t start =
          EepromImageOffset(region.place->chip, region.place->bank, region.place->offset);
      Json entry = {{"name", region.name},
                    {"file", *region.place->file},
                    {"chip", region.place->chip},
                    {"bank", region.place->bank},
                    {"offset", region.place->offset},
                    {"bytes", region.length},
                    {"sha256", Sha256Hex(image.subspan(start, region.length))}};
      if (compare) {
        const RegionComparison comparison = CompareRegion(image, region);
        entry["matches"] = comparison.matches;
        entry["comparison"] = comparison.text;
      }
      regions.push_back(std::move(entry));
    }
  }
  return {{"tool", "vesk-update"},
          {"version", VESK_VERSION},
          {"header", HexDigits(bytes)},
          {"valid", HeaderIsValid(header)},
          {"checksum", header.checksum()},
          {"computed_checksum", header.ComputeChecksum()},
          {"header_length", header.headerLength()},
          {"header_version", header.version()},
          {"present", std::move(present)},
          {"bufcon_size", header.bufConSize()},
          {"camcon_size", header.camConSize()},
          {"vendor_id", Hex(header.vendorId(), 4)},
          {"product_id", Hex(header.productId(), 4)},
          {"device_id", Hex(header.deviceId(), 4)},
          {"regions", std::move(regions)}};
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
  if (context.json) {
    out << JsonText(InfoJson(image, header, compare), false);
    return kExitSucceeded;
  }
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
    if (compare) out << ", " << CompareRegion(image, region).text;
    out << "\n";
  }
  return kExitSucceeded;
}

}  // namespace vesk::console
