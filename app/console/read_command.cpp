#include <ostream>

#include "app/console/board_commands.h"
#include "app/console/output_file.h"
#include "device/device_connection.h"

namespace vesk::console {

int ReadCommand(CommandContext& context, const std::string& file) {
  DeviceHandle handle;
  if (!OpenBoard(context, handle)) return kExitFailed;
  const std::vector<std::uint8_t> image = ReadEepromForCommand(context, handle);
  CloseCameraDevice(handle);
  if (image.empty()) return kExitFailed;
  if (!WriteFileAtomically(PathFromUtf8(file),
                           {reinterpret_cast<const char*>(image.data()), image.size()})) {
    context.env.err << "vesk-update: cannot write the EEPROM image " << file << "\n";
    return kExitOutputNotWritten;
  }
  context.env.err << "Read " << image.size() << " bytes into " << file << "\n";
  return kExitSucceeded;
}

}  // namespace vesk::console
