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

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

fs::path MakeTempDir(const std::string& prefix) {
  std::string pattern = (fs::temp_directory_path() / (prefix + ".XXXXXX")).string();
  const char* made = ::mkdtemp(pattern.data());
  if (made == nullptr) {
    throw std::runtime_error("cannot make a temporary folder " + pattern);
  }
  return made;
}

std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

BackupFolder::BackupFolder() {
  const char* set = std::getenv("KELVANE_BACKUP_DIR");
  if (set == nullptr || *set == '\0') {
    made_ = MakeTempDir("kelvane-test-backups");
    setenv("KELVANE_BACKUP_DIR", made_.c_str(), 1);
  }
}

BackupFolder::~BackupFolder() {
  if (!made_.empty()) {
    std::error_code ignored;
    fs::remove_all(made_, ignored);
    unsetenv("KELVANE_BACKUP_DIR");
  }
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
