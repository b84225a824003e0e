// How the command line meets the console it runs in: its arguments as UTF-8, UTF-8 output,
// whether standard output is a terminal. One implementation per platform (console_posix.cpp,
// console_windows.cpp).
#pragma once

#include <string>
#include <vector>

namespace app {

// The program's arguments after its name, as UTF-8 text (Windows hands a program its
// arguments in the system's code page; its wide command line is read instead).
std::vector<std::string> Arguments(int argc, char** argv);

// Makes the console show the program's UTF-8 output as such. `window`: the program opens its
// window and writes nothing to the console; a console made for it alone (a start from the
// menu) is then let go, so that only the window stays.
void PrepareConsole(bool window);

// Whether standard output is a terminal (not a file or a pipe).
bool StdoutIsTerminal();

}  // namespace app
