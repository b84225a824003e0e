// Reading the environment that says how to reach the server.
#include "settings/client_options.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "db/ascii.h"
#include "settings/system.h"

namespace settings {

namespace {

// `what` names the setting in the error.
unsigned int Number(const std::string& value, const std::string& what) {
  const std::optional<uint64_t> number = db::ParseUnsigned(value);
  if (!number || *number > std::numeric_limits<unsigned int>::max()) {
    throw std::runtime_error(what + " must be a number, not \"" + value + "\"");
  }
  return static_cast<unsigned int>(*number);
}

}  // namespace

db::Transport ReadTransport() {
  db::Transport transport;
  if (const std::string socket = EnvironmentValue("MYSQL_UNIX_PORT"); !socket.empty()) {
    transport.socket = socket;
  }
  if (const std::string port = EnvironmentValue("MYSQL_TCP_PORT"); !port.empty()) {
    transport.port = Number(port, "MYSQL_TCP_PORT");
  }
  if (const std::string limit = EnvironmentValue("KELVANE_TEST_SILENCE_LIMIT"); !limit.empty()) {
    transport.silence_limit = Number(limit, "KELVANE_TEST_SILENCE_LIMIT");
  }
  return transport;
}

}  // namespace settings
