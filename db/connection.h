// One MySQL connection that opens itself with the first statement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "db/settings.h"

struct st_mysql;

namespace db {

class Result;

// How one parameter of a prepared insert travels, so that the server takes each value as it
// takes the same value written as a literal in a statement text.
enum class ParamType {
  kText,     // text in the connection's character set, as a quoted literal
  kInteger,  // a whole number's decimal digits, as an integer literal
  kDecimal,  // an exact decimal number's text ("12.5"), as a decimal literal
  kBinary,   // bytes, as a hex literal (no character set)
};

// One parameter of a bulk insert: its value in every row, in row order.
struct BulkColumn {
  ParamType type;
  std::vector<std::string_view> values;
};

// The bounded waits of every session the program opens. A dead server or link is noticed
// within kReadTimeoutSeconds of the last byte (the library does not retry a timed-out read;
// measured), so a run ends by itself well within a minute. No legitimate statement comes
// near it: the lock waits the server bounds (kServerLockWaitSeconds) end with the server's
// own error first, and a bounded multi-row insert or a clear of one agency takes seconds.
inline constexpr unsigned int kConnectTimeoutSeconds = 10;
inline constexpr unsigned int kReadTimeoutSeconds = 45;
inline constexpr unsigned int kWriteTimeoutSeconds = 45;
// innodb_lock_wait_timeout and lock_wait_timeout of our sessions.
inline constexpr unsigned int kServerLockWaitSeconds = 20;
// The server ends a session of ours that stays silent this long (wait_timeout,
// net_read_timeout, net_write_timeout): a vanished workstation's transaction is rolled back
// and its locks freed within it. A run never falls silent that long (the run lock beats
// every few seconds); an idle window's session is dropped and reopened on its next use.
inline constexpr unsigned int kSessionSilenceLimit = 30;

// A connection to one database. It is closed until the first statement needs it; then it
// connects with the settings last given and what the client option files add (see
// db/connect.h: TLS and the rest of the link), without any prompt, with character set utf8mb4,
// auto-commit on and backslash escapes on (NO_BACKSLASH_ESCAPES removed from the session's
// sql_mode), since every escaped value of a statement depends on them, and with the waits above.
// Not copyable. Every failing operation throws db::Error.
class Connection {
 public:
  Connection();
  explicit Connection(ConnectionSettings settings);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Replaces the settings. An open connection is closed; the next statement reopens it.
  void SetSettings(ConnectionSettings settings);

  const ConnectionSettings& settings() const { return settings_; }

  bool IsOpen() const { return mysql_ != nullptr; }

  // Connects now if closed. Throws db::Error naming the host or database on failure.
  void Open();
  void Close();
  // Asks an open session whether the server still holds it, and closes it if not, so the
  // next statement connects afresh. For the start of a unit of work outside any
  // transaction: after the server restarted while the program stood idle, the first
  // statement would otherwise fail. Never throws.
  void DropIfGone();

  // Runs a statement that returns no rows; returns the affected-row count.
  uint64_t Execute(std::string_view sql);
  // Puts session state back on the way out of a failure: runs the statement when the session
  // is still open (one that is gone took its state with it) and drops its own failure, since
  // the failure that brought the caller here is the one to report.
  void ExecuteIfOpen(std::string_view sql) noexcept;
  // Runs a statement that returns rows and stores the whole result on the client, so
  // further statements can run on this connection while its rows are read.
  Result Query(std::string_view sql);
  // Runs the statements, which return no rows, in one round trip (a multi-statement
  // packet; each text is sent unchanged). Stops at the first failure and throws db::Error
  // whose statement() is the failing statement's text. Returns the affected-row total.
  uint64_t ExecuteBatch(const std::vector<std::string>& statements);

  // Sends a statement that returns no rows and returns at once, so the caller can work while
  // the server runs it; FinishStarted takes its answer. Any other call on the connection takes
  // that answer first (and throws its failure).
  void Start(std::string_view sql);
  // The started statement's affected rows (0 when none was started); throws its failure as
  // Execute would.
  uint64_t FinishStarted();

  bool HasStarted() const { return !started_.empty(); }

  // Whether the open session's server takes a prepared insert with arrays of values, one
  // array element a row (MariaDB's bulk execution, 10.2 and later); opens the connection.
  // False after SetBulkInserts(false), which makes callers send the text statements every
  // server takes, as on a server without them (MySQL).
  bool TakesBulkInserts();

  void SetBulkInserts(bool allowed) { bulk_inserts_ = allowed; }

  // Prepares `sql`, an insert with one "?" per column, and runs it once for every row, all
  // in one round trip: the server neither parses the values nor takes them as text, which
  // saves most of its work on a large insert. Each column holds one value per row (`rows`
  // of them). The server runs it as one statement: when a row fails, it rolls back every
  // row of it. Returns the affected rows; throws db::Error with the server's text and `sql`
  // as the statement. Only for a session that TakesBulkInserts.
  uint64_t ExecuteBulk(std::string_view sql, const std::vector<BulkColumn>& columns,
                       std::size_t rows);

  // What one statement of a batch gave: its rows (a stored result, alive until the taker
  // returns), or, when `rows` is null, how many rows it affected.
  using BatchTaker = std::function<void(std::size_t index, Result* rows, uint64_t affected)>;
  // Runs the statements in order and hands each one's outcome to `take` as it arrives, so
  // only one result is held at a time. While a MultiStatements guard is on, they travel as
  // one request, one round trip for all (each text unchanged, joined by ";\n"); otherwise one
  // by one, with the same outcomes. Stops at the first failing statement and throws db::Error
  // whose statement() is its text; the later ones do not run. An exception from `take` ends
  // the batch as well: the outcomes still due (their statements ran) are read and dropped
  // first, so the session stays usable, and then it is rethrown.
  void RunBatch(const std::vector<std::string>& statements, const BatchTaker& take);

  // The first column of the first row `sql` gives (NULL and no row give ""), asked once per
  // session and remembered until it ends: for what a session cannot change, such as its
  // max_allowed_packet.
  std::string SessionConstant(const std::string& sql);
  // Remembers `value` as the answer to `sql` for the open session, which the caller had
  // asked in a request of its own.
  void KnowSessionConstant(const std::string& sql, std::string value);

  // True when a batch would go in one round trip (see MultiStatements): the open session
  // takes it so, or the session a guard will open.
  bool BatchesInOneRequest() const {
    return mysql_ != nullptr ? multi_statements_ : multi_guards_ > 0;
  }

  // Called with the text of every statement this connection sends on behalf of a caller
  // (not the session set-up it does itself). Tests use it to see the exact texts.
  using Observer = std::function<void(std::string_view)>;

  void SetObserver(Observer observer) { observer_ = std::move(observer); }

  // Server thread id of the open session, 0 when closed.
  unsigned long ThreadId() const;

  // Escapes bytes for use between single quotes, with the rules of the prepared session
  // (opens and sets it up if needed).
  std::string EscapeBytes(std::string_view bytes);

  // True while a SessionHold lives and the session it held (or opened under it) is gone.
  bool SessionLost() const { return holds_ > 0 && held_session_ && mysql_ == nullptr; }

 private:
  friend class SessionHold;

  friend class MultiStatements;

  [[noreturn]] void Fail(std::string_view statement);
  // The opening of every request: the started statement's answer is taken and the session
  // opened. A set-up still pending is handed back to lead the request, or, for a request that
  // cannot carry it (`setup_alone`), sent first on its own.
  std::string Begin(bool setup_alone);
  // Sends the session's set-up on its own; a failure closes the session (FailSetup).
  void RunSetup(const std::string& setup);
  [[noreturn]] void FailSetup(const std::string& setup, const std::string& cause, unsigned int code,
                              const std::string& sqlstate);
  void Observe(std::string_view sql) const;
  // One statement as a request of its own (led by a pending set-up).
  void RunOne(std::string_view sql, const std::function<void(Result*, uint64_t)>& take);
  // Runs the statements as one request led by `setup` when it is not empty; `take` sees the
  // statements' outcomes only. A failing set-up closes the session (FailSetup).
  void Send(std::string_view setup, const std::vector<std::string_view>& statements,
            const BatchTaker& take);
  // Send's work; statements before `observed` are not shown to the observer.
  void RunRequest(const std::vector<std::string_view>& statements, std::size_t observed,
                  const BatchTaker& take);
  [[noreturn]] void FailLeftover(std::string_view statement);
  // The answer of the statement just sent, which returns no rows: its affected rows.
  uint64_t TakeNoResult(std::string_view sql);
  // The current statement's outcome, handed to `take`.
  void TakeOutcome(std::size_t index, std::string_view statement, const BatchTaker& take);

  ConnectionSettings settings_;
  st_mysql* mysql_ = nullptr;
  Observer observer_;
  int holds_ = 0;                  // SessionHolds alive
  bool held_session_ = false;      // a session was open under them
  int multi_guards_ = 0;           // MultiStatements alive
  bool multi_statements_ = false;  // the open session takes several statements a request
  bool bulk_inserts_ = true;       // may TakesBulkInserts say yes
  std::map<std::string, std::string> session_constants_;  // SessionConstant's answers
  std::string started_;                     // the statement Start sent, its answer not yet taken
  std::optional<uint64_t> started_answer_;  // its answer, when Start had to wait for it
  // The session's set-up, not yet sent: it leads the first request of a session opened
  // under a MultiStatements guard.
  std::string pending_setup_;
};

// While it lives, a session of `connection` that is lost stays lost: every later statement
// fails at once with a lost-connection db::Error instead of connecting afresh. For a unit of
// work whose meaning ends with its session (a run: its open transaction, the run lock's
// promise that the agencies are still its own); a new session would write on regardless,
// and over a dead link every attempt would wait for the connect timeout. A connection that
// is closed when the hold begins may still open once.
class SessionHold {
 public:
  explicit SessionHold(Connection& connection);
  ~SessionHold();
  SessionHold(const SessionHold&) = delete;
  SessionHold& operator=(const SessionHold&) = delete;

 private:
  Connection& connection_;
};

// While it lives, the connection's session takes several statements in one request, so that
// RunBatch costs one round trip however many statements it sends. Turning it on and off costs
// a round trip each: it is for a unit of work that batches again and again (a run). Every
// value in the texts the program sends is escaped, so no value can end its statement; outside
// the guard a text holding two statements is refused all the same. A session that is lost
// meanwhile comes back without it, and batches then go one statement at a time.
class MultiStatements {
 public:
  explicit MultiStatements(Connection& connection);
  ~MultiStatements();
  MultiStatements(const MultiStatements&) = delete;
  MultiStatements& operator=(const MultiStatements&) = delete;

 private:
  Connection& connection_;
};

// Sets session variables of `connection` for as long as it lives and puts the values they
// had back when it goes (a session that is gone by then has nothing to put back), since the
// connection goes on serving the program. Names are variable names as SQL writes them
// ("time_zone"); values are quoted text; there is at least one. Throws db::Error when a value
// cannot be read or set; the session is then as it was.
class ScopedSessionVariables {
 public:
  ScopedSessionVariables(Connection& connection,
                         const std::vector<std::pair<std::string, std::string>>& values);
  ~ScopedSessionVariables();
  ScopedSessionVariables(const ScopedSessionVariables&) = delete;
  ScopedSessionVariables& operator=(const ScopedSessionVariables&) = delete;

 private:
  // One SET statement of all the values, which the server applies all or none.
  static std::string Assignments(const std::vector<std::pair<std::string, std::string>>& values);

  Connection& connection_;
  std::vector<std::pair<std::string, std::string>> saved_;
};

}  // namespace db
