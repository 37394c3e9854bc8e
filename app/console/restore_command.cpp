#include <istream>
#include <ostream>

#include "app/console/board_commands.h"
#include "app/console/output_file.h"
#include "device/device_connection.h"
#include "images/eeprom_image.h"
#include "images/image_file.h"

namespace vesk::console {

int RestoreCommand(CommandContext& context, const std::string& file) {
  ConsoleEnvironment& env = context.env;
  const ImageRead read = ReadImageBytes(PathFromUtf8(file).string(), kEepromImageSize + 1, false);
  if (read.error != ImageReadError::None) {
    env.err << "vesk-update: cannot read the EEPROM image " << file << "\n";
    return kExitBadInput;
  }
  if (read.bytes.size() != kEepromImageSize) {
    env.err << "vesk-update: " << file << ": " << read.bytes.size()
            << " bytes, an EEPROM image holds " << kEepromImageSize << "\n";
    return kExitBadInput;
  }
  if (!context.yes) {
    env.out.flush();
    env.err << "Write " << file << " over the whole EEPROM? [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(env.in, answer) || (answer != "y" && answer != "yes")) {
      env.err << "vesk-update: restore cancelled; the board was not touched\n";
      return kExitCancelled;
    }
  }

  DeviceHandle handle;
  if (!OpenBoard(context, handle)) return kExitFailed;
  const bool written = RestoreEepromImage(handle, read.bytes, [&](std::uint32_t done) {
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
