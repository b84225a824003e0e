// Test support on POSIX systems: modes and the environment.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "tests/test_support_files.h"

namespace testing_support {

std::string AccessProblem(const std::filesystem::path& path) {
  struct stat info {};

  if (::stat(path.c_str(), &info) != 0) {
    return "cannot be read";
  }
  const unsigned mode = info.st_mode & 07777;
  if (mode == (S_ISDIR(info.st_mode) ? 0700u : 0600u)) {
    return "";
  }
  char text[16];
  std::snprintf(text, sizeof text, "mode %04o", mode);
  return text;
}

bool KeepsAccessLists() {
  return true;
}

void SetEnvironment(const std::string& name, const std::string& value) {
  if (value.empty()) {
    ::unsetenv(name.c_str());
  } else {
    ::setenv(name.c_str(), value.c_str(), 1);
  }
}

}  // namespace testing_support
