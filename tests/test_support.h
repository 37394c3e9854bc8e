#pragma once
// Helpers shared by the core tests: decoding recorded requests and image files in a
// temporary working directory.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "fake_camera_driver.h"

namespace vesk::testing {

struct Beat {
  unsigned chip, bank, offset, count;
  bool operator==(const Beat&) const = default;
};

// The EEPROM beats (0xC6 requests) among the recorded requests, in order.
std::vector<Beat> EepromBeats(const std::vector<RecordedIoControl>& requests);

// Data bytes of every 0xC6 request, concatenated.
std::vector<std::uint8_t> EepromData(const std::vector<RecordedIoControl>& requests);

std::vector<std::uint8_t> Pattern(std::size_t size, unsigned seed = 1);

// A file of the project's samples folder (the bootable FX2 image among them).
std::vector<std::uint8_t> ReadSample(const std::string& name);

// Holds back what the test prints on stdout (the image reader's "Reading file" lines)
// while it lives. gtest's failure messages go there too: when the test has failed, all of
// it is passed on at the end.
class QuietStdout {
 public:
  QuietStdout();
  ~QuietStdout();
  // What was printed since the start or the last Take.
  std::string Take();

 private:
  std::string taken_;
};

// A fresh empty directory that becomes the working directory for the test's lifetime.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  const std::filesystem::path& path() const { return path_; }
  void Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const;

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};

}  // namespace vesk::testing
