#pragma once
// What the console asks of the platform's terminal.

#include <string>
#include <vector>

namespace vesk::console {

// True when standard error is an interactive terminal (then a progress bar is drawn).
bool StandardErrorIsTerminal();
// True when standard input is one (which then echoes the line end of an answer).
bool StandardInputIsTerminal();

// The width of the terminal standard error goes to, in columns; 80 when it is unknown.
int TerminalColumns();

// The program's arguments as UTF-8 text, argv[0] first. On Windows they are taken from
// the wide command line, so that any Unicode path comes through.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// This computer's name, for the run's report; empty when the system does not say.
std::string HostName();

}  // namespace vesk::console
