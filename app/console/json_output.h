#pragma once
// The console's JSON documents (the run report, list/info/verify --json): keys in the
// order a reader expects them, and valid UTF-8 whatever bytes a path or name holds.

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace vesk::console {

using Json = nlohmann::ordered_json;

// `text` with its well-formed UTF-8 kept and every byte that is not part of a well-formed
// sequence written as the four characters \xHH (upper-case hex), so that a file name in
// any encoding stays readable and distinct.
std::string JsonSafe(std::string_view text);

// `document` with every string (keys too) made JsonSafe: indented by two spaces, or on
// one line for JSON Lines; ends with a line end.
std::string JsonText(const Json& document, bool oneLine);

}  // namespace vesk::console
