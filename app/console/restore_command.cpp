#include <filesystem>
#include <fstream>
#include <istream>
#include <ostream>

#include "app/console/board_commands.h"
#include "app/console/output_file.h"
#include "device/device_connection.h"
#include "images/eeprom_image.h"

namespace vesk::console {

int RestoreCommand(CommandContext& context, const std::string& file) {
  ConsoleEnvironment& env = context.env;
  // At most one byte more than an image holds: enough to tell that a file is too long.
  std::vector<std::uint8_t> image(kEepromImageSize + 1);
  std::error_code error;
  const std::filesystem::path path = PathFromUtf8(file);
  std::ifstream stream;
  if (std::filesystem::is_regular_file(path, error)) stream.open(path, std::ios::binary);
  if (!stream.is_open()) {
    env.err << "vesk-update: cannot read the EEPROM image " << file << "\n";
    return kExitBadInput;
  }
  stream.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
  image.resize(static_cast<std::size_t>(stream.gcount()));
  if (stream.bad() || image.size() != kEepromImageSize) {
    env.err << "vesk-update: " << file << ": " << image.size() << " bytes, an EEPROM image holds "
            << kEepromImageSize << "\n";
    return kExitBadInput;
  }
  if (!context.yes) {
    env.out.flush();
    env.err << "Write " << file << " over the whole EEPROM? [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(env.in, answer) || !IsYesAnswer(answer)) {
      env.err << "vesk-update: restore cancelled; the board was not touched\n";
      return kExitCancelled;
    }
  }

  DeviceHandle handle;
  if (!OpenBoard(context, handle)) return kExitFailed;
  const bool written = RestoreEepromImage(handle, image, [&](std::uint32_t done) {
    context.progress.Show("EEPROM", done, kEepromImageSize);
  });
  context.progress.Clear();
  CloseCameraDevice(handle);
  if (!written) {
    ReportCommandFailure(context, "the restore failed; restore the image again");
    return kExitFailed;
  }
  env.err << "Restored " << kEepromImageSize << " bytes from " << file
          << "; power-cycle the camera to boot them\n";
  return kExitSucceeded;
}

}  // namespace vesk::console
