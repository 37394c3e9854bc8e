#pragma once
// The text of one run, as the status box shows it.

#include <array>
#include <cstddef>
#include <string_view>

namespace vesk {

class StatusLog {
 public:
  static constexpr std::size_t kCapacity = 8192;  // terminating zero included

  void Start(std::string_view firstLine);
  // Appends at the end; text that would not fit (never the case for a run's own lines)
  // is cut so that the buffer always stays terminated.
  void Append(std::string_view text);

  std::string_view Text() const { return {buffer_.data(), length_}; }
  const char* CString() const { return buffer_.data(); }

 private:
  std::array<char, kCapacity> buffer_{};
  std::size_t length_ = 0;
};

}  // namespace vesk
