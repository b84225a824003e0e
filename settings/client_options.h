// How to reach the server: the environment's part. The client option files every client of
// the server reads are read by the client library itself, when it connects (db::Connection).
// The one place the program reads the transport's environment.
#pragma once

#include "db/settings.h"

namespace settings {

// The transport of every connection the program opens: MYSQL_UNIX_PORT (socket) and
// MYSQL_TCP_PORT (port) where set, which win over the option files, as for the stock
// clients. KELVANE_TEST_SILENCE_LIMIT (seconds), only for tests, shortens how long the server
// keeps a silent session. Throws std::runtime_error for a port or limit that is not a number.
db::Transport ReadTransport();

}  // namespace settings
