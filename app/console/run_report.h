#pragma once
// The record of a run for the station's files: one JSON object with the run and every
// board it touched, what was written where and with which checksum.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vesk::console {

struct ReportImage {
  std::string file;
  std::uint64_t bytes = 0;
  std::string sha256;  // lower-case hex of the file's bytes
  int chip = 0;
  int bank = 0;
  int offset = 0;
};

struct BoardReport {
  std::string path;
  std::string identity;  // "04B4:8613"
  std::string verdict;   // "successful", "failed" or "cancelled"
  std::string log;       // the status log exactly as shown, CR LF included
  std::optional<std::string> error;   // the error line without its line end
  std::optional<std::string> detail;  // the cause beside the number
  std::vector<ReportImage> images;    // the images written whole
  std::optional<std::string> header;  // the 20 header bytes written, hex
  double seconds = 0;                 // host time
  std::optional<double> boardSeconds;  // simulated time, emulated boards only
};

struct RunReport {
  std::string version;
  std::string started;  // ISO 8601, UTC
  std::string host;
  std::string imagesDir;  // absolute
  std::vector<BoardReport> boards;
};

// "2026-01-31T23:59:58Z".
std::string IsoUtc(std::chrono::system_clock::time_point when);

// The report as JSON: indented for a file of its own, or on one line for a JSON Lines
// history. Always valid UTF-8: bytes that are not are written as \xHH (json_output.h).
std::string ReportJson(const RunReport& report, bool oneLine);

}  // namespace vesk::console
