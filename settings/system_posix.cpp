// What the operating system tells the program, on Linux and other POSIX systems.
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "db/ascii.h"
#include "settings/system.h"

namespace settings {

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string SystemErrorText(int error) {
  return std::strerror(error);
}

unsigned long ProcessId() {
  return static_cast<unsigned long>(::getpid());
}

std::string HostName() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) {
    return "";
  }
  return host;
}

std::optional<std::string> UserStateFolder() {
  // A relative XDG_STATE_HOME is invalid and to be ignored, as the base-directory rules say.
  if (std::string state = EnvironmentValue("XDG_STATE_HOME");
      !state.empty() && state.front() == '/') {
    return Utf8Path(FilePath(state) / "kelvane");
  }
  std::string home = EnvironmentValue("HOME");
  if (home.empty()) {
    if (const passwd* entry = ::getpwuid(::getuid());
        entry != nullptr && entry->pw_dir != nullptr) {
      home = entry->pw_dir;
    }
  }
  if (home.empty()) {
    return std::nullopt;
  }
  return Utf8Path(FilePath(home) / ".local" / "state" / "kelvane");
}

std::string SuiteConfigPath() {
  return "/zarnix/programs/zarfiles.ini";
}

std::tm LocalTime(std::time_t time) {
  std::tm local{};
  localtime_r(&time, &local);
  return local;
}

std::string CommandLineWord(const std::string& argument) {
  const bool plain = !argument.empty() && std::all_of(argument.begin(), argument.end(), [](char c) {
    return db::IsAsciiAlnum(c) || c == '/' || c == '.' || c == '_' || c == '-' || c == '+';
  });
  if (plain) {
    return argument;
  }
  std::string quoted = "'";
  for (char c : argument) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

}  // namespace settings
