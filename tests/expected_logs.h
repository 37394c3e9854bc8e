#pragma once
// The status log of a successful run, as the tests of every front end and back end expect it.

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

}  // namespace vesk::testing
