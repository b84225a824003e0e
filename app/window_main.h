// The window's side of the program: started when the command line asks for no mode.
#pragma once

#include <string>

namespace app {

// Runs the window (TForm1) until it is closed, reading the configuration at `config_path`;
// returns the program's exit status. A build without the window says so and returns 2.
int RunWindow(int argc, char** argv, const std::string& config_path);

}  // namespace app
