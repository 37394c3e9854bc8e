#include "app/console/board_terminal.h"

#include <algorithm>
#include <iomanip>
#include <istream>
#include <ostream>
#include <sstream>

#include "app/console/board_commands.h"
#include "run/update_sequence.h"

namespace vesk::console {

double SecondsOf(sim::SimTime picos) {
  return static_cast<double>(picos) / static_cast<double>(1000 * sim::kPicosPerMilli);
}

std::string Seconds(double seconds) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(3) << seconds << " s";
  return text.str();
}

std::string Seconds(sim::SimTime picos) {
  return Seconds(SecondsOf(picos));
}

void ConsoleTerminal::OutLine(std::string_view line) {
  progress_.Clear();
  env_.out << std::string(line) + "\n" << std::flush;
}

void ConsoleTerminal::ErrLines(const std::vector<std::string>& lines) {
  std::string text;  // one write
  for (const std::string& line : lines) text += line + "\n";
  env_.err << text << std::flush;
}

void ConsoleTerminal::LogText(std::string_view log, std::size_t shown) {
  progress_.Clear();
  for (char c : log.substr(shown))
    if (c != '\r') env_.out << c;
  env_.out.flush();
  logEnd_ = log.empty() ? '\n' : log.back();
  lineEnded_ = false;
}

void ConsoleTerminal::EndLog() {
  EndLogLine();
  env_.out.flush();
}

void ConsoleTerminal::FailureLine(std::string_view line) {
  progress_.Clear();
  EndLogLine();
  env_.out.flush();
  ErrLines({std::string(line)});
}

int ConsoleTerminal::Ask(std::string_view text, std::string_view caption) {
  env_.out.flush();  // the lines the question follows come first, also through a pipe
  env_.err << caption << "\n" << text << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(env_.in, answer)) {
    env_.err << "\n";
    return kAnswerNo;
  }
  // An answer that came through a pipe left the terminal on the question's line.
  if (env_.errIsTerminal && !env_.inIsTerminal) env_.err << "\n" << std::flush;
  return IsYesAnswer(answer) ? kAnswerYes : kAnswerNo;
}

void ConsoleTerminal::ImageProgress(const std::string& file, std::uint32_t written,
                                    std::uint32_t total, bool /*finished*/,
                                    const std::string& runText) {
  progress_.Show(file, written, total, runText);
}

void ConsoleTerminal::EndLogLine() {
  if (logEnd_ == '\n' || lineEnded_) return;
  env_.out << "\n";
  lineEnded_ = true;
}

void SharedOutput::SetBlockLine(std::size_t board, std::string text) {
  const std::lock_guard lock(output_);
  if (terminal_ == nullptr || block_.at(board) == text) return;
  block_[board] = std::move(text);
  ClearBlock();
  DrawBlock();
}

void SharedOutput::EndBlock() {
  ClearBlock();
  terminal_ = nullptr;
}

void SharedOutput::ClearBlock() {
  if (drawn_ == 0) return;
  *terminal_ << "\x1b[" << drawn_ << "F\x1b[J" << std::flush;  // up to the first, erase down
  drawn_ = 0;
}

void SharedOutput::DrawBlock() {
  if (terminal_ == nullptr) return;
  // Never as wide as the terminal, which would wrap the line and miscount the block.
  const auto room = static_cast<std::size_t>(std::max(columns_ ? columns_() : 80, 2) - 1);
  for (const std::string& line : block_) {
    if (line.empty()) continue;
    *terminal_ << line.substr(0, room) << "\n";
    ++drawn_;
  }
  *terminal_ << std::flush;
}

void SharedTerminal::OutLine(std::string_view line) {
  shared_.Print([&] { inner_.OutLine(Prefixed(line)); });
}

void SharedTerminal::ErrLines(const std::vector<std::string>& lines) {
  std::vector<std::string> prefixed;
  for (const std::string& line : lines) prefixed.push_back(Prefixed(line));
  shared_.Print([&] { inner_.ErrLines(prefixed); });
}

void SharedTerminal::LogText(std::string_view log, std::size_t shown) {
  if (shown == 0) pending_.clear();
  shared_.Print([&] {
    for (char c : log.substr(shown)) {
      if (c == '\r') continue;
      if (c == '\n') {
        inner_.OutLine(Prefixed(pending_));  // whole lines: other threads print whole lines too
        pending_.clear();
      } else {
        pending_ += c;
      }
    }
  });
}

void SharedTerminal::EndLog() {
  shared_.Print([&] {
    if (!pending_.empty()) inner_.OutLine(Prefixed(pending_));
    pending_.clear();
    inner_.EndLog();
  });
}

void SharedTerminal::FailureLine(std::string_view line) {
  shared_.Print([&] { inner_.FailureLine(Prefixed(line)); });
}

int SharedTerminal::Ask(std::string_view text, std::string_view caption) {
  return shared_.questions.Ask(text, [&] {
    int answer = kAnswerNo;
    shared_.Print([&] { answer = inner_.Ask(text, caption); });
    return answer;
  });
}

void SharedTerminal::ImageProgress(const std::string& file, std::uint32_t written,
                                   std::uint32_t total, bool finished, const std::string& runText) {
  if (shared_.HasBlock() && !quiet_)
    shared_.SetBlockLine(blockLine_, prefix_ + file + " " +
                                         std::to_string(total ? written * 100ull / total : 100) +
                                         "%  " + runText);
  else if (finished && !quiet_)
    ErrLines({file + " written, " + runText});
}

}  // namespace vesk::console
