#include "sim/tests/ucsim.h"

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include <unistd.h>

namespace vesk::sim::test {

namespace {

// One line of `dump MEM a b 1`: "0x1f  [NAME:]  VV ." or, for named SFRs,
// "0xd0 PSW:   0b00000000 0x00 '.' 0".
bool ParseDumpLine(const std::string& line, unsigned& address, unsigned& value) {
  static const std::regex kNamed(R"(^0x([0-9a-fA-F]+)\s+\S+:\s+0b[01]{8}\s+0x([0-9a-fA-F]{2}))");
  static const std::regex kPlain(R"(^0x([0-9a-fA-F]+)\s+(?:\S+:\s+)?([0-9a-fA-F]{2})\s)");
  std::smatch match;
  if (std::regex_search(line, match, kNamed) || std::regex_search(line, match, kPlain)) {
    address = static_cast<unsigned>(std::stoul(match[1].str(), nullptr, 16));
    value = static_cast<unsigned>(std::stoul(match[2].str(), nullptr, 16));
    return true;
  }
  return false;
}

}  // namespace

bool RunInUcsim(const UcsimRun& run, const std::string& name, const std::string& hex,
                std::uint16_t stop_pc, MachineState& state, std::string& error) {
  // The process id keeps parallel test runs from sharing a file.
  const std::string path =
      run.work_dir + "/" + name + "-" + std::to_string(static_cast<long>(getpid())) + ".ihx";
  {
    std::ofstream file(path);
    file << hex;
    if (!file) {
      error = "cannot write " + path;
      return false;
    }
  }
  char stop[16];
  std::snprintf(stop, sizeof stop, "0x%04x", stop_pc);
  char window[48];
  std::snprintf(window, sizeof window, "dump xram 0x%04x 0x%04x 1", run.xdata_first,
                run.xdata_first + run.xdata_count - 1);
  // `timeout` ends a program that never stops.
  const std::string command = "timeout 60 " + run.s51 +
                              " -t DS320 -b -e 'fill iram 0 0xff 0' -e 'fill xram 0 0xffff 0'"
                              " -e 'break " +
                              stop +
                              "' -e run"
                              " -e 'dump iram 0 0xff 1' -e 'dump sfr 0x80 0xff 1'"
                              " -e '" +
                              window + "' -e state -e quit " + path + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    error = "cannot run " + run.s51;
    return false;
  }
  std::string output;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  pclose(pipe);
  std::remove(path.c_str());

  state = MachineState{};
  state.xdata.assign(run.xdata_count, 0);
  std::istringstream lines(output);
  std::string line;
  // The dumps follow each other: IRAM 0x00-0xFF, SFRs 0x80-0xFF, then the XDATA window.
  enum class Section { None, Iram, Sfr, Xram } section = Section::None;
  unsigned previous = 0;
  bool stopped = false;
  std::uint64_t ticks = 0;
  std::uint64_t instructions = 0;
  bool have_ticks = false;
  bool have_instructions = false;
  std::smatch match;
  static const std::regex kStop(R"(Stop at 0x([0-9a-fA-F]+): \(\d+\) Breakpoint)");
  static const std::regex kTicks(R"(\((\d+) clks\))");
  static const std::regex kInst(R"(Inst= (\d+))");
  while (std::getline(lines, line)) {
    if (std::regex_search(line, match, kStop)) {
      stopped = std::stoul(match[1].str(), nullptr, 16) == stop_pc;
      continue;
    }
    unsigned address = 0;
    unsigned value = 0;
    if (stopped && ParseDumpLine(line, address, value)) {
      if (section == Section::None) {
        section = Section::Iram;
      } else if (section == Section::Iram && address <= previous) {
        section = Section::Sfr;
      } else if (section == Section::Sfr && address > 0xFF) {
        section = Section::Xram;
      }
      previous = address;
      if (section == Section::Iram && address < 256) {
        state.iram[address] = static_cast<std::uint8_t>(value);
      } else if (section == Section::Sfr) {
        state.sfrs[static_cast<std::uint8_t>(address)] = static_cast<std::uint8_t>(value);
      } else if (address >= run.xdata_first && address < run.xdata_first + run.xdata_count) {
        state.xdata[address - run.xdata_first] = static_cast<std::uint8_t>(value);
      }
      continue;
    }
    {
      if (line.find("Total time") != std::string::npos && std::regex_search(line, match, kTicks)) {
        ticks = std::stoull(match[1].str());
        have_ticks = true;
      }
      if (std::regex_search(line, match, kInst)) {
        instructions = std::stoull(match[1].str());
        have_instructions = true;
      }
    }
  }
  if (!stopped || !have_ticks || !have_instructions || state.sfrs.size() < 100) {
    error =
        "s51 did not stop at " + std::string(stop) + "; its output was:\n" + output.substr(0, 3000);
    return false;
  }
  // The breakpoint's instruction (our programs end in SJMP ., 3 cycles) is counted.
  state.cycles = ticks / 4 - 3;
  state.instructions = instructions - 1;
  return true;
}

}  // namespace vesk::sim::test
