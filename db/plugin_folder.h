// Where the client library finds its authentication plugins (caching_sha2_password,
// client_ed25519, ...).
#pragma once

#include <string>

namespace db {

// The folder the program points the client library at for its plugins, or "" for the
// library's own default. On Windows the plugins travel with the program, in "plugin" beside
// the .exe; a plugin-dir in the client option files still wins.
std::string ClientPluginFolder();

}  // namespace db
