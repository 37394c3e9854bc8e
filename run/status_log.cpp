#include "run/status_log.h"

#include <algorithm>
#include <cstring>

namespace vesk {

void StatusLog::Start(std::string_view firstLine) {
  length_ = 0;
  buffer_[0] = '\0';
  Append(firstLine);
}

void StatusLog::Append(std::string_view text) {
  const std::size_t room = kCapacity - 1 - length_;
  const std::size_t count = std::min(room, text.size());
  std::memcpy(buffer_.data() + length_, text.data(), count);
  length_ += count;
  buffer_[length_] = '\0';
}

}  // namespace vesk
