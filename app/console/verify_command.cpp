#include <ostream>

#include "app/console/board_commands.h"
#include "device/device_connection.h"
#include "images/eeprom_image.h"
#include "images/image_file.h"

namespace vesk::console {

int VerifyCommand(CommandContext& context) {
  if (!ImageFilesReady(context.env, TakeImageSnapshot(""))) return kExitBadInput;
  DeviceHandle handle;
  if (!OpenBoard(context, handle)) return kExitFailed;
  const std::vector<std::uint8_t> image = ReadEepromForCommand(context, handle);
  CloseCameraDevice(handle);
  if (image.empty()) return kExitFailed;

  std::ostream& out = context.env.out;
  bool allMatch = true;
  auto report = [&](const std::string& name, std::uint32_t start,
                    std::optional<std::uint32_t> difference) {
    if (!difference) {
      out << name << ": matches\n";
      return;
    }
    allMatch = false;
    out << name << ": differs at " << DescribePlace(PlaceInEeprom(start + *difference)) << "\n";
  };

  std::uint32_t bufConSize = 0, camConSize = 0;
  for (const ImagePlace* place : {&kBufConPlace, &kCamConPlace, &kFx2Place, &kGpifBufConPlace,
                                  &kGpifCamConPlace, &kGpifFifoPlace}) {
    const ImageRead file = ReadImageBytes(*place->file, place->room, false);
    if (file.error != ImageReadError::None) {
      out << *place->file << ": cannot be read\n";
      allMatch = false;
      continue;
    }
    const auto size = static_cast<std::uint32_t>(file.bytes.size());
    if (place == &kBufConPlace) bufConSize = size;
    if (place == &kCamConPlace) camConSize = size;
    report(*place->file, EepromImageOffset(place->chip, place->bank, place->offset),
           FirstDifference(image, *place, file.bytes));
  }

  const RomHeaderBytes expected = HeaderForRun(bufConSize, camConSize).Encode();
  const RomHeaderBytes held = HeaderInImage(image).Encode();
  const auto mismatch = std::mismatch(held.begin(), held.end(), expected.begin());
  report("ROM header", EepromImageOffset(kRomHeaderChip, kRomHeaderBank, kRomHeaderOffset),
         mismatch.first == held.end() ? std::nullopt
                                      : std::optional<std::uint32_t>(static_cast<std::uint32_t>(
                                            mismatch.first - held.begin())));
  return allMatch ? kExitSucceeded : kExitFailed;
}

}  // namespace vesk::console
