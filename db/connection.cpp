// One MySQL connection that opens itself with the first statement.
#include "db/connection.h"

#include <errmsg.h>
#include <mysql.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "db/connect.h"
#include "db/error.h"
#include "db/query.h"

namespace db {

namespace {

// The statement of our own that prepares a session; it is not shown to the observer. One
// statement, so preparing costs one round trip: the escaping rules, and the limits that make
// the server end the session of a workstation that vanished (its transaction rolled back,
// its locks freed) and end a lock wait with its own error before the client gives up.
std::string SessionSetup(unsigned int silence_limit) {
  const std::string silence = std::to_string(silence_limit);
  const std::string lock_wait = std::to_string(kServerLockWaitSeconds);
  return "SET SESSION sql_mode = TRIM(BOTH ',' FROM REPLACE(CONCAT(',', @@SESSION.sql_mode, "
         "','), ',NO_BACKSLASH_ESCAPES,', ',')), SESSION wait_timeout = " +
         silence + ", SESSION net_read_timeout = " + silence +
         ", SESSION net_write_timeout = " + silence +
         ", SESSION innodb_lock_wait_timeout = " + lock_wait +
         ", SESSION lock_wait_timeout = " + lock_wait;
}

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
  multi_statements_ = false;
  session_constants_.clear();
  pending_setup_.clear();
  started_.clear();
  started_answer_.reset();
}

void Connection::DropIfGone() {
  if (HasStarted()) {
    return;  // the session is busy with the statement, so it is there
  }
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
  if (holds_ > 0 && held_session_) {
    throw Error(
        "Lost connection to server: the session of this run ended, and the run does not "
        "open another one",
        CR_SERVER_LOST, "HY000");
  }
  mysql_ = Connect(settings_, multi_guards_ > 0);
  // A session whose set-up failed would store text under the wrong escaping rules or
  // character set; it is never used half-prepared.
  const unsigned int silence = settings_.transport.silence_limit;
  const std::string setup = SessionSetup(silence != 0 ? silence : kSessionSilenceLimit);
  if (std::string_view(mysql_character_set_name(mysql_)) != "utf8mb4") {
    FailSetup(setup, "the server did not take character set utf8mb4", 0, "HY000");
  }
  held_session_ = holds_ > 0;
  // A session opened under a guard (the first statement of a run) takes batches from the
  // start, at no cost, and its set-up leads its first request: a round trip less.
  multi_statements_ = multi_guards_ > 0;
  if (multi_statements_) {
    pending_setup_ = setup;
    return;
  }
  RunSetup(setup);
}

void Connection::RunSetup(const std::string& setup) {
  if (mysql_real_query(mysql_, setup.data(), static_cast<unsigned long>(setup.size())) != 0) {
    FailSetup(setup, mysql_error(mysql_), mysql_errno(mysql_), mysql_sqlstate(mysql_));
  }
}

void Connection::FailSetup(const std::string& setup, const std::string& cause, unsigned int code,
                           const std::string& sqlstate) {
  const std::string message = "The session's set-up failed on database '" + settings_.database +
                              "' on host '" + settings_.host + "': " + cause;
  Close();
  throw Error(message, code, sqlstate, setup);
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

void Connection::FailLeftover(std::string_view statement) {
  // Only a session that takes batches runs a second statement of one text. It ran: its
  // outcome is read and dropped so the session stays in step, and the call still fails.
  while (mysql_more_results(mysql_) && mysql_next_result(mysql_) == 0) {
    if (MYSQL_RES* res = mysql_store_result(mysql_)) {
      mysql_free_result(res);
    }
  }
  throw Error("A single statement was expected, and the text holds more than one", 0, "",
              std::string(statement));
}

uint64_t Connection::TakeNoResult(std::string_view sql) {
  MYSQL_RES* res = mysql_store_result(mysql_);
  if (res != nullptr) {
    mysql_free_result(res);
  } else if (mysql_field_count(mysql_) != 0) {
    Fail(sql);
  }
  if (mysql_more_results(mysql_)) {
    FailLeftover(sql);
  }
  const my_ulonglong affected = mysql_affected_rows(mysql_);
  return affected == static_cast<my_ulonglong>(-1) ? 0 : affected;
}

std::string Connection::Begin(bool setup_alone) {
  FinishStarted();
  Open();
  std::string setup = std::move(pending_setup_);
  pending_setup_.clear();
  if (setup_alone && !setup.empty()) {
    RunSetup(setup);
    setup.clear();
  }
  return setup;
}

void Connection::Observe(std::string_view sql) const {
  if (observer_) {
    observer_(sql);
  }
}

uint64_t Connection::Execute(std::string_view sql) {
  uint64_t affected = 0;
  RunOne(sql, [&affected](Result* rows, uint64_t count) {
    affected = rows != nullptr ? rows->RowCount() : count;
  });
  return affected;
}

void Connection::ExecuteIfOpen(std::string_view sql) noexcept {
  try {
    if (IsOpen()) {
      Execute(sql);
    }
  } catch (...) {
    // See the header: the caller's failure is the one to report.
  }
}

Result Connection::Query(std::string_view sql) {
  std::optional<Result> result;
  RunOne(sql, [&result](Result* rows, uint64_t) {
    if (rows != nullptr) {
      result.emplace(std::move(*rows));
    }
  });
  if (!result) {
    throw Error("Statement returned no result set", 0, "", std::string(sql));
  }
  return std::move(*result);
}

uint64_t Connection::ExecuteBatch(const std::vector<std::string>& statements) {
  const MultiStatements one_request(*this);
  uint64_t affected = 0;
  RunBatch(statements, [&affected](std::size_t, Result*, uint64_t rows) { affected += rows; });
  return affected;
}

void Connection::TakeOutcome(std::size_t index, std::string_view statement,
                             const BatchTaker& take) {
  MYSQL_RES* res = mysql_store_result(mysql_);
  if (res == nullptr && mysql_field_count(mysql_) != 0) {
    Fail(statement);
  }
  if (res == nullptr) {
    const my_ulonglong affected = mysql_affected_rows(mysql_);
    take(index, nullptr, affected == static_cast<my_ulonglong>(-1) ? 0 : affected);
    return;
  }
  Result result(res);
  take(index, &result, 0);
}

void Connection::RunOne(std::string_view sql, const std::function<void(Result*, uint64_t)>& take) {
  const std::string setup = Begin(false);
  bool more = false;
  Send(setup, {sql}, [&](std::size_t index, Result* rows, uint64_t affected) {
    if (index == 0) {
      take(rows, affected);
    } else {
      more = true;
    }
  });
  if (more) {
    throw Error("A single statement was expected, and the text holds more than one", 0, "",
                std::string(sql));
  }
}

void Connection::RunBatch(const std::vector<std::string>& statements, const BatchTaker& take) {
  if (statements.empty()) {
    return;
  }
  const std::string setup = Begin(false);
  Send(setup, std::vector<std::string_view>(statements.begin(), statements.end()), take);
}

void Connection::Send(std::string_view setup, const std::vector<std::string_view>& statements,
                      const BatchTaker& take) {
  if (setup.empty()) {
    RunRequest(statements, 0, take);
    return;
  }
  std::vector<std::string_view> request;
  request.reserve(statements.size() + 1);
  request.push_back(setup);
  request.insert(request.end(), statements.begin(), statements.end());
  try {
    RunRequest(request, 1, [&take](std::size_t index, Result* rows, uint64_t affected) {
      if (index > 0) {
        take(index - 1, rows, affected);
      }
    });
  } catch (const Error& error) {
    if (error.statement() == setup) {
      FailSetup(std::string(setup), error.what(), error.code(), error.sqlstate());
    }
    throw;
  }
}

void Connection::RunRequest(const std::vector<std::string_view>& statements, std::size_t observed,
                            const BatchTaker& take) {
  if (!multi_statements_ || statements.size() == 1) {
    for (std::size_t i = 0; i < statements.size(); ++i) {
      if (i >= observed) {
        Observe(statements[i]);
      }
      if (mysql_real_query(mysql_, statements[i].data(),
                           static_cast<unsigned long>(statements[i].size())) != 0) {
        Fail(statements[i]);
      }
      TakeOutcome(i, statements[i], take);
      if (mysql_more_results(mysql_)) {
        FailLeftover(statements[i]);
      }
    }
    return;
  }
  std::string packet;
  std::size_t total = 0;
  for (std::string_view statement : statements) {
    total += statement.size() + 2;
  }
  packet.reserve(total);
  for (std::size_t i = 0; i < statements.size(); ++i) {
    if (i >= observed) {
      Observe(statements[i]);
    }
    if (!packet.empty()) {
      packet += ";\n";
    }
    packet += statements[i];
  }
  std::exception_ptr taker_failed;
  int rc = mysql_real_query(mysql_, packet.data(), static_cast<unsigned long>(packet.size()));
  for (std::size_t index = 0;; ++index) {
    // Past the last statement only when the server counted them otherwise than we did.
    const std::string_view statement = statements[std::min(index, statements.size() - 1)];
    if (rc != 0) {
      if (taker_failed) {
        if (Error(mysql_error(mysql_), mysql_errno(mysql_)).IsConnectionLost()) {
          Close();
        }
        std::rethrow_exception(taker_failed);
      }
      Fail(statement);
    }
    if (!taker_failed) {
      try {
        TakeOutcome(index, statement, take);
      } catch (const Error&) {
        if (mysql_ == nullptr) {
          throw;  // the session is gone; nothing is left to read
        }
        taker_failed = std::current_exception();
      } catch (...) {
        taker_failed = std::current_exception();
      }
    } else if (MYSQL_RES* res = mysql_store_result(mysql_)) {
      mysql_free_result(res);
    }
    if (!mysql_more_results(mysql_)) {
      break;
    }
    rc = mysql_next_result(mysql_) > 0 ? 1 : 0;
  }
  if (taker_failed) {
    std::rethrow_exception(taker_failed);
  }
}

void Connection::Start(std::string_view sql) {
  const std::string setup = Begin(false);
  if (!setup.empty()) {
    // The set-up must lead the request: this one statement waits for its answer.
    uint64_t affected = 0;
    Send(setup, {sql}, [&affected](std::size_t, Result*, uint64_t rows) { affected = rows; });
    started_answer_ = affected;
    started_.assign(sql);
    return;
  }
  Observe(sql);
  if (mysql_send_query(mysql_, sql.data(), static_cast<unsigned long>(sql.size())) != 0) {
    Fail(sql);
  }
  started_.assign(sql);
}

uint64_t Connection::FinishStarted() {
  if (started_.empty()) {
    return 0;
  }
  const std::string sql = std::move(started_);
  started_.clear();
  if (started_answer_) {
    const uint64_t answer = *started_answer_;
    started_answer_.reset();
    return answer;
  }
  if (mysql_read_query_result(mysql_) != 0) {
    Fail(sql);
  }
  return TakeNoResult(sql);
}

bool Connection::TakesBulkInserts() {
  if (!bulk_inserts_) {
    return false;
  }
  Open();
  // The library's own test of the server (a MariaDB that announces bulk operations).
  unsigned long basic = 0;
  unsigned long extended = 0;
  mariadb_get_infov(mysql_, MARIADB_CONNECTION_SERVER_CAPABILITIES, &basic);
  mariadb_get_infov(mysql_, MARIADB_CONNECTION_EXTENDED_SERVER_CAPABILITIES, &extended);
  return (basic & CLIENT_MYSQL) == 0 &&
         (extended & (MARIADB_CLIENT_STMT_BULK_OPERATIONS >> 32)) != 0;
}

namespace {

struct StatementCloser {
  void operator()(MYSQL_STMT* stmt) const { mysql_stmt_close(stmt); }
};

enum_field_types FieldType(ParamType type) {
  switch (type) {
    case ParamType::kText:
      return MYSQL_TYPE_STRING;
    case ParamType::kInteger:
      return MYSQL_TYPE_LONGLONG;
    case ParamType::kDecimal:
      return MYSQL_TYPE_NEWDECIMAL;
    case ParamType::kBinary:
      return MYSQL_TYPE_BLOB;
  }
  return MYSQL_TYPE_STRING;
}

// The parameters of a bulk insert as the library reads them: column-wise arrays, for text one
// pointer and one length a row, for integers the numbers themselves. Points into `columns`,
// which must outlive it.
class BulkBinds {
 public:
  BulkBinds(std::string_view sql, const std::vector<BulkColumn>& columns, std::size_t rows)
      : binds_(columns.size()),
        pointers_(columns.size()),
        lengths_(columns.size()),
        numbers_(columns.size()) {
    for (std::size_t c = 0; c < columns.size(); ++c) {
      const BulkColumn& column = columns[c];
      if (column.values.size() != rows) {
        throw Error("A bulk insert column holds " + std::to_string(column.values.size()) +
                        " values for " + std::to_string(rows) + " rows",
                    0, "", std::string(sql));
      }
      MYSQL_BIND& bind = binds_[c];
      std::memset(&bind, 0, sizeof bind);
      bind.buffer_type = FieldType(column.type);
      if (column.type == ParamType::kInteger) {
        bind.buffer = Numbers(sql, column, numbers_[c]);
        continue;
      }
      pointers_[c].reserve(rows);
      lengths_[c].reserve(rows);
      for (std::string_view value : column.values) {
        pointers_[c].push_back(value.data());
        lengths_[c].push_back(static_cast<unsigned long>(value.size()));
      }
      bind.buffer = pointers_[c].data();
      bind.length = lengths_[c].data();
    }
  }

  MYSQL_BIND* data() { return binds_.data(); }

 private:
  static long long* Numbers(std::string_view sql, const BulkColumn& column,
                            std::vector<long long>& numbers) {
    numbers.reserve(column.values.size());
    for (std::string_view value : column.values) {
      long long number = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
      if (ec != std::errc() || end != value.data() + value.size()) {
        throw Error("Not a whole number for a bulk insert: '" + std::string(value) + "'", 0, "",
                    std::string(sql));
      }
      numbers.push_back(number);
    }
    return numbers.data();
  }

  std::vector<MYSQL_BIND> binds_;
  std::vector<std::vector<const char*>> pointers_;
  std::vector<std::vector<unsigned long>> lengths_;
  std::vector<std::vector<long long>> numbers_;
};

}  // namespace

uint64_t Connection::ExecuteBulk(std::string_view sql, const std::vector<BulkColumn>& columns,
                                 std::size_t rows) {
  // A prepared statement cannot share a request with the set-up: it goes on its own.
  Begin(true);
  BulkBinds binds(sql, columns, rows);
  Observe(sql);
  const std::unique_ptr<MYSQL_STMT, StatementCloser> stmt(mysql_stmt_init(mysql_));
  if (!stmt) {
    throw Error("Out of memory preparing a statement", 0, "", std::string(sql));
  }
  auto array_size = static_cast<unsigned int>(rows);
  auto params = static_cast<unsigned int>(columns.size());
  const auto fail = [&] {
    Error error(mysql_stmt_error(stmt.get()), mysql_stmt_errno(stmt.get()),
                mysql_stmt_sqlstate(stmt.get()), std::string(sql));
    if (error.IsConnectionLost()) {
      Close();
    }
    throw error;
  };
  if (mysql_stmt_attr_set(stmt.get(), STMT_ATTR_PREBIND_PARAMS, &params) != 0 ||
      mysql_stmt_attr_set(stmt.get(), STMT_ATTR_ARRAY_SIZE, &array_size) != 0 ||
      mysql_stmt_bind_param(stmt.get(), binds.data()) != 0) {
    fail();
  }
  // Prepared and run in one round trip; the statement is closed with the handle.
  if (mariadb_stmt_execute_direct(stmt.get(), sql.data(), sql.size()) != 0) {
    fail();
  }
  const my_ulonglong affected = mysql_stmt_affected_rows(stmt.get());
  return affected == static_cast<my_ulonglong>(-1) ? 0 : affected;
}

std::string Connection::SessionConstant(const std::string& sql) {
  Open();
  if (const auto known = session_constants_.find(sql); known != session_constants_.end()) {
    return known->second;
  }
  Result result = Query(sql);
  std::string value =
      result.Eof() || result.IsNull(0) ? std::string() : std::string(result.Value(0));
  session_constants_.emplace(sql, value);
  return value;
}

void Connection::KnowSessionConstant(const std::string& sql, std::string value) {
  if (mysql_ != nullptr) {
    session_constants_.insert_or_assign(sql, std::move(value));
  }
}

std::string Connection::EscapeBytes(std::string_view bytes) {
  // The library escapes by the server status it last saw: before the set-up, the handshake's,
  // which reports the server's global NO_BACKSLASH_ESCAPES.
  Begin(true);
  std::string out(bytes.size() * 2 + 1, '\0');
  unsigned long n = mysql_real_escape_string(mysql_, out.data(), bytes.data(),
                                             static_cast<unsigned long>(bytes.size()));
  out.resize(n);
  return out;
}

}  // namespace db
