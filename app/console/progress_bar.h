#pragma once
// The one-line progress bar on standard error: drawn only on a terminal, never wider
// than the terminal, and cleared before any other line is printed.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>
#include <string_view>

namespace vesk::console {

class ProgressBar {
 public:
  // `columns` tells the terminal's width; without it 80 is assumed.
  ProgressBar(std::ostream& err, bool enabled, std::function<int()> columns)
      : err_(err), enabled_(enabled), columns_(std::move(columns)) {}

  // Draws "LABEL [####----] DONE/TOTAL bytes P%  NOTE"; a finished bar is cleared at once,
  // so that the next line starts on a clean line.
  void Show(std::string_view label, std::uint64_t done, std::uint64_t total,
            std::string_view note = {});
  void Clear();

  // The line Show draws for a terminal `columns` wide (without the carriage return).
  static std::string Line(std::string_view label, std::uint64_t done, std::uint64_t total,
                          int columns, std::string_view note = {});

 private:
  std::ostream& err_;
  bool enabled_;
  std::function<int()> columns_;
  std::size_t drawn_ = 0;
};

// A whole run's progress, told by its images' progress: the share of all the run's image
// bytes written and the time left at the rate measured so far.
class RunProgress {
 public:
  explicit RunProgress(std::uint64_t runBytes) : runBytes_(runBytes) {}

  // `file` has `written` of its `total` bytes on the board, `seconds` after the run's first
  // image progress. An image is counted whole once it reports written == total.
  void Image(const std::string& file, std::uint64_t written, std::uint64_t total, double seconds);

  unsigned Percent() const;
  // Nothing until some bytes and some time have passed.
  std::optional<double> SecondsLeft() const;
  // "run 23%, 0:14 left" ("run 23%" while the rate is not known).
  std::string Text() const;

 private:
  std::uint64_t runBytes_;
  std::uint64_t finished_ = 0;  // bytes of the images written whole
  std::uint64_t current_ = 0;   // bytes of the image being written
  double seconds_ = 0;
  std::vector<std::string> done_;
};

}  // namespace vesk::console
