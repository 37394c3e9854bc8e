#include "app/console/run_report.h"

#include <ctime>

#include "app/console/json_output.h"

namespace vesk::console {
namespace {

using json = Json;

json OrNull(const std::optional<std::string>& text) {
  return text ? json(*text) : json(nullptr);
}

}  // namespace

std::string IsoUtc(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm utc{};
#if defined(_WIN32)
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string ReportJson(const RunReport& report, bool oneLine) {
  json boards = json::array();
  for (const BoardReport& board : report.boards) {
    json images = json::array();
    for (const ReportImage& image : board.images)
      images.push_back({{"file", image.file},
                        {"bytes", image.bytes},
                        {"sha256", image.sha256},
                        {"chip", image.chip},
                        {"bank", image.bank},
                        {"offset", image.offset}});
    json entry = {{"path", board.path},
                  {"identity", board.identity},
                  {"verdict", board.verdict},
                  {"log", board.log},
                  {"error", OrNull(board.error)},
                  {"detail", OrNull(board.detail)},
                  {"images", std::move(images)},
                  {"header", OrNull(board.header)},
                  {"seconds", board.seconds}};
    if (board.boardSeconds) entry["board_seconds"] = *board.boardSeconds;
    boards.push_back(std::move(entry));
  }
  const json run = {{"tool", "vesk-update"},
                    {"version", report.version},
                    {"started", report.started},
                    {"host", report.host},
                    {"images_dir", report.imagesDir},
                    {"boards", std::move(boards)}};
  return JsonText(run, oneLine);
}

}  // namespace vesk::console
