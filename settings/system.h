// What the operating system tells the program and how it names things: environment values,
// the text of a system error, this process, the user's folders, the suite's configuration
// file, local time, file names. One implementation per platform (system_posix.cpp,
// system_windows.cpp); nothing above this folder asks which platform it is on.
#pragma once

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

namespace settings {

// The value of environment variable `name` (UTF-8); "" when it is not set.
std::string EnvironmentValue(const char* name);

// The system's text for error number `error` (an errno value), e.g. "No such file or
// directory".
std::string SystemErrorText(int error);

// This process's id.
unsigned long ProcessId();

// The name of this machine; "" when it cannot be found.
std::string HostName();

// The folder of this program's state for the current user, which need not exist yet:
// $XDG_STATE_HOME/kelvane (when an absolute path), else ~/.local/state/kelvane on Linux;
// %LOCALAPPDATA%\Kelvane on Windows. nullopt when the user has no such folder (no home
// folder known).
std::optional<std::string> UserStateFolder();

// Where the suite keeps its configuration: "\zarnix\programs\zarfiles.ini" from the root of
// the file system, which on Windows is the drive of the working folder.
std::string SuiteConfigPath();

// `time` in the local time zone.
std::tm LocalTime(std::time_t time);

// `argument` as a command line of the platform's own shell takes it back as one word:
// unchanged when it needs no quoting, else quoted (sh's single quotes; cmd's double quotes).
std::string CommandLineWord(const std::string& argument);

// A path for the file system from its UTF-8 text, and back: the program's texts are UTF-8,
// which on Windows is not the code page a narrow path would be read in.
inline std::filesystem::path FilePath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string Utf8Path(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace settings
