// Opening a session of the client library for db::Connection: what the program sets, what
// the client option files add, and what is settled before the session is used.
#pragma once

#include "db/settings.h"

struct st_mysql;

namespace db {

// Connects as `settings` say, with the waits of db/connection.h and character set utf8mb4,
// and with what the client option files add: the client library reads them while connecting
// (the groups [client], [client-server], [client-mariadb] and [kelvane]). Host, user, pass
// phrase and database are the settings' alone (one the settings leave empty and a file names
// is refused); their port and socket, where given, win over the files'. TLS is used whenever
// the server offers it, unless the files turn it off; where they ask for it (any TLS file,
// cipher or fingerprint, or verification of the server's certificate), a session without it
// is refused. The session takes several statements a request only when `multi_statements`,
// never reconnects by itself, and has utf8mb4 unless the server refused it (the caller's
// check). Returns the open handle, which the caller closes; throws db::Error naming the
// database, host and user.
st_mysql* Connect(const ConnectionSettings& settings, bool multi_statements);

}  // namespace db
