#include "run/update_sequence.h"

#include <iostream>

#include "device/control_firmware_table.h"
#include "device/device_connection.h"
#include "device/failure_detail.h"
#include "device/firmware_loader.h"
#include "device/stop_request.h"
#include "images/image_downloads.h"

namespace vesk {

void UpdateHost::ShowReadingFile(const std::string& file) {
  std::cout << ("Reading file " + file + ".\n") << std::flush;
}

namespace {

constexpr std::uint16_t kDeviceIndex = 0;

class Run {
 public:
  Run(UpdateHost& host, UpdateState& state) : host_(host), state_(state) {}

  RunOutcome Execute() {
    ClearFailureDetail();
    log_.Start("USB Board Initialization Started\r\n");
    host_.ShowStatusLog(log_);
    if (!Ask(kProceedQuestion)) {
      log_.Append("Initialization cancelled by user\r\n");
      host_.ShowStatusLog(log_);
      return RunOutcome::Cancelled;
    }

    Log("Opening camera connection\r\n");
    if (OpenCameraDevice(kDeviceIndex, state_.handle, state_.devicePath) != kOpenSucceeded)
      return Fail("Error 0x1 (Failed to connect to camera)\r\n");
    Log("Camera connection opened successfully\r\n");

    Log("Downloading USB control firmware\r\n");
    // The old header goes before the first image does. Its write is also the first
    // request the control firmware serves, so a firmware that does not run fails here.
    if (!DownloadControlFirmware(state_.handle, ControlFirmwareTable) ||
        !host_.BeforeFirstWrite(state_.handle) || !RomHeader::EraseRomHeader(state_.handle))
      return Fail("Error 0x2 (Failed download control firmware)\r\n");
    RomHeader& header = state_.header;
    header.InitRomHeader();

    ImageDownloadResult bufCon;
    ImageDownloadResult camCon;
    const ImageProgress progress = [this](const std::string& file, std::uint32_t written,
                                          std::uint32_t total) {
      host_.ShowImageProgress(file, written, total);
    };
    ImageSource source;
    source.snapshot = host_.Images();
    source.announce = [this](const std::string& file) { host_.ShowReadingFile(file); };

    Log("Downloading BufCon...please wait.....\r\n");
    if (!DownloadBufCon(state_.handle, bufCon, progress, source))
      return Fail("Error 0x3 (Failed to download BufCon)\r\n");

    Log("Downloading CamCon...please wait.....\r\n");
    if (!DownloadCamCon(state_.handle, camCon, progress, source))
      return Fail("Error 0x4 (Failed to download CamCon)\r\n");

    Log("Downloading FX2...please wait.....\r\n");
    if (!DownloadFx2Image(state_.handle, progress, source))
      return Fail("Error 0x5 (Failed to download FX2)\r\n");

    Log("Downloading GPIF waveforms...\r\n");
    if (!DownloadGpifWaveforms(state_.handle, progress, source))
      return Fail("Error 0x6 (Failed to download GPIF waveforms)\r\n");
    header = HeaderForRun(bufCon.byteCount, camCon.byteCount);

    Log("Writing USB ROM header...\r\n");
    if (!header.WriteRomHeader(state_.handle))
      return Fail("Error 0x7 (Failed to write USB ROM header)\r\n");

    Log("Closing camera connection\r\n");
    if ((CloseCameraDevice(state_.handle) & 0xFFFF) != 0)
      return Fail("Error 0x8 (Failed to connect to camera)\r\n");
    Log("Camera connection closed\r\n");

    ClearFailureDetail();
    if (!Ask(kPowerCycleQuestion)) {
      // A host that watched the board has said what it saw.
      if (FailureDetail().empty())
        SetFailureDetail("the camera was not reported ready after its power cycle");
      return Fail("Error 0x8 (Failed to correctly power cycle\r\n");
    }
    log_.Append("Power cycle complete\r\n");
    log_.Append("Camera firmware update SUCCESSFUL.  Update complete.");
    host_.ShowStatusLog(log_);
    return RunOutcome::Succeeded;
  }

 private:
  // A stop requested before or while the question is open answers it No.
  bool Ask(std::string_view question) {
    if (StopRequested()) return false;
    const bool yes = host_.AskYesNo(question, kConfirmationCaption) != kAnswerNo;
    return yes && !StopRequested();
  }

  void Log(std::string_view line) {
    log_.Append(line);
    host_.ShowStatusLog(log_);
  }

  RunOutcome Fail(std::string_view errorLine) {
    log_.Append(errorLine);
    log_.Append("Camera firmware update FAILED.");
    host_.ShowStatusLog(log_);
    if (!FailureDetail().empty()) host_.ShowFailureDetail(FailureDetail());
    return RunOutcome::Failed;
  }

  UpdateHost& host_;
  UpdateState& state_;
  StatusLog log_;
};

}  // namespace

RunOutcome RunBoardInitialization(UpdateHost& host, UpdateState& state) {
  return Run(host, state).Execute();
}

}  // namespace vesk
