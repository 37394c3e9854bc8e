#include <algorithm>
#include <cctype>
#include <ostream>

#include "app/console/board_commands.h"
#include "device/control_firmware_table.h"
#include "device/device_connection.h"
#include "device/eeprom_reader.h"
#include "device/failure_detail.h"
#include "device/firmware_loader.h"
#include "images/preflight.h"

namespace vesk::console {

void ReportCommandFailure(CommandContext& context, const std::string& what) {
  context.progress.Clear();
  context.env.out.flush();
  context.env.err << "vesk-update: " << what;
  if (!FailureDetail().empty()) context.env.err << ": " << FailureDetail();
  context.env.err << "\n" << std::flush;
}

bool OpenBoard(CommandContext& context, DeviceHandle& handle) {
  ClearFailureDetail();
  handle.driver = &context.driver;
  std::array<char, 1024> path{};
  if (OpenCameraDevice(0, handle, path) != kOpenSucceeded) {
    ReportCommandFailure(context, "cannot connect to the camera");
    return false;
  }
  if (!DownloadControlFirmware(handle, ControlFirmwareTable)) {
    ReportCommandFailure(context, "cannot load the control firmware");
    CloseCameraDevice(handle);
    return false;
  }
  return true;
}

std::vector<std::uint8_t> ReadEepromForCommand(CommandContext& context, DeviceHandle& handle) {
  std::vector<std::uint8_t> image = ReadWholeEeprom(
      handle, [&](std::uint32_t done) { context.progress.Show("EEPROM", done, kEepromImageSize); });
  context.progress.Clear();
  if (image.empty()) ReportCommandFailure(context, "cannot read the EEPROM");
  return image;
}

bool IsYesAnswer(std::string answer) {
  answer.erase(std::remove_if(answer.begin(), answer.end(),
                              [](unsigned char c) { return std::isspace(c); }),
               answer.end());
  std::transform(answer.begin(), answer.end(), answer.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return answer == "y" || answer == "yes";
}

bool ImageFilesReady(ConsoleEnvironment& env, const ImageSnapshot& images) {
  bool ready = true;
  for (const ImageFileCheck& check : CheckImageSnapshot(images)) {
    if (check.problem == ImageFileProblem::None) continue;
    env.err << "vesk-update: " << check.message << "\n";
    ready = false;
  }
  return ready;
}

}  // namespace vesk::console
