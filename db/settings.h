// The four connection settings the suite's configuration carries.
#pragma once

#include <string>

namespace db {

// Where and as whom to connect. No port or socket is given: the client library's
// defaults apply (for "localhost" that is the Unix socket, which MYSQL_UNIX_PORT names).
struct ConnectionSettings {
  std::string host = "localhost";
  std::string user = "root";
  std::string password = "brqzlwhe";
  std::string database = "pellam";

  bool operator==(const ConnectionSettings&) const = default;
};

}  // namespace db
