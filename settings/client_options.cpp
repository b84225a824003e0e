// Reading the environment that says how to reach the server.
#include "settings/client_options.h"

#include <charconv>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace settings {

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// `what` names the setting in the error.
unsigned int Number(const std::string& value, const std::string& what) {
  unsigned int number = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (error != std::errc() || end != value.data() + value.size() || value.empty()) {
    throw std::runtime_error(what + " must be a number, not \"" + value + "\"");
  }
  return number;
}

}  // namespace

db::Transport ReadTransport() {
  db::Transport transport;
  if (const std::string socket = Env("MYSQL_UNIX_PORT"); !socket.empty()) {
    transport.socket = socket;
  }
  if (const std::string port = Env("MYSQL_TCP_PORT"); !port.empty()) {
    transport.port = Number(port, "MYSQL_TCP_PORT");
  }
  if (const std::string limit = Env("KELVANE_TEST_SILENCE_LIMIT"); !limit.empty()) {
    transport.silence_limit = Number(limit, "KELVANE_TEST_SILENCE_LIMIT");
  }
  return transport;
}

}  // namespace settings
