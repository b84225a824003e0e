// The program's command line: the window, or one run without a window.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace app {

// What the command line asks for.
struct CommandLine {
  bool help = false;
  bool version = false;
  std::optional<std::string> from_code;  // with to_code: a run without a window
  std::optional<std::string> to_code;
  std::optional<std::string> config_path;
};

// Parses the arguments after the program name. Returns the text of a usage error in `error`
// (and a default CommandLine) when they are not understood.
CommandLine ParseCommandLine(const std::vector<std::string>& args, std::string& error);

// The usage text printed by --help.
std::string UsageText();

// The whole program: no arguments open the window; --from and --to run the copy without a
// window, printing each step's status text as a line on stdout and messages on stderr.
// Returns the exit status: 0 done, 1 a failure (text on stderr), 2 bad usage or refused
// codes (nothing changed).
int Main(int argc, char** argv);

}  // namespace app
