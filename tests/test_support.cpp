#include "test_support.h"

#include <atomic>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>

#include <gtest/gtest.h>

namespace vesk::testing {

std::vector<Beat> EepromBeats(const std::vector<RecordedIoControl>& requests) {
  std::vector<Beat> beats;
  for (const auto& r : requests) {
    if (r.input.size() < 6 || r.input[0] != 0xC6) continue;
    beats.push_back({r.input[3], r.input[2], static_cast<unsigned>(r.input[4] | r.input[5] << 8),
                     static_cast<unsigned>(r.input.size() - 6)});
  }
  return beats;
}

std::vector<std::uint8_t> EepromData(const std::vector<RecordedIoControl>& requests) {
  std::vector<std::uint8_t> data;
  for (const auto& r : requests)
    if (r.input.size() >= 6 && r.input[0] == 0xC6) data.insert(data.end(), r.input.begin() + 6, r.input.end());
  return data;
}

std::vector<std::uint8_t> Pattern(std::size_t size, unsigned seed) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t state = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
}

QuietStdout::QuietStdout() { ::testing::internal::CaptureStdout(); }

QuietStdout::~QuietStdout() {
  const std::string rest = ::testing::internal::GetCapturedStdout();
  if (::testing::Test::HasFailure()) std::cout << taken_ << rest << std::flush;
}

std::string QuietStdout::Take() {
  std::string text = ::testing::internal::GetCapturedStdout();
  taken_ += text;
  ::testing::internal::CaptureStdout();
  return text;
}

std::vector<std::uint8_t> ReadSample(const std::string& name) {
  std::ifstream file(std::string(VESK_SAMPLES_DIR) + "/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

ScratchDirectory::ScratchDirectory() : previous_(std::filesystem::current_path()) {
  static std::atomic<int> counter{0};
  path_ = std::filesystem::temp_directory_path() /
          ("vesk-core-test-" + std::to_string(std::random_device{}()) + "-" +
           std::to_string(counter++));
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
  std::filesystem::current_path(path_);
}

ScratchDirectory::~ScratchDirectory() {
  std::filesystem::current_path(previous_);
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void ScratchDirectory::Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
  std::ofstream file(path_ / name, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace vesk::testing
