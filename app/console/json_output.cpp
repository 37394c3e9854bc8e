#include "app/console/json_output.h"

#include <cstdint>
#include <cstdio>

namespace vesk::console {
namespace {

// The length of the well-formed UTF-8 sequence at the start of `text`, 0 when there is
// none (stray continuation byte, overlong form, surrogate, beyond U+10FFFF, cut short).
std::size_t SequenceLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  std::uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  return length;
}

Json Escaped(const Json& value) {
  if (value.is_string()) return JsonSafe(value.get_ref<const std::string&>());
  if (value.is_array()) {
    Json array = Json::array();
    for (const Json& item : value) array.push_back(Escaped(item));
    return array;
  }
  if (value.is_object()) {
    Json object = Json::object();
    for (const auto& [key, item] : value.items()) object[JsonSafe(key)] = Escaped(item);
    return object;
  }
  return value;
}

}  // namespace

std::string JsonSafe(std::string_view text) {
  std::string safe;
  safe.reserve(text.size());
  while (!text.empty()) {
    std::size_t length = SequenceLength(text);
    if (length == 0) {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned>(
                                                          static_cast<std::uint8_t>(text[0])));
      safe += escape;
      length = 1;
    } else {
      safe.append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  return safe;
}

std::string JsonText(const Json& document, bool oneLine) {
  return Escaped(document).dump(oneLine ? -1 : 2) + "\n";
}

}  // namespace vesk::console
