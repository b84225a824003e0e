// The client library's plugins on POSIX systems: where the library's package put them.
#include "db/plugin_folder.h"

namespace db {

std::string ClientPluginFolder() {
  return "";
}

}  // namespace db
