// What the operating system tells the program, on Windows.
#include <windows.h>

#include <shlobj.h>

#include <cstring>
#include <ctime>

#include "settings/system.h"
#include "settings/windows_text.h"

namespace settings {

std::string EnvironmentValue(const char* name) {
  const std::wstring wide_name = Wide(name);
  const DWORD needed = ::GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (needed == 0) {
    return "";
  }
  std::wstring value(needed, L'\0');
  const DWORD length = ::GetEnvironmentVariableW(wide_name.c_str(), value.data(), needed);
  value.resize(length < needed ? length : 0);
  return Narrow(value);
}

std::string SystemErrorText(int error) {
  return std::strerror(error);
}

unsigned long ProcessId() {
  return ::GetCurrentProcessId();
}

std::string HostName() {
  wchar_t name[256] = {};
  DWORD length = 255;
  if (!::GetComputerNameExW(ComputerNameDnsHostname, name, &length)) {
    return "";
  }
  return Narrow(std::wstring(name, length));
}

std::optional<std::string> UserStateFolder() {
  PWSTR folder = nullptr;
  std::optional<std::string> found;
  if (::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder) == S_OK) {
    found = Narrow(folder) + "\\Kelvane";
  }
  ::CoTaskMemFree(folder);
  if (!found) {
    if (const std::string local = EnvironmentValue("LOCALAPPDATA"); !local.empty()) {
      found = local + "\\Kelvane";
    }
  }
  return found;
}

std::string SuiteConfigPath() {
  // Without a drive letter: the root of the drive of the working folder, as the suite reads it.
  return "\\zarnix\\programs\\zarfiles.ini";
}

std::tm LocalTime(std::time_t time) {
  std::tm local{};
  localtime_s(&local, &time);
  return local;
}

std::string CommandLineWord(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"&|<>^%()") == std::string::npos) {
    return argument;
  }
  // The rule programs read their command line by: backslashes double only before a quote.
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

}  // namespace settings
