// Fuzz target: an escaped, quoted value sent to the server is stored as exactly the bytes
// it was made from, in a binary column always and in a utf8mb4 text column when the bytes
// are valid UTF-8. Needs the private server (KELVANE_TEST_SOCKET, _USER, _PASSWORD).
#include <mysql.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "db/connection.h"
#include "db/error.h"
#include "db/query.h"
#include "db/sql_text.h"

namespace {

std::unique_ptr<db::Connection> g_connection;
std::string g_database;

std::string Env(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

void PrintHex(const std::string& bytes) {
  for (unsigned char c : bytes) {
    std::fprintf(stderr, "%02x", c);
  }
  std::fprintf(stderr, "\n");
}

[[noreturn]] void Fail(const char* what, const std::string& input, const std::string& got) {
  std::fprintf(stderr, "round trip broken: %s\n  input: ", what);
  PrintHex(input);
  std::fprintf(stderr, "  got:   ");
  PrintHex(got);
  std::abort();
}

// Strict UTF-8 as utf8mb4 stores it: no overlong forms, no surrogates, nothing above
// U+10FFFF.
bool IsValidUtf8(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = byte(i);
    std::size_t extra;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      cp = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      cp = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      cp = c & 0x07u;
    } else {
      return false;
    }
    if (i + extra >= s.size()) {
      return false;
    }
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80) {
        return false;
      }
      cp = (cp << 6) | (byte(i + k) & 0x3Fu);
    }
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

void DropScratchDatabase() {
  if (g_connection) {
    try {
      g_connection->Execute("DROP DATABASE IF EXISTS `" + g_database + "`");
    } catch (const std::exception& e) {
      std::fprintf(stderr, "could not drop %s: %s\n", g_database.c_str(), e.what());
    }
    g_connection.reset();
  }
  mysql_library_end();
}

// Sends the statement; a refusal is a fault of the escaping, so it ends the run.
void Execute(const std::string& sql, const std::string& input) {
  try {
    g_connection->Execute(sql);
  } catch (const db::Error& e) {
    std::fprintf(stderr, "server refused the statement: %s\n", e.what());
    Fail("statement refused", input, sql);
  }
}

std::string FetchOne(const std::string& column) {
  db::Result result = g_connection->Query("SELECT " + column + " FROM roundtrip WHERE id = 1");
  if (result.Eof() || result.IsNull(0)) {
    return "<no value>";
  }
  return std::string(result.Value(0));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  std::string socket = Env("KELVANE_TEST_SOCKET", "");
  if (socket.empty()) {
    std::fprintf(stderr,
                 "fuzz_escape_roundtrip needs the private server: set "
                 "KELVANE_TEST_SOCKET, KELVANE_TEST_USER and KELVANE_TEST_PASSWORD\n");
    std::exit(2);
  }
  db::ConnectionSettings settings;
  settings.host = "localhost";
  settings.transport.socket = socket;
  settings.user = Env("KELVANE_TEST_USER", "kelvane");
  settings.password = Env("KELVANE_TEST_PASSWORD", "kelvane");
  settings.database = "";
  g_database = "kfuzz_" + std::to_string(getpid());
  try {
    g_connection = std::make_unique<db::Connection>(settings);
    g_connection->Execute("CREATE DATABASE `" + g_database + "` CHARACTER SET utf8mb4");
    g_connection->Execute("USE `" + g_database + "`");
    // The limits leave room for -max_len 4096 with every byte escaped.
    g_connection->Execute(
        "CREATE TABLE roundtrip (id INT PRIMARY KEY, b VARBINARY(8192) NULL, "
        "t TEXT CHARACTER SET utf8mb4 COLLATE utf8mb4_bin NULL) ENGINE=InnoDB");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fuzz_escape_roundtrip: setting up %s failed: %s\n", g_database.c_str(),
                 e.what());
    std::exit(2);
  }
  std::atexit(DropScratchDatabase);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::string literal = QuoteString(EscapeString(input));
  Execute("REPLACE INTO roundtrip (id, b, t) VALUES (1, " + literal + ", NULL)", input);
  std::string stored = FetchOne("b");
  if (stored != input) {
    Fail("binary column differs", input, stored);
  }
  if (IsValidUtf8(input)) {
    Execute("REPLACE INTO roundtrip (id, b, t) VALUES (1, NULL, " + literal + ")", input);
    stored = FetchOne("t");
    if (stored != input) {
      Fail("utf8mb4 column differs", input, stored);
    }
  }
  return 0;
}
