// The connection settings: the four the suite's configuration carries, and how to reach the
// server (the environment's part).
#pragma once

#include <string>

namespace db {

// How to reach the server, as far as the program itself decides it. Everything else about
// the link (TLS and its checks, the protocol, the client's own limits) the client library
// reads from the client option files when it connects (see Connection); a port or socket
// given here wins over theirs.
struct Transport {
  unsigned int port = 0;  // 0: the option files', else the client library's default
  std::string socket;     // empty: the option files', else the client library's default

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
