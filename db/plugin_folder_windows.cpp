// The client library's plugins on Windows: in "plugin" beside the program, as installed.
#include <windows.h>

#include "db/plugin_folder.h"

namespace db {

std::string ClientPluginFolder() {
  // The library loads plugins with the system code page's functions, so the path is given
  // in that code page too.
  char path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    return "";
  }
  std::string folder(path, length);
  const std::size_t slash = folder.find_last_of("\\/");
  return slash == std::string::npos ? "" : folder.substr(0, slash) + "\\plugin";
}

}  // namespace db
