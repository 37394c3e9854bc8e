#include "app/console/progress_bar.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

namespace vesk::console {

std::string ProgressBar::Line(std::string_view label, std::uint64_t done, std::uint64_t total,
                              int columns, std::string_view note) {
  const std::string tail = note.empty() ? std::string() : "  " + std::string(note);
  const std::string figures = "] " + std::to_string(done) + "/" + std::to_string(total) +
                              " bytes " + std::to_string(done * 100 / total) + "%" + tail;
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
    line = std::string(label) + " " + std::to_string(done * 100 / total) + "%" + tail;
  }
  if (line.size() > room) line.resize(room);
  return line;
}

void ProgressBar::Show(std::string_view label, std::uint64_t done, std::uint64_t total,
                       std::string_view note) {
  if (!enabled_ || total == 0) return;
  const std::string line = Line(label, done, total, columns_ ? columns_() : 80, note);
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


void RunProgress::Image(const std::string& file, std::uint64_t written, std::uint64_t total,
                        double seconds) {
  seconds_ = seconds;
  const bool counted = std::find(done_.begin(), done_.end(), file) != done_.end();
  if (counted) return;
  current_ = written;
  if (total != 0 && written >= total) {
    done_.push_back(file);
    finished_ += total;
    current_ = 0;
  }
}

unsigned RunProgress::Percent() const {
  if (runBytes_ == 0) return 100;
  return static_cast<unsigned>(std::min<std::uint64_t>(100, (finished_ + current_) * 100 / runBytes_));
}

std::optional<double> RunProgress::SecondsLeft() const {
  const std::uint64_t done = std::min(finished_ + current_, runBytes_);
  if (done == 0 || seconds_ <= 0) return std::nullopt;
  return static_cast<double>(runBytes_ - done) * seconds_ / static_cast<double>(done);
}

std::string RunProgress::Text() const {
  std::string text = "run " + std::to_string(Percent()) + "%";
  if (const std::optional<double> left = SecondsLeft()) {
    const auto whole = static_cast<unsigned long>(*left + 0.5);
    char figures[32];
    std::snprintf(figures, sizeof figures, ", %lu:%02lu left", whole / 60, whole % 60);
    text += figures;
  }
  return text;
}

}  // namespace vesk::console
