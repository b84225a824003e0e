// Test support on every platform: files, temporary folders and the tests' backup folder.
#include "tests/test_support_files.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>

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
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path folder =
        fs::temp_directory_path() / (prefix + "." + std::to_string(random() % 1000000000));
    std::error_code error;
    if (fs::create_directory(folder, error)) {
      return folder;
    }
  }
  throw std::runtime_error("cannot make a temporary folder for " + prefix);
}

BackupFolder::BackupFolder() {
  const char* set = std::getenv("KELVANE_BACKUP_DIR");
  if (set == nullptr || *set == '\0') {
    made_ = MakeTempDir("kelvane-test-backups");
    SetEnvironment("KELVANE_BACKUP_DIR", made_.string());
  }
}

BackupFolder::~BackupFolder() {
  if (!made_.empty()) {
    std::error_code ignored;
    fs::remove_all(made_, ignored);
    SetEnvironment("KELVANE_BACKUP_DIR", "");
  }
}

}  // namespace testing_support
