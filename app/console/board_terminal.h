#pragma once
// Where a board's run shows: its status lines and log on standard output, its notices
// on standard error, its progress, and the operator who answers its questions. Alone a
// board has the terminal to itself (ConsoleTerminal); beside others with --all each board
// sees the terminal through a SharedTerminal, which prefixes each of its lines with the
// board's path, serialises output from the boards' threads and shares the questions.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/console/console_app.h"
#include "app/console/progress_bar.h"
#include "app/console/shared_questions.h"
#include "sim/peripheral.h"

namespace vesk::console {

// "1.234 s".
std::string Seconds(double seconds);
double SecondsOf(sim::SimTime picos);
std::string Seconds(sim::SimTime picos);

class BoardTerminal {
 public:
  virtual ~BoardTerminal() = default;
  // A status line for standard output, without its line end.
  virtual void OutLine(std::string_view line) = 0;
  // Lines for standard error, shown together, each without its line end (a question's
  // text is one line, however many it spans).
  virtual void ErrLines(const std::vector<std::string>& lines) = 0;
  // The status log as it is now (lines ending "\r\n", the last one perhaps still open),
  // of which the first `shown` characters have been shown already; 0 when a new run
  // began the log afresh.
  virtual void LogText(std::string_view log, std::size_t shown) = 0;
  // The run is over: the log's open last line gets its line end.
  virtual void EndLog() = 0;
  // The failure's cause, a line for standard error after the log shown so far.
  virtual void FailureLine(std::string_view line) = 0;
  // The operator's answer to a question that nothing else answers.
  virtual int Ask(std::string_view text, std::string_view caption) = 0;
  // An image's progress; `runText` is the whole run's share and time left, `finished` the
  // image's first report of being written whole.
  virtual void ImageProgress(const std::string& file, std::uint32_t written, std::uint32_t total,
                             bool finished, const std::string& runText) = 0;
};

// The terminal of a single board's run, with the progress bar on standard error.
class ConsoleTerminal : public BoardTerminal {
 public:
  ConsoleTerminal(ConsoleEnvironment& environment, ProgressBar& progress)
      : env_(environment), progress_(progress) {}

  void OutLine(std::string_view line) override;
  void ErrLines(const std::vector<std::string>& lines) override;
  void LogText(std::string_view log, std::size_t shown) override;
  void EndLog() override;
  void FailureLine(std::string_view line) override;
  int Ask(std::string_view text, std::string_view caption) override;
  void ImageProgress(const std::string& file, std::uint32_t written, std::uint32_t total,
                     bool finished, const std::string& runText) override;

 private:
  // The log's last line has no line end of its own; the terminal gets one, once.
  void EndLogLine();

  ConsoleEnvironment& env_;
  ProgressBar& progress_;
  char logEnd_ = '\n';  // the log's last character ('\n' while there is none)
  bool lineEnded_ = false;
};

// What the boards of --all share: the output lock, the questions, and on a terminal one
// progress line per board, kept below every other line and redrawn in place.
class SharedOutput {
 public:
  SharedOutput(int boards, std::ostream* terminal, std::function<int()> columns)
      : questions(boards), terminal_(terminal), columns_(std::move(columns)) {
    if (terminal_ != nullptr) block_.resize(static_cast<std::size_t>(boards));
  }

  // Runs `write` with the output lock held and the progress lines moved below what it
  // writes.
  template <class Write>
  void Print(Write&& write) {
    const std::lock_guard lock(output_);
    ClearBlock();
    write();
    DrawBlock();
  }
  void SetBlockLine(std::size_t board, std::string text);
  // The progress lines are erased for good (the summary tells how each board ended).
  void EndBlock();
  bool HasBlock() const { return terminal_ != nullptr; }

  SharedQuestions questions;

 private:
  void ClearBlock();
  void DrawBlock();

  std::mutex output_;       // env.out and env.err
  std::ostream* terminal_;  // null when standard error is no terminal
  std::function<int()> columns_;
  std::vector<std::string> block_;
  std::size_t drawn_ = 0;
};

// One board of --all: its lines go to `inner` with the board's path before each, whole
// and under the shared lock; a log line is shown once it has ended.
class SharedTerminal : public BoardTerminal {
 public:
  SharedTerminal(BoardTerminal& inner, SharedOutput& shared, std::string prefix,
                 std::size_t blockLine, bool quiet)
      : inner_(inner),
        shared_(shared),
        prefix_(std::move(prefix)),
        blockLine_(blockLine),
        quiet_(quiet) {}

  void OutLine(std::string_view line) override;
  void ErrLines(const std::vector<std::string>& lines) override;
  void LogText(std::string_view log, std::size_t shown) override;
  void EndLog() override;
  void FailureLine(std::string_view line) override;
  int Ask(std::string_view text, std::string_view caption) override;
  // The bars of several boards would overwrite each other: on a terminal the board's line
  // in the progress block, otherwise one line per image written.
  void ImageProgress(const std::string& file, std::uint32_t written, std::uint32_t total,
                     bool finished, const std::string& runText) override;

 private:
  // `line` with the prefix before it.
  std::string Prefixed(std::string_view line) const { return prefix_ + std::string(line); }

  BoardTerminal& inner_;
  SharedOutput& shared_;
  std::string prefix_;
  std::size_t blockLine_;
  bool quiet_;
  std::string pending_;  // the part of a log line not shown yet
};

}  // namespace vesk::console
