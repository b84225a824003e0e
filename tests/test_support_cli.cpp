// Test support: files, temporary folders and runs of the built program.
#include "tests/test_support_cli.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/test_db.h"

namespace testing_support {

namespace fs = std::filesystem;

std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

CliOutcome RunKelvane(const fs::path& dir, const db::ConnectionSettings& settings,
                      const std::string& args, const std::string& env) {
  const fs::path config = dir / "zarfiles.ini";
  WriteConfigFile(config.string(), settings);
  const char* bin = std::getenv("KELVANE_BIN");
  const std::string command = "cd " + ShellQuoted((dir / "work").string()) + " && " +
                              (env.empty() ? "" : "env " + env) +
                              " KELVANE_CONFIG=" + ShellQuoted(config.string()) + " " +
                              ShellQuoted(bin != nullptr ? bin : "kelvane") + " " + args + " >" +
                              ShellQuoted((dir / "out").string()) + " 2>" +
                              ShellQuoted((dir / "err").string()) + " </dev/null";
  const int raw = std::system(command.c_str());
  CliOutcome outcome;
  outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  outcome.out = ReadFile(dir / "out");
  outcome.err = ReadFile(dir / "err");
  return outcome;
}

}  // namespace testing_support
