#include <algorithm>
#include <optional>
#include <ostream>
#include <vector>

#include "app/console/board_commands.h"
#include "app/console/json_output.h"
#include "device/device_connection.h"
#include "images/eeprom_image.h"
#include "images/image_file.h"
#include "vesk_version.h"

namespace vesk::console {
namespace {

// One file's or the header's comparison with the EEPROM.
struct VerifyEntry {
  std::string name;
  EepromPlace place;  // where it starts
  bool readable = true;
  std::optional<EepromPlace> difference;  // the first differing place
};

Json PlaceJson(const EepromPlace& place) {
  return {{"chip", place.chip}, {"bank", place.bank}, {"offset", place.offset}};
}

// verify --json: "matches", then each file (named as in the run report) and the header.
Json VerifyJson(const std::vector<VerifyEntry>& entries, bool allMatch) {
  Json images = Json::array();
  Json header;
  for (const VerifyEntry& entry : entries) {
    Json item = {{"file", entry.name},
                 {"chip", entry.place.chip},
                 {"bank", entry.place.bank},
                 {"offset", entry.place.offset},
                 {"matches", entry.readable && !entry.difference},
                 {"readable", entry.readable},
                 {"difference", entry.difference ? PlaceJson(*entry.difference) : Json(nullptr)}};
    if (&entry == &entries.back()) {
      item.erase("file");
      item.erase("readable");
      header = std::move(item);
    } else {
      images.push_back(std::move(item));
    }
  }
  return {{"tool", "vesk-update"},
          {"version", VESK_VERSION},
          {"matches", allMatch},
          {"images", std::move(images)},
          {"header", std::move(header)}};
}

}  // namespace

int VerifyCommand(CommandContext& context) {
  if (!ImageFilesReady(context.env, TakeImageSnapshot(""))) return kExitBadInput;
  DeviceHandle handle;
  if (!OpenBoard(context, handle)) return kExitFailed;
  const std::vector<std::uint8_t> image = ReadEepromForCommand(context, handle);
  CloseCameraDevice(handle);
  if (image.empty()) return kExitFailed;

  std::vector<VerifyEntry> entries;
  auto compare = [&](const std::string& name, std::uint32_t start,
                     std::optional<std::uint32_t> difference) {
    VerifyEntry& entry = entries.emplace_back(VerifyEntry{name, PlaceInEeprom(start), true, std::nullopt});
    if (difference) entry.difference = PlaceInEeprom(start + *difference);
  };

  std::uint32_t bufConSize = 0, camConSize = 0;
  for (const ImagePlace* place : {&kBufConPlace, &kCamConPlace, &kFx2Place, &kGpifBufConPlace,
                                  &kGpifCamConPlace, &kGpifFifoPlace}) {
    const std::uint32_t start = EepromImageOffset(place->chip, place->bank, place->offset);
    const ImageRead file = ReadImageBytes(*place->file, place->room, false);
    if (file.error != ImageReadError::None) {
      entries.push_back({*place->file, PlaceInEeprom(start), false, std::nullopt});
      continue;
    }
    const auto size = static_cast<std::uint32_t>(file.bytes.size());
    if (place == &kBufConPlace) bufConSize = size;
    if (place == &kCamConPlace) camConSize = size;
    compare(*place->file, start, FirstDifference(image, *place, file.bytes));
  }

  const RomHeaderBytes expected = HeaderForRun(bufConSize, camConSize).Encode();
  const RomHeaderBytes held = HeaderInImage(image).Encode();
  const auto mismatch = std::mismatch(held.begin(), held.end(), expected.begin());
  compare("ROM header", EepromImageOffset(kRomHeaderChip, kRomHeaderBank, kRomHeaderOffset),
          mismatch.first == held.end() ? std::nullopt
                                       : std::optional<std::uint32_t>(static_cast<std::uint32_t>(
                                             mismatch.first - held.begin())));

  const bool allMatch = std::all_of(entries.begin(), entries.end(), [](const VerifyEntry& entry) {
    return entry.readable && !entry.difference;
  });
  std::ostream& out = context.env.out;
  if (context.json) {
    out << JsonText(VerifyJson(entries, allMatch), false);
  } else {
    for (const VerifyEntry& entry : entries) {
      out << entry.name << ": ";
      if (!entry.readable)
        out << "cannot be read\n";
      else if (entry.difference)
        out << "differs at " << DescribePlace(*entry.difference) << "\n";
      else
        out << "matches\n";
    }
  }
  return allMatch ? kExitSucceeded : kExitFailed;
}

}  // namespace vesk::console
