#include <iostream>
#include <string>
#include <vector>

#include "app/console/console_app.h"
#include "app/console/interruption.h"
#include "app/console/terminal.h"
#include "device/back_ends/back_ends.h"

int main(int argc, char** argv) {
  vesk::console::InstallInterruptionHandlers();
  const std::vector<std::string> arguments = vesk::console::CommandLineArguments(argc, argv);
  std::vector<const char*> utf8;
  for (const std::string& argument : arguments) utf8.push_back(argument.c_str());

  vesk::console::ConsoleEnvironment environment{std::cin,
                                                std::cout,
                                                std::cerr,
                                                vesk::console::StandardErrorIsTerminal()};
  environment.interruptionStatus = vesk::console::InterruptionExitStatus;
  environment.terminalColumns = vesk::console::TerminalColumns;
  environment.inIsTerminal = vesk::console::StandardInputIsTerminal();
  environment.enableBackEndDebugOutput = vesk::EnableBackEndDebugOutput;
  return vesk::console::RunConsole(static_cast<int>(utf8.size()), utf8.data(), environment);
}
