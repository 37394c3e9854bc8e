#pragma once
// The one-line progress bar on standard error: drawn only on a terminal, never wider
// than the terminal, and cleared before any other line is printed.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>

namespace vesk::console {

class ProgressBar {
 public:
  // `columns` tells the terminal's width; without it 80 is assumed.
  ProgressBar(std::ostream& err, bool enabled, std::function<int()> columns)
      : err_(err), enabled_(enabled), columns_(std::move(columns)) {}

  // Draws "LABEL [####----] DONE/TOTAL bytes P%"; a finished bar is cleared at once, so
  // that the next line starts on a clean line.
  void Show(std::string_view label, std::uint64_t done, std::uint64_t total);
  void Clear();

  // The line Show draws for a terminal `columns` wide (without the carriage return).
  static std::string Line(std::string_view label, std::uint64_t done, std::uint64_t total,
                          int columns);

 private:
  std::ostream& err_;
  bool enabled_;
  std::function<int()> columns_;
  std::size_t drawn_ = 0;
};

}  // namespace vesk::console
