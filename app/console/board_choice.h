#pragma once
// Choosing the board a run writes: the list of attached boards, --device PATH|N, and a
// driver that opens the chosen board and no other (device/chosen_board.h).

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/camera_driver.h"
#include "device/chosen_board.h"

namespace vesk::console {

// The path --device names: an entry's path as `list` prints it, or its index in the list.
// Nothing when neither matches.
std::optional<std::string> ChosenPath(const std::vector<BoardInfo>& boards, std::string_view device);

// One line of `list`: "emulated:0  04B4:8613  bare FX2", with "  bus 1 port 2" where the
// place is known.
std::string BoardLine(std::size_t index, const BoardInfo& board);

// `list --json`: {"tool", "version", "boards": [{"index", "path", "identity", "state",
// "location"}]}, the location null where the place is not known.
std::string BoardListJson(const std::vector<BoardInfo>& boards, std::string_view version);

}  // namespace vesk::console
