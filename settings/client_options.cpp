// Reading the client option files and the environment that say how to reach the server.
#include "settings/client_options.h"

#include <dirent.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "db/ascii.h"

namespace settings {

namespace {

constexpr std::string_view kBlanks = " \t\r";
// Nested includes deeper than this are a loop.
constexpr int kMaxIncludeDepth = 10;

std::string_view Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool IsOurGroup(std::string_view group) {
  for (std::string_view ours : {"client", "client-server", "client-mariadb", "kelvane"}) {
    if (db::EqualsIgnoringCase(group, ours)) {
      return true;
    }
  }
  return false;
}

// The value with surrounding quotes removed, or up to an unquoted "#" comment.
std::string Unquoted(std::string_view value) {
  value = Trim(value);
  if (value.size() >= 2 && (value.front() == '\'' || value.front() == '"')) {
    const std::size_t close = value.find(value.front(), 1);
    if (close != std::string_view::npos) {
      return std::string(value.substr(1, close - 1));
    }
  }
  return std::string(Trim(value.substr(0, value.find('#'))));
}

bool Truth(const std::string& value, bool bare) {
  if (bare) {
    return true;
  }
  return !(value == "0" || db::EqualsIgnoringCase(value, "off") ||
           db::EqualsIgnoringCase(value, "false") || db::EqualsIgnoringCase(value, "no"));
}

// `what` names the setting in the error: "port in client option file \"...\"".
unsigned int Number(const std::string& value, const std::string& what) {
  unsigned int number = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (error != std::errc() || end != value.data() + value.size() || value.empty()) {
    throw std::runtime_error(what + " must be a number, not \"" + value + "\"");
  }
  return number;
}

void Apply(std::string key, const std::string& value, bool bare, const std::string& name,
           db::Transport& transport) {
  std::replace(key.begin(), key.end(), '_', '-');
  for (char& c : key) {
    c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  if (key.rfind("loose-", 0) == 0) {
    key.erase(0, 6);
  }
  if (key == "port") {
    transport.port = Number(value, "port in client option file \"" + name + "\"");
  } else if (key == "socket") {
    transport.socket = value;
  } else if (key == "ssl-ca" || key == "ssl-cert" || key == "ssl-key") {
    (key == "ssl-ca"     ? transport.ssl_ca
     : key == "ssl-cert" ? transport.ssl_cert
                         : transport.ssl_key) = value;
    transport.tls = db::Transport::Tls::kRequired;
  } else if (key == "ssl") {
    transport.tls = Truth(value, bare) ? db::Transport::Tls::kRequired : db::Transport::Tls::kOff;
  } else if (key == "skip-ssl" || key == "disable-ssl") {
    transport.tls = db::Transport::Tls::kOff;
  } else if (key == "ssl-verify-server-cert") {
    transport.ssl_verify_server_cert = Truth(value, bare);
  } else if (key == "skip-ssl-verify-server-cert" || key == "disable-ssl-verify-server-cert") {
    transport.ssl_verify_server_cert = false;
  }
}

void ApplyText(std::string_view text, const std::string& name, db::Transport& transport, int depth);

void ApplyFile(const std::string& path, db::Transport& transport, int depth) {
  if (depth > kMaxIncludeDepth) {
    throw std::runtime_error("client option file \"" + path + "\": includes nested too deep");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return;
  }
  std::ostringstream text;
  text << in.rdbuf();
  ApplyText(text.str(), path, transport, depth);
}

void ApplyDirectory(const std::string& dir, db::Transport& transport, int depth) {
  DIR* listing = ::opendir(dir.c_str());
  if (listing == nullptr) {
    return;
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string entry_name = entry->d_name;
    if (entry_name.size() > 4 && entry_name.substr(entry_name.size() - 4) == ".cnf") {
      names.push_back(entry_name);
    }
  }
  ::closedir(listing);
  std::sort(names.begin(), names.end());
  for (const std::string& file : names) {
    ApplyFile(dir + "/" + file, transport, depth + 1);
  }
}

void ApplyText(std::string_view text, const std::string& name, db::Transport& transport,
               int depth) {
  bool in_group = false;
  std::istringstream lines{std::string(text)};
  for (std::string raw; std::getline(lines, raw);) {
    const std::string_view line = Trim(raw);
    if (line.empty() || line.front() == '#' || line.front() == ';') {
      continue;
    }
    if (line.front() == '!') {
      const std::size_t blank = line.find_first_of(kBlanks);
      const std::string_view directive = line.substr(0, blank);
      const std::string target =
          blank == std::string_view::npos ? "" : std::string(Trim(line.substr(blank)));
      if (directive == "!include" && !target.empty()) {
        ApplyFile(target, transport, depth + 1);
      } else if (directive == "!includedir" && !target.empty()) {
        ApplyDirectory(target, transport, depth);
      }
      continue;
    }
    if (line.front() == '[') {
      const std::size_t close = line.find(']');
      in_group = close != std::string_view::npos && IsOurGroup(Trim(line.substr(1, close - 1)));
      continue;
    }
    if (!in_group) {
      continue;
    }
    const std::size_t equals = line.find('=');
    const std::string key(Trim(line.substr(0, equals)));
    if (equals == std::string_view::npos) {
      Apply(std::string(Trim(key.substr(0, key.find('#')))), "", true, name, transport);
    } else {
      Apply(key, Unquoted(line.substr(equals + 1)), false, name, transport);
    }
  }
}

}  // namespace

std::vector<std::string> OptionFilePaths(const std::string& home, const std::string& mysql_home,
                                         const std::string& mariadb_home) {
  std::vector<std::string> paths = {"/etc/my.cnf", "/etc/mysql/my.cnf"};
  if (!mariadb_home.empty()) {
    paths.push_back(mariadb_home + "/my.cnf");
  } else if (!mysql_home.empty()) {
    paths.push_back(mysql_home + "/my.cnf");
  }
  if (!home.empty()) {
    paths.push_back(home + "/.my.cnf");
  }
  return paths;
}

void ApplyOptionText(std::string_view text, const std::string& name, db::Transport& transport) {
  ApplyText(text, name, transport, 0);
}

void ApplyOptionFile(const std::string& path, db::Transport& transport) {
  ApplyFile(path, transport, 0);
}

db::Transport ReadTransport() {
  db::Transport transport;
  for (const std::string& path :
       OptionFilePaths(Env("HOME"), Env("MYSQL_HOME"), Env("MARIADB_HOME"))) {
    ApplyOptionFile(path, transport);
  }
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
