// One MySQL connection that opens itself with the first statement.
#include "db/connection.h"

#include <mysql.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "db/error.h"
#include "db/query.h"
#include "db/sql_text.h"

namespace db {

namespace {

// Statements of our own that prepare a session; they are not shown to the observer.
constexpr const char* kSessionSetup =
    "SET SESSION sql_mode = TRIM(BOTH ',' FROM REPLACE(CONCAT(',', @@SESSION.sql_mode, ','), "
    "',NO_BACKSLASH_ESCAPES,', ','))";

}  // namespace

Connection::Connection() = default;

Connection::Connection(ConnectionSettings settings) : settings_(std::move(settings)) {}

Connection::~Connection() {
  Close();
}

void Connection::SetSettings(ConnectionSettings settings) {
  Close();
  settings_ = std::move(settings);
}

void Connection::Close() {
  if (mysql_ != nullptr) {
    mysql_close(mysql_);
    mysql_ = nullptr;
  }
}

void Connection::DropIfGone() {
  if (mysql_ != nullptr && mysql_ping(mysql_) != 0) {
    Close();
  }
}

unsigned long Connection::ThreadId() const {
  return mysql_ != nullptr ? mysql_thread_id(mysql_) : 0;
}

void Connection::Open() {
  if (mysql_ != nullptr) {
    return;
  }
  MYSQL* mysql = mysql_init(nullptr);
  if (mysql == nullptr) {
    throw Error("Out of memory opening a MySQL connection");
  }
  mysql_optionsv(mysql, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  unsigned int timeout = 10;
  mysql_optionsv(mysql, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  // No port or socket is configured, so the client's defaults apply; for the local host
  // that includes the socket named by MYSQL_UNIX_PORT, which we pass on explicitly.
  const char* socket = nullptr;
  if (settings_.host.empty() || settings_.host == "localhost") {
    socket = std::getenv("MYSQL_UNIX_PORT");
  }
  const char* database = settings_.database.empty() ? nullptr : settings_.database.c_str();
  if (mysql_real_connect(mysql, settings_.host.c_str(), settings_.user.c_str(),
                         settings_.password.c_str(), database, 0, socket, 0) == nullptr) {
    std::string message = "Cannot connect to database '" + settings_.database + "' on host '" +
                          settings_.host + "' as user '" + settings_.user +
                          "': " + mysql_error(mysql);
    unsigned int code = mysql_errno(mysql);
    std::string sqlstate = mysql_sqlstate(mysql);
    mysql_close(mysql);
    throw Error(message, code, sqlstate);
  }
  mysql_ = mysql;
  // A session whose set-up failed would store text under the wrong escaping rules or
  // character set; it is never used half-prepared.
  if (mysql_real_query(mysql_, kSessionSetup, std::strlen(kSessionSetup)) != 0 ||
      std::string_view(mysql_character_set_name(mysql_)) != "utf8mb4") {
    const unsigned int code = mysql_errno(mysql_);
    std::string message = "The session's set-up failed on database '" + settings_.database +
                          "' on host '" + settings_.host + "': " +
                          (code != 0 ? std::string(mysql_error(mysql_))
                                     : "the server did not take character set utf8mb4");
    std::string sqlstate = mysql_sqlstate(mysql_);
    Close();
    throw Error(message, code, sqlstate, kSessionSetup);
  }
}

void Connection::Fail(std::string_view statement) {
  Error error(mysql_error(mysql_), mysql_errno(mysql_), mysql_sqlstate(mysql_),
              std::string(statement));
  // A connection that the server dropped is closed here, so the next statement connects
  // afresh instead of failing for good.
  if (error.IsConnectionLost()) {
    Close();
  }
  throw error;
}

void Connection::RunNoResult(std::string_view sql) {
  if (mysql_real_query(mysql_, sql.data(), sql.size()) != 0) {
    Fail(sql);
  }
  MYSQL_RES* res = mysql_store_result(mysql_);
  if (res != nullptr) {
    mysql_free_result(res);
  } else if (mysql_field_count(mysql_) != 0) {
    Fail(sql);
  }
}

uint64_t Connection::Execute(std::string_view sql) {
  Open();
  if (observer_) {
    observer_(sql);
  }
  RunNoResult(sql);
  my_ulonglong affected = mysql_affected_rows(mysql_);
  return affected == static_cast<my_ulonglong>(-1) ? 0 : affected;
}

Result Connection::Query(std::string_view sql) {
  Open();
  if (observer_) {
    observer_(sql);
  }
  if (mysql_real_query(mysql_, sql.data(), sql.size()) != 0) {
    Fail(sql);
  }
  MYSQL_RES* res = mysql_store_result(mysql_);
  if (res == nullptr) {
    if (mysql_field_count(mysql_) != 0) {
      Fail(sql);
    }
    throw Error("Statement returned no result set", 0, "", std::string(sql));
  }
  return Result(res);
}

uint64_t Connection::ExecuteBatch(const std::vector<std::string>& statements) {
  if (statements.empty()) {
    return 0;
  }
  if (statements.size() == 1) {
    return Execute(statements.front());
  }
  Open();
  std::string packet;
  std::size_t total = 0;
  for (const std::string& statement : statements) {
    total += statement.size() + 2;
  }
  packet.reserve(total);
  for (const std::string& statement : statements) {
    if (observer_) {
      observer_(statement);
    }
    if (!packet.empty()) {
      packet += ";\n";
    }
    packet += statement;
  }
  mysql_set_server_option(mysql_, MYSQL_OPTION_MULTI_STATEMENTS_ON);
  uint64_t affected = 0;
  std::size_t index = 0;
  int rc = mysql_real_query(mysql_, packet.data(), packet.size());
  while (true) {
    if (rc != 0) {
      // The failing statement is the one after those that completed.
      std::string failed = statements[std::min(index, statements.size() - 1)];
      Error error(mysql_error(mysql_), mysql_errno(mysql_), mysql_sqlstate(mysql_), failed);
      if (error.IsConnectionLost()) {
        Close();
      } else {
        mysql_set_server_option(mysql_, MYSQL_OPTION_MULTI_STATEMENTS_OFF);
      }
      throw error;
    }
    MYSQL_RES* res = mysql_store_result(mysql_);
    if (res != nullptr) {
      mysql_free_result(res);
    }
    my_ulonglong rows = mysql_affected_rows(mysql_);
    if (rows != static_cast<my_ulonglong>(-1)) {
      affected += rows;
    }
    ++index;
    rc = mysql_next_result(mysql_);
    if (rc == -1) {
      break;
    }
    rc = rc > 0 ? 1 : 0;
  }
  mysql_set_server_option(mysql_, MYSQL_OPTION_MULTI_STATEMENTS_OFF);
  return affected;
}

std::string Connection::EscapeBytes(std::string_view bytes) {
  Open();
  std::string out(bytes.size() * 2 + 1, '\0');
  unsigned long n = mysql_real_escape_string(mysql_, out.data(), bytes.data(), bytes.size());
  out.resize(n);
  return out;
}

ScopedSessionVariables::ScopedSessionVariables(
    Connection& connection, const std::vector<std::pair<std::string, std::string>>& values)
    : connection_(connection) {
  for (const auto& [name, value] : values) {
    Result current = connection_.Query("SELECT @@SESSION." + name);
    saved_.emplace_back(name, std::string(current.Value(0)));
    connection_.Execute("SET SESSION " + name + " = " + QuotedText(value));
  }
}

ScopedSessionVariables::~ScopedSessionVariables() {
  try {
    for (const auto& [name, value] : saved_) {
      connection_.Execute("SET SESSION " + name + " = " + QuotedText(value));
    }
  } catch (const std::exception&) {
    // A session that is gone has nothing left to put back; a new one starts afresh.
  }
}

}  // namespace db
