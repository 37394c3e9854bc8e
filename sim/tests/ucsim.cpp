#include "sim/tests/ucsim.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <unistd.h>

namespace vesk::sim::test {

namespace {

std::string ToIntelHex(const std::vector<std::uint8_t>& image) {
  std::string text;
  char field[16];
  for (std::size_t offset = 0; offset < image.size(); offset += 16) {
    const std::size_t count = std::min<std::size_t>(16, image.size() - offset);
    unsigned sum = static_cast<unsigned>(count + (offset >> 8) + offset);
    std::snprintf(field, sizeof field, ":%02X%04X00", unsigned(count), unsigned(offset));
    text += field;
    for (std::size_t i = offset; i < offset + count; ++i) {
      std::snprintf(field, sizeof field, "%02X", image[i]);
      text += field;
      sum += image[i];
    }
    std::snprintf(field, sizeof field, "%02X\n", -sum & 0xFF);
    text += field;
  }
  return text + ":00000001FF\n";
}

}  // namespace

bool RunInUcsim(const std::vector<std::uint8_t>& image, std::uint16_t stop_pc,
                MachineState& state, std::string& error) {
  // The process id keeps parallel test runs from sharing a file.
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("vesk-ucsim-" + std::to_string(getpid()) + ".ihx")).string();
  std::ofstream(path) << ToIntelHex(image);
  char commands[256];
  std::snprintf(commands, sizeof commands,
                " -t DS320 -b -e 'fill iram 0 0xff 0' -e 'fill xram 0 0xffff 0' -e 'break 0x%04x'"
                " -e run -e 'dump iram 0 0xff 1' -e 'dump sfr 0x80 0xff 1'"
                " -e 'dump xram 0x%04x 0x%04x 1' -e state -e quit ",
                stop_pc, kWindow, kWindow + kWindowSize - 1);
  // `timeout` ends a program that never stops.
  FILE* pipe = popen(("timeout 60 " VESK_S51 + std::string(commands) + path + " 2>&1").c_str(), "r");
  std::string output;
  char buffer[4096];
  for (std::size_t got; pipe && (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    output.append(buffer, got);
  if (pipe) pclose(pipe);
  std::remove(path.c_str());

  // "0x1f  [NAME:]  VV ." or, for named SFRs, "0xd0 PSW:   0b00000000 0x00 '.' 0"; the three
  // dumps follow each other: IRAM 0x00-0xFF, SFRs 0x80-0xFF, the XDATA window.
  static const std::regex kDump(
      R"(^0x([0-9a-fA-F]+)\s+(?:\S+:\s+0b[01]{8}\s+0x([0-9a-fA-F]{2})|(?:\S+:\s+)?([0-9a-fA-F]{2})\s))");
  static const std::regex kStop(R"(Stop at 0x([0-9a-fA-F]+): \(\d+\) Breakpoint)");
  static const std::regex kTicks(R"(Total time.*\((\d+) clks\))"), kInst(R"(Inst= (\d+))");
  state = MachineState{};
  state.xdata.assign(kWindowSize, 0);
  std::istringstream lines(output);
  std::string line;
  std::smatch match;
  int section = -1;
  unsigned previous = 0;
  bool stopped = false, ticks = false, instructions = false;
  while (std::getline(lines, line)) {
    if (std::regex_search(line, match, kStop)) {
      stopped = std::stoul(match[1].str(), nullptr, 16) == stop_pc;
    } else if (stopped && std::regex_search(line, match, kDump)) {
      const auto address = unsigned(std::stoul(match[1].str(), nullptr, 16));
      const auto value = std::uint8_t(std::stoul(match[match[2].matched ? 2 : 3].str(), nullptr, 16));
      if (section < 0 || (section == 0 && address <= previous) || (section == 1 && address > 0xFF))
        ++section;
      previous = address;
      if (section == 0 && address < 256) state.iram[address] = value;
      if (section == 1) state.sfrs[std::uint8_t(address)] = value;
      if (section == 2 && address >= kWindow && address < kWindow + kWindowSize)
        state.xdata[address - kWindow] = value;
    } else {
      // The breakpoint's instruction (SJMP ., 3 cycles) is counted.
      if (std::regex_search(line, match, kTicks)) {
        state.cycles = std::stoull(match[1].str()) / 4 - 3;
        ticks = true;
      }
      if (std::regex_search(line, match, kInst)) {
        state.instructions = std::stoull(match[1].str()) - 1;
        instructions = true;
      }
    }
  }
  if (!stopped || !ticks || !instructions || state.sfrs.size() < 100) {
    error = "s51 did not stop at " + std::to_string(stop_pc) + "; its output was:\n" +
            output.substr(0, 3000);
    return false;
  }
  return true;
}

}  // namespace vesk::sim::test
