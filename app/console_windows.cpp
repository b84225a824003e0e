// The console on Windows: the wide command line, the UTF-8 code page, and a console that a
// window does not need.
#include <windows.h>

#include <io.h>
#include <shellapi.h>

#include <cstdio>

#include "app/console.h"

namespace app {

namespace {

std::string Utf8(const wchar_t* wide) {
  const int length = ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) {
    return {};
  }
  std::string text(static_cast<std::size_t>(length - 1), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), length, nullptr, nullptr);
  return text;
}

}  // namespace

std::vector<std::string> Arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) {
    return std::vector<std::string>(argv + 1, argv + argc);
  }
  std::vector<std::string> arguments;
  for (int i = 1; i < count; ++i) {
    arguments.push_back(Utf8(wide[i]));
  }
  ::LocalFree(wide);
  return arguments;
}

void PrepareConsole(bool window) {
  ::SetConsoleOutputCP(CP_UTF8);
  if (window) {
    // A console of this process alone was opened for it (a start from the menu or the
    // desktop), not one the user typed the command in: the window is all they asked for.
    DWORD processes[2] = {};
    if (::GetConsoleProcessList(processes, 2) == 1) {
      ::FreeConsole();
    }
  }
}

bool StdoutIsTerminal() {
  return _isatty(_fileno(stdout)) != 0;
}

}  // namespace app
