// The connection settings: the four the suite's configuration carries, and how to reach the
// server (the client option files' and the environment's part).
#pragma once

#include <string>

namespace db {

// How to reach the server and how the link is protected. Filled at the program's edge from
// the client option files and the environment; the defaults are the client library's (its
// port and socket) with TLS used whenever the server offers it.
struct Transport {
  unsigned int port = 0;  // 0: the client library's default
  std::string socket;     // empty: the client library's default
  std::string ssl_ca;
  std::string ssl_cert;
  std::string ssl_key;
  bool ssl_verify_server_cert = false;

  // Off: never TLS. Preferred: TLS when the server offers it. Required: TLS or no session.
  enum class Tls { kOff, kPreferred, kRequired };

  Tls tls = Tls::kPreferred;

  // How long, in seconds, the server keeps a silent session of ours before ending it (its
  // wait_timeout, net_read_timeout and net_write_timeout); 0 keeps kSessionSilenceLimit.
  // Only tests shorten it.
  unsigned int silence_limit = 0;

  bool operator==(const Transport&) const = default;
};

// Where and as whom to connect.
struct ConnectionSettings {
  std::string host = "localhost";
  std::string user = "root";
  std::string password = "brqzlwhe";
  std::string database = "pellam";
  Transport transport;

  bool operator==(const ConnectionSettings&) const = default;
};

}  // namespace db
