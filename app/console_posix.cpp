// The console on POSIX systems: arguments and output are UTF-8 already.
#include <unistd.h>

#include "app/console.h"

namespace app {

std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + 1, argv + argc);
}

void PrepareConsole(bool /*window*/) {}

bool StdoutIsTerminal() {
  return ::isatty(STDOUT_FILENO) != 0;
}

}  // namespace app
