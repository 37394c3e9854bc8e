#pragma once
// The subcommands that read or write the board's EEPROM as a whole: read, info, verify
// and restore, and the backup a run takes before its first write. Each opens the board
// and starts our control firmware, as a run does, and leaves it running until the
// board's next power cycle.

#include <cstdint>
#include <string>
#include <vector>

#include "app/console/console_app.h"
#include "app/console/progress_bar.h"
#include "device/camera_driver.h"
#include "images/image_downloads.h"

namespace vesk::console {

struct CommandContext {
  ConsoleEnvironment& env;
  CameraDriver& driver;
  ProgressBar& progress;
  bool yes = false;  // restore asks before it writes, unless told Yes
  bool json = false;  // info and verify: one JSON document on standard output
};

// Opens the board and loads the control firmware (hold, load, release). On failure
// says so on standard error with the cause and returns false; the handle is closed.
bool OpenBoard(CommandContext& context, DeviceHandle& handle);
// The whole EEPROM with a progress bar; empty after a failure, which is reported.
std::vector<std::uint8_t> ReadEepromForCommand(CommandContext& context, DeviceHandle& handle);
// "vesk-update: WHAT: CAUSE" on standard error, the bar cleared first.
void ReportCommandFailure(CommandContext& context, const std::string& what);
// Prints each problem of the six image files read into `images` on standard error; true
// when there is none.
bool ImageFilesReady(ConsoleEnvironment& env, const ImageSnapshot& images);
// An operator's answer to a question: "y" or "yes" in any case, blanks and a CR around it
// ignored, is Yes; anything else is No.
bool IsYesAnswer(std::string answer);

// read FILE: the whole EEPROM into FILE (replaced whole, never written part-way).
int ReadCommand(CommandContext& context, const std::string& file);
// info: the header decoded and each present region with length and SHA-256; with
// `compare`, whether each region matches its file in the working directory.
int InfoCommand(CommandContext& context, bool compare);
// verify: 0 when the EEPROM holds the six files and the header a run writes with them,
// 1 otherwise, naming each difference and its first place.
int VerifyCommand(CommandContext& context);
// restore FILE: a 393,216-byte image written back to all 12 banks.
int RestoreCommand(CommandContext& context, const std::string& file);

}  // namespace vesk::console
