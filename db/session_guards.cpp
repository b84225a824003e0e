// The guards over a Connection's session: batching, holding and session variables. They are
// declared in db/connection.h beside the Connection whose state they reach.
#include <mysql.h>

#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "db/connection.h"
#include "db/query.h"
#include "db/sql_text.h"

namespace db {

MultiStatements::MultiStatements(Connection& connection) : connection_(connection) {
  connection_.FinishStarted();
  if (connection_.multi_guards_++ == 0 && connection_.mysql_ != nullptr) {
    // Refused (a server too old for it), batches go one statement at a time.
    connection_.multi_statements_ =
        mysql_set_server_option(connection_.mysql_, MYSQL_OPTION_MULTI_STATEMENTS_ON) == 0;
  }
}

MultiStatements::~MultiStatements() {
  try {
    connection_.FinishStarted();
  } catch (const std::exception&) {
    // Its failure was the caller's to take; the session goes on.
  }
  if (--connection_.multi_guards_ == 0 && connection_.multi_statements_) {
    if (!connection_.pending_setup_.empty()) {
      // Nothing was asked of the session yet; the next statement opens one that is set up.
      connection_.Close();
      return;
    }
    connection_.multi_statements_ = false;
    if (connection_.mysql_ != nullptr &&
        mysql_set_server_option(connection_.mysql_, MYSQL_OPTION_MULTI_STATEMENTS_OFF) != 0) {
      // A session that cannot say it is back to one statement a request is not kept.
      connection_.Close();
    }
  }
}

SessionHold::SessionHold(Connection& connection) : connection_(connection) {
  if (connection_.holds_++ == 0) {
    connection_.held_session_ = connection_.IsOpen();
  }
}

SessionHold::~SessionHold() {
  if (--connection_.holds_ == 0) {
    connection_.held_session_ = false;
  }
}

ScopedSessionVariables::ScopedSessionVariables(
    Connection& connection, const std::vector<std::pair<std::string, std::string>>& values)
    : connection_(connection) {
  std::string current = "SELECT ";
  for (std::size_t i = 0; i < values.size(); ++i) {
    current += (i == 0 ? "@@SESSION." : ", @@SESSION.") + values[i].first;
  }
  const Result row = connection_.Query(current);
  for (std::size_t i = 0; i < values.size(); ++i) {
    saved_.emplace_back(values[i].first, std::string(row.Value(i)));
  }
  // The server applies every assignment of one SET or none: a value it refuses leaves the
  // session as it was (and this destructor does not run).
  connection_.Execute(Assignments(values));
}

ScopedSessionVariables::~ScopedSessionVariables() {
  try {
    connection_.Execute(Assignments(saved_));
  } catch (const std::exception&) {
    // A session that is gone has nothing left to put back; a new one starts afresh.
  }
}

std::string ScopedSessionVariables::Assignments(
    const std::vector<std::pair<std::string, std::string>>& values) {
  std::string text = "SET ";
  for (std::size_t i = 0; i < values.size(); ++i) {
    text += (i == 0 ? "SESSION " : ", SESSION ") + values[i].first + " = " +
            QuotedText(values[i].second);
  }
  return text;
}

}  // namespace db
