// Several emulated boards with --all on the sample images: the slowest board's simulated
// time against one board's (boards must not wait for each other), and the host time.
#include <chrono>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "app/console/console_app.h"
#include "app/console/real_driver.h"

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s SAMPLES_DIR\n", argv[0]);
    return 64;
  }
  const fs::path report = fs::temp_directory_path() /
                          ("vesk-multi-board-" + std::to_string(std::chrono::steady_clock::now()
                                                                     .time_since_epoch()
                                                                     .count()) +
                           ".json");
  std::printf("| boards | slowest board, simulated | against one board | host time | CPU time |\n");
  std::printf("|---|---|---|---|---|\n");
  double single = 0;
  for (const int boards : {1, 4, 12}) {
    const std::vector<std::string> args = {"vesk-update", "--emulated-boards", std::to_string(boards),
                                           "--all", "--yes", "-C", argv[1], "--report",
                                           report.string()};
    std::vector<const char*> argv2;
    for (const std::string& arg : args) argv2.push_back(arg.c_str());
    std::istringstream in;
    std::ostringstream out, err;
    vesk::console::ConsoleEnvironment environment{in, out, err, false,
                                                  vesk::console::MakeRealDriver, "emulated"};
    // The image reader's "Reading file" lines go to std::cout: keep them out of the table.
    std::streambuf* const console = std::cout.rdbuf(out.rdbuf());
    const std::clock_t cpuStart = std::clock();
    const auto start = std::chrono::steady_clock::now();
    const int status = vesk::console::RunConsole(static_cast<int>(argv2.size()), argv2.data(),
                                                 environment);
    const double host = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    std::cout.rdbuf(console);
    if (status != 0) {
      std::fprintf(stderr, "%d boards: exit status %d\n%s%s", boards, status, out.str().c_str(),
                   err.str().c_str());
      return 1;
    }
    std::ifstream file(report);
    const auto record = nlohmann::json::parse(file);
    double slowest = 0;
    for (const auto& board : record["boards"])
      slowest = std::max(slowest, board["board_seconds"].get<double>());
    if (boards == 1) single = slowest;
    std::printf("| %d | %.3f s | %.3fx (goal: at most 1.05x) | %.2f s | %.2f s |\n", boards,
                slowest, slowest / single, host, cpu);
  }
  fs::remove(report);
  return 0;
}
