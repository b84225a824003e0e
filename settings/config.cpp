// Reading the suite's configuration, and writing and reading back "Utility.ini".
#include "settings/config.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "db/ascii.h"
#include "settings/durable_file.h"
#include "settings/system.h"

namespace settings {

namespace {

// Splits text into lines at LF, dropping one CR before each LF (and a CR at the very end).
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    lines.push_back(line);
    if (end == std::string_view::npos) {
      break;
    }
    text.remove_prefix(end + 1);
  }
  return lines;
}

// The file's bytes; nullopt when it cannot be opened or read (errno says why, where the
// system set it).
std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::ifstream in(FilePath(path), std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    return std::nullopt;
  }
  return text.str();
}

[[noreturn]] void FailWrite(const std::string& path, const char* what, const std::string& why) {
  throw std::runtime_error("I/O error: cannot " + std::string(what) + " \"" + path + "\": " + why);
}

}  // namespace

std::string ConfigPath() {
  const std::string path = EnvironmentValue("KELVANE_CONFIG");
  return !path.empty() ? path : SuiteConfigPath();
}

db::ConnectionSettings ParseConfig(std::string_view ini_text) {
  if (ini_text.substr(0, 3) == "\xEF\xBB\xBF") {
    ini_text.remove_prefix(3);
  }
  std::optional<std::string> host, user, password, database;
  bool in_section = false;
  for (std::string_view line : Lines(ini_text)) {
    line = db::Trim(line);
    if (line.empty() || line.front() == ';' || line.front() == '#') {
      continue;
    }
    if (line.front() == '[') {
      const std::size_t close = line.find(']');
      in_section = close != std::string_view::npos &&
                   db::EqualsIgnoringCase(db::Trim(line.substr(1, close - 1)), "ZarfilesNdx");
      continue;
    }
    const std::size_t equals = line.find('=');
    if (!in_section || equals == std::string_view::npos) {
      continue;
    }
    const std::string_view key = db::Trim(line.substr(0, equals));
    const std::string value(db::Trim(line.substr(equals + 1)));
    for (auto [name, slot] : {std::pair{"mdbserv", &host}, std::pair{"mdbuser", &user},
                              std::pair{"mdbpass", &password}, std::pair{"mdbbase", &database}}) {
      if (db::EqualsIgnoringCase(key, name) && !slot->has_value()) {
        *slot = value;
      }
    }
  }
  db::ConnectionSettings settings;
  settings.host = host.value_or("localhost");
  settings.user = user.value_or("root");
  settings.password = password.value_or("brqzlwhe");
  settings.database = database.value_or("pellam");
  return settings;
}

db::ConnectionSettings ReadConfig(const std::string& path) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(FilePath(path), error);
  if (status.type() == std::filesystem::file_type::not_found) {
    return ParseConfig("");
  }
  // A file that is there but unreadable is not "missing": quietly connecting with the
  // built-in defaults could reach a different database than the one configured.
  const auto refuse = [&path](const std::string& why) {
    throw std::runtime_error("cannot read the configuration file \"" + path + "\": " + why);
  };
  if (error) {
    refuse(error.message());
  }
  if (status.type() == std::filesystem::file_type::directory) {
    refuse(SystemErrorText(EISDIR));
  }
  errno = 0;
  const std::optional<std::string> text = ReadWholeFile(path);
  if (!text) {
    refuse(SystemErrorText(errno != 0 ? errno : EIO));
  }
  return ParseConfig(*text);
}

std::string UtilityIniText(const db::ConnectionSettings& settings) {
  return "DriverID=MySQL\r\n"
         "server=" +
         settings.host + "\r\nUser_Name=" + settings.user + "\r\nPassword=" + settings.password +
         "\r\ndatabase=" + settings.database + "\r\n";
}

void WriteUtilityIni(const std::string& path, const db::ConnectionSettings& settings) {
  // Renamed into place: the name is replaced, never a file a symbolic link of that name
  // points to. Mode 0600, as the pass phrase needs.
  try {
    WriteFileReplacing(path, UtilityIniText(settings), 0600);
  } catch (const DurableWriteError& e) {
    FailWrite(path, e.step(), e.what());
  }
}

db::ConnectionSettings ParseUtilityIni(std::string_view text) {
  db::ConnectionSettings settings{"", "", "", "", {}};
  std::optional<std::string> driver;
  for (std::string_view line : Lines(text)) {
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      continue;
    }
    const std::string_view name = line.substr(0, equals);
    const std::string value(line.substr(equals + 1));
    if (db::EqualsIgnoringCase(name, "DriverID")) {
      driver = value;
    } else if (db::EqualsIgnoringCase(name, "server")) {
      settings.host = value;
    } else if (db::EqualsIgnoringCase(name, "User_Name")) {
      settings.user = value;
    } else if (db::EqualsIgnoringCase(name, "Password")) {
      settings.password = value;
    } else if (db::EqualsIgnoringCase(name, "database")) {
      settings.database = value;
    }
  }
  if (!driver || !db::EqualsIgnoringCase(*driver, "MySQL")) {
    throw std::runtime_error("utility.ini: DriverID must be MySQL");
  }
  return settings;
}

db::ConnectionSettings LoadUtilityIni(const std::string& dir) {
  std::error_code error;
  std::filesystem::directory_iterator listing(FilePath(dir), error);
  if (error) {
    throw std::runtime_error("I/O error: cannot list \"" + dir + "\": " + error.message());
  }
  std::string found;
  for (const std::filesystem::directory_entry& entry : listing) {
    const std::string name = Utf8Path(entry.path().filename());
    // Several spellings can coexist on a case-sensitive file system; the one that
    // OpenDatabases has just written is the one meant.
    if (db::EqualsIgnoringCase(name, "utility.ini") && (found.empty() || name == "Utility.ini")) {
      found = name;
    }
  }
  if (found.empty()) {
    throw std::runtime_error("I/O error: no file \"utility.ini\" in \"" + dir + "\"");
  }
  const std::string path = Utf8Path(FilePath(dir) / FilePath(found));
  const std::optional<std::string> text = ReadWholeFile(path);
  if (!text) {
    throw std::runtime_error("I/O error: cannot read \"" + path + "\"");
  }
  return ParseUtilityIni(*text);
}

}  // namespace settings
