#include "app/console/console_bus.h"

#include <filesystem>
#include <fstream>

#include "app/console/board_choice.h"
#include "app/console/output_file.h"

namespace vesk::console {
namespace {

namespace fs = std::filesystem;
using sim::SimTime;

// After the power cycle the emulated board is watched this long for its LED.
constexpr SimTime kLedWatch = 3000 * sim::kPicosPerMilli;
// Two blinks: on, off, on, off.
constexpr std::uint64_t kBlinkToggles = 4;

// Reads at most `limit` bytes of a regular file; anything else is not opened at all.
bool ReadBoundedFile(const fs::path& path, std::size_t limit, std::vector<std::uint8_t>& bytes) {
  std::error_code error;
  if (!fs::is_regular_file(path, error)) return false;
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  bytes.resize(limit);
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(limit));
  bytes.resize(static_cast<std::size_t>(file.gcount()));
  return !file.bad();
}

// --eeprom-in into the board it is for (the only one, or the one --device names).
std::optional<std::string> LoadEepromIn(const Options& options, EmulatedBus& bus) {
  const std::optional<std::string> path = options.device.empty()
                                              ? std::optional<std::string>("emulated:0")
                                              : ChosenPath(bus.Driver().ListBoards(), options.device);
  EmulatedSlot* target = path ? bus.ByPath(*path) : nullptr;
  if (target == nullptr) return "no emulated board " + options.device;
  std::vector<std::uint8_t> image;
  if (!ReadBoundedFile(PathFromUtf8(options.eepromIn), sim::board::kEepromImageSize + 1, image))
    return "cannot read the EEPROM image " + options.eepromIn;
  if (!target->board.LoadEepromImage(image))
    return "the EEPROM image " + options.eepromIn + " holds " + std::to_string(image.size()) +
           " bytes, not " + std::to_string(sim::board::kEepromImageSize);
  // Power up again so that the board boots from what its EEPROM now holds.
  target->board.PowerCycle();
  return std::nullopt;
}

}  // namespace

bool EmulatedSlot::PowerCycleAndWatch() {
  runTime = board.Now();
  boot = board.PowerCycle();
  constexpr SimTime kLook = 50 * sim::kPicosPerMilli;
  for (watched = 0; watched < kLedWatch && board.LedToggles() < kBlinkToggles; watched += kLook)
    board.RunFor(kLook);
  ledToggles = board.LedToggles();
  return ledToggles >= kBlinkToggles;
}

std::string_view BootText(sim::board::BootKind kind) {
  using sim::board::BootKind;
  switch (kind) {
    case BootKind::NoEeprom:
      return "found no boot EEPROM";
    case BootKind::NotBootable:
      return "found no boot image (bare FX2)";
    case BootKind::Identity:
      return "booted the C0 identity";
    case BootKind::Loaded:
      return "booted the C2 image";
    case BootKind::BadImage:
      return "found a broken C2 image";
  }
  return "";
}

EmulatedBus::EmulatedBus(unsigned count,
                         std::function<void(const sim::board::EmulatedBoard&)> inspector)
    : backEnd(MakeBackEnd("emulated", {count})), inspect(std::move(inspector)) {
  for (sim::board::EmulatedBoard* board : backEnd->EmulatedBoards())
    slots.push_back(std::make_unique<EmulatedSlot>(*board));
}

EmulatedBus::~EmulatedBus() {
  if (inspect)
    for (const auto& slot : slots) inspect(slot->board);
}

EmulatedSlot* EmulatedBus::ByPath(std::string_view path) {
  for (std::size_t i = 0; i < slots.size(); ++i)
    if (path == "emulated:" + std::to_string(i)) return slots[i].get();
  return nullptr;
}

std::optional<std::string> MakeBus(ConsoleEnvironment& env, const Options& options,
                                   ConsoleBus& bus) {
  if (options.board == "emulated") {
    bus.emulated = std::make_unique<EmulatedBus>(options.emulatedBoards, env.inspectEmulatedBoard);
    bus.driver = &bus.emulated->Driver();
    if (!options.eepromIn.empty())
      if (std::optional<std::string> problem = LoadEepromIn(options, *bus.emulated)) return problem;
    // The boards as they are attached, faults and all, before anything looks at them.
    if (env.prepareEmulatedBoard)
      for (const auto& each : bus.emulated->slots) env.prepareEmulatedBoard(each->board);
    return std::nullopt;
  }
  if (options.verbosity >= 2 && env.enableBackEndDebugOutput) env.enableBackEndDebugOutput();
  if (env.makeBackEnd) bus.real = env.makeBackEnd(options.board);
  if (!bus.real) {
    if (options.board == "driver")
      return std::string(
          "--board=driver: the camera's kernel driver back end exists only on Windows; use "
          "--board=usb or --board=emulated");
    return "--board=" + options.board + " is not available on this platform";
  }
  bus.driver = &bus.real->Driver();
  return std::nullopt;
}

}  // namespace vesk::console
