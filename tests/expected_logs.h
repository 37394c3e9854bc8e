#pragma once
// The status log of a successful run, as the tests of every front end and back end expect it.

#include <string>
#include <string_view>

namespace vesk::testing {

inline constexpr std::string_view kSuccessfulRunLog =
    "USB Board Initialization Started\r\n"
    "Opening camera connection\r\n"
    "Camera connection opened successfully\r\n"
    "Downloading USB control firmware\r\n"
    "Downloading BufCon...please wait.....\r\n"
    "Downloading CamCon...please wait.....\r\n"
    "Downloading FX2...please wait.....\r\n"
    "Downloading GPIF waveforms...\r\n"
    "Writing USB ROM header...\r\n"
    "Closing camera connection\r\n"
    "Camera connection closed\r\n"
    "Power cycle complete\r\n"
    "Camera firmware update SUCCESSFUL.  Update complete.";

// What the status box holds when the power-cycle question is asked.
inline constexpr std::string_view kLogBeforePowerCycleQuestion =
    kSuccessfulRunLog.substr(0, kSuccessfulRunLog.find("Power cycle complete"));

// A failed run's log: the successful one up to and including `line`, then `error` and the
// verdict.
inline std::string FailedLog(std::string_view line, std::string_view error) {
  return std::string(kSuccessfulRunLog.substr(0, kSuccessfulRunLog.find(line) + line.size())) +
         std::string(error) + "Camera firmware update FAILED.";
}

}  // namespace vesk::testing
