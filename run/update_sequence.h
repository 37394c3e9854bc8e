#pragma once
// The board initialisation as one call: confirmation, open, control firmware, the four
// image downloads, the ROM header, close and the power-cycle question.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "run/status_log.h"
#include "device/camera_driver.h"
#include "device/identities.h"
#include "images/rom_header.h"

namespace vesk {

struct ImageSnapshot;

inline constexpr int kAnswerYes = 6;
inline constexpr int kAnswerNo = 7;

inline constexpr std::string_view kConfirmationCaption = "Vesk USB Update - Confirmation";
inline constexpr std::string_view kProceedQuestion = "Proceed with raw USB device initialization?";
inline constexpr std::string_view kPowerCycleQuestion =
    "Please power cycle the camera.\n\nAfter power cycle, the camera's red LEDs should blink "
    "when the camera is ready.\n\nIs the camera ready?";

// What the window (dialog or console) that runs the sequence provides.
class UpdateHost {
 public:
  virtual ~UpdateHost() = default;
  // Shows the whole log, at once, before the next step starts.
  virtual void ShowStatusLog(const StatusLog& log) = 0;
  // A modal Yes/No question; kAnswerNo (7) is No, every other answer counts as Yes.
  virtual int AskYesNo(std::string_view text, std::string_view caption) = 0;
  // Progress of the image being written: bytes accepted so far and the image's length.
  virtual void ShowImageProgress(const std::string& /*file*/, std::uint32_t /*written*/,
                                 std::uint32_t /*total*/) {}
  // Why the run failed, in one line (which file and why, or which request and what the
  // USB layer said). Called once, after the log with the error line has been shown,
  // when the cause is known; the log itself never carries it.
  virtual void ShowFailureDetail(std::string_view /*detail*/) {}
  // Called once the control firmware runs, before the first write; a host that keeps a
  // copy of the EEPROM reads it here. False fails the run at the firmware step; the host
  // has then set the failure detail (device/failure_detail.h).
  virtual bool BeforeFirstWrite(DeviceHandle& /*handle*/) { return true; }
  // The image files of this run, read once before it started; every download, header
  // size and check then uses those bytes. Null: each download reads its file as it starts.
  virtual const ImageSnapshot* Images() const { return nullptr; }
  // A file taken from Images(), at the moment its download starts (where reading it would
  // have printed "Reading file NAME."). By default that line goes to standard output.
  virtual void ShowReadingFile(const std::string& file);
};

// What the host keeps from one run to the next.
struct UpdateState {
  DeviceHandle handle;
  std::array<char, 1024> devicePath{};
  RomHeader header;
};

enum class RunOutcome { Cancelled, Failed, Succeeded };

// Runs the whole sequence and returns only when it has ended. The outcome repeats what
// the log's last line says, for callers that need an exit status. A stop request
// (device/stop_request.h) fails the step in progress before its next request, and
// answers a question No.
RunOutcome RunBoardInitialization(UpdateHost& host, UpdateState& state);

}  // namespace vesk
