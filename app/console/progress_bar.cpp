#include "app/console/progress_bar.h"

#include <algorithm>
#include <ostream>

namespace vesk::console {

std::string ProgressBar::Line(std::string_view label, std::uint64_t done, std::uint64_t total,
                              int columns) {
  const std::string figures = "] " + std::to_string(done) + "/" + std::to_string(total) +
                              " bytes " + std::to_string(done * 100 / total) + "%";
  // The last column stays free: a terminal wraps a line that fills it.
  const std::size_t room = static_cast<std::size_t>(std::max(columns, 2) - 1);
  const std::size_t fixed = label.size() + 2 + figures.size();
  constexpr std::size_t kMostCells = 30, kFewestCells = 5;
  const std::size_t cells = room > fixed ? std::min(kMostCells, room - fixed) : 0;
  std::string line;
  if (cells >= kFewestCells) {
    const auto filled = static_cast<std::size_t>(done * cells / total);
    line = std::string(label) + " [" + std::string(filled, '#') + std::string(cells - filled, '-') +
           figures;
  } else {
    line = std::string(label) + " " + std::to_string(done * 100 / total) + "%";
  }
  if (line.size() > room) line.resize(room);
  return line;
}

void ProgressBar::Show(std::string_view label, std::uint64_t done, std::uint64_t total) {
  if (!enabled_ || total == 0) return;
  const std::string line = Line(label, done, total, columns_ ? columns_() : 80);
  err_ << "\r" << line;
  if (line.size() < drawn_) err_ << std::string(drawn_ - line.size(), ' ') << "\r" << line;
  drawn_ = line.size();
  err_ << std::flush;
  if (done >= total) Clear();
}

void ProgressBar::Clear() {
  if (drawn_ == 0) return;
  err_ << "\r" << std::string(drawn_, ' ') << "\r" << std::flush;
  drawn_ = 0;
}

}  // namespace vesk::console
