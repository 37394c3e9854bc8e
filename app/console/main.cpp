#include <iostream>

#include "app/console/console_app.h"
#include "app/console/real_driver.h"
#include "app/console/terminal.h"

int main(int argc, char** argv) {
  vesk::console::ConsoleEnvironment environment{std::cin,
                                                std::cout,
                                                std::cerr,
                                                vesk::console::StandardErrorIsTerminal(),
                                                vesk::console::MakeRealDriver,
                                                vesk::console::DefaultBoard()};
  return vesk::console::RunConsole(argc, argv, environment);
}
