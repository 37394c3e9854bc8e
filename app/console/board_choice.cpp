#include "app/console/board_choice.h"

#include <algorithm>
#include <charconv>

#include "app/console/json_output.h"

namespace vesk::console {

std::optional<std::string> ChosenPath(const std::vector<BoardInfo>& boards,
                                      std::string_view device) {
  for (const BoardInfo& board : boards)
    if (board.path == device) return board.path;
  std::size_t index = 0;
  const char* end = device.data() + device.size();
  const auto [stop, error] = std::from_chars(device.data(), end, index);
  if (device.empty() || error != std::errc() || stop != end || index >= boards.size())
    return std::nullopt;
  return boards[index].path;
}

std::string BoardLine(std::size_t index, const BoardInfo& board) {
  std::string line = std::to_string(index) + "  " + board.path + "  " +
                     IdentityText(board.vendorId, board.productId) + "  " +
                     std::string(BoardStateText(board.state));
  if (!board.location.empty()) line += "  " + board.location;
  return line;
}

std::string BoardListJson(const std::vector<BoardInfo>& boards, std::string_view version) {
  Json list = Json::array();
  for (std::size_t i = 0; i < boards.size(); ++i) {
    const BoardInfo& board = boards[i];
    list.push_back({{"index", i},
                    {"path", board.path},
                    {"identity", IdentityText(board.vendorId, board.productId)},
                    {"state", BoardStateText(board.state)},
                    {"location", board.location.empty() ? Json(nullptr) : Json(board.location)}});
  }
  return JsonText({{"tool", "vesk-update"}, {"version", version}, {"boards", std::move(list)}},
                  false);
}

}  // namespace vesk::console
