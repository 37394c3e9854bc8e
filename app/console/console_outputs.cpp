#include "app/console/console_outputs.h"

#include <filesystem>
#include <ostream>
#include <string_view>
#include <utility>
#include <vector>

#include "app/console/output_file.h"
#include "images/image_downloads.h"

namespace vesk::console {
namespace {

namespace fs = std::filesystem;

// The first output that is another output or an input, as a usage error naming both;
// empty when there is none. Inputs that do not exist cannot be overwritten, so only
// outputs are compared by the path they will have.
std::string OutputClash(const Options& options, bool readCommand, bool restoreCommand) {
  struct Named {
    std::string what;
    std::string path;
  };
  std::vector<Named> outputs, inputs;
  const auto output = [&](const char* option, const std::string& path) {
    if (!path.empty() && path != "-") outputs.push_back({std::string(option) + " " + path, path});
  };
  output("--log", options.logFile);
  output("--eeprom-out", options.eepromOut);
  output("--backup", options.backupFile);
  if (readCommand) output("read's FILE", options.commandFile);
  output("--report", options.report);
  output("--report-append", options.reportAppend);
  for (const ImagePlace* place : kImagePlaces)
    inputs.push_back({"the image file " + *place->file, *place->file});
  if (!options.eepromIn.empty())
    inputs.push_back({"--eeprom-in " + options.eepromIn, options.eepromIn});
  if (restoreCommand)
    inputs.push_back({"restore's FILE " + options.commandFile, options.commandFile});

  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const fs::path path = PathFromUtf8(outputs[i].path);
    for (std::size_t j = i + 1; j < outputs.size(); ++j)
      if (SameFile(path, PathFromUtf8(outputs[j].path)))
        return outputs[i].what + " and " + outputs[j].what + " are the same file";
    for (const Named& input : inputs) {
      std::error_code error;
      const fs::path inputPath = PathFromUtf8(input.path);
      if (fs::exists(inputPath, error) && SameFile(path, inputPath))
        return outputs[i].what + " is " + input.what + ": an output would destroy an input";
    }
  }
  return {};
}

}  // namespace

std::optional<std::string> OutputProblem(const Options& options) {
  // Relative output paths follow -C, as the images do.
  const std::string* readFile = options.command == Command::Read ? &options.commandFile : nullptr;
  for (const auto& [option, path] :
       {std::pair{"--log", &options.logFile}, std::pair{"--eeprom-out", &options.eepromOut},
        std::pair{"--backup", &options.backupFile}, std::pair{"read", readFile},
        std::pair{"--report", &options.report},
        std::pair{"--report-append", &options.reportAppend}}) {
    if (path == nullptr || path->empty() || (path == &options.report && *path == "-")) continue;
    const std::string problem = OutputPathProblem(PathFromUtf8(*path));
    if (!problem.empty()) return std::string(option) + " " + *path + ": " + problem;
  }
  if (const std::string clash = OutputClash(options, options.command == Command::Read,
                                            options.command == Command::Restore);
      !clash.empty())
    return clash;
  return std::nullopt;
}

bool WriteOutputs(ConsoleEnvironment& env, const Options& options, const RunReport& report,
                  const EmulatedSlot* slot) {
  bool outputsWritten = true;
  const auto write = [&](const std::string& path, std::string_view bytes, const char* what) {
    if (path == "-") {
      env.out << bytes << std::flush;
      if (env.out) return;
    } else if (WriteFileAtomically(PathFromUtf8(path), bytes, env.beforeOutputRename)) {
      return;
    }
    env.err << "vesk-update: cannot write " << what << " " << path << "\n";
    outputsWritten = false;
  };
  // --log and --eeprom-out belong to one board's run.
  if (!options.logFile.empty() && report.boards.size() == 1)
    write(options.logFile, report.boards.front().log, "the log file");
  if (slot != nullptr && !options.eepromOut.empty()) {
    const std::vector<std::uint8_t> image = slot->board.SaveEepromImage();
    write(options.eepromOut, {reinterpret_cast<const char*>(image.data()), image.size()},
          "the EEPROM image");
  }
  if (!options.report.empty() && options.command == Command::Run)
    write(options.report, ReportJson(report, false), "the report");
  if (!options.reportAppend.empty() &&
      !AppendRecord(PathFromUtf8(options.reportAppend), ReportJson(report, true))) {
    env.err << "vesk-update: cannot append to the report history " << options.reportAppend << "\n";
    outputsWritten = false;
  }
  return outputsWritten;
}

}  // namespace vesk::console
