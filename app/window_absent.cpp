// A build of the command line alone (KELVANE_WINDOW off): no window to open.
#include <iostream>

#include "app/window_main.h"

namespace app {

int RunWindow(int /*argc*/, char** /*argv*/, const std::string& /*config_path*/) {
  std::cerr << "kelvane: the window is not in this build; run it with --from and --to (see "
               "--help)\n";
  return 2;
}

}  // namespace app
