// The run lock: a server lock per code plus a replicated row that names its holder.
#include "lock/run_lock.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <utility>

#include "backup/sha256.h"
#include "db/ascii.h"
#include "db/error.h"
#include "db/query.h"
#include "db/sql_text.h"
#include "settings/system.h"

namespace lock {

namespace {

// A session that is being killed keeps its server locks until it has finished ending, which
// takes a moment after KILL returns. Only for such a holder (or one this session may not see)
// does the lock wait, and no longer than this.
constexpr int kDyingHolderGraceSeconds = 2;
// How long a holder that does not look dying gets to turn out dead (see TakeServerLock).
constexpr int kJustDiedGraceSeconds = 1;

// Two takers of one stale row race through the read and the conditional update; the loser
// reads again. A handful of rounds ends any such race.
constexpr int kTakeAttempts = 4;

// Longest text kept in the purpose and process columns, in bytes.
constexpr std::size_t kMaxDescription = 200;

// GET_LOCK names are limited to 64 characters on some servers.
constexpr std::size_t kMaxLockName = 64;

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS kelvane_run_lock ("
    " agency_code VARCHAR(64) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin NOT NULL,"
    " holder_token CHAR(32) CHARACTER SET ascii NOT NULL,"
    " purpose VARCHAR(255) NOT NULL,"
    " holder_user VARCHAR(400) NOT NULL,"
    " holder_process VARCHAR(255) NOT NULL,"
    " holder_server VARCHAR(512) NOT NULL,"
    " connection_id BIGINT UNSIGNED NOT NULL,"
    " taken_at TIMESTAMP(6) NOT NULL DEFAULT CURRENT_TIMESTAMP(6),"
    " heartbeat_at TIMESTAMP(6) NOT NULL DEFAULT CURRENT_TIMESTAMP(6),"
    " PRIMARY KEY (agency_code)"
    ") ENGINE=InnoDB DEFAULT CHARSET=utf8mb4";

std::string UpperAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return text;
}

// Cut to at most `limit` bytes without splitting a UTF-8 sequence.
std::string Truncated(std::string text, std::size_t limit) {
  if (text.size() <= limit) {
    return text;
  }
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
    --end;
  }
  text.resize(end);
  return text;
}

// Readable where it fits, so an administrator recognises it among the server's locks.
std::string LockName(const std::string& database, const std::string& code) {
  std::string name = "kelvane." + database + "." + code;
  if (name.size() > kMaxLockName) {
    name = "kelvane." + backup::Sha256Hex(database + "." + code).substr(0, 16);
  }
  return name;
}

// 32 lower-case hex digits, random, the process's id mixed in.
std::string NewToken() {
  std::random_device device;
  std::string bytes;
  for (int i = 0; i < 4; ++i) {
    uint32_t word = device();
    if (i == 3) {
      word ^= static_cast<uint32_t>(settings::ProcessId());
    }
    for (int shift = 24; shift >= 0; shift -= 8) {
      bytes += static_cast<char>((word >> shift) & 0xFF);
    }
  }
  return db::HexDigits(bytes, true);
}

std::string ProcessDescription() {
  const std::string host = settings::HostName();
  std::string text = "pid " + std::to_string(settings::ProcessId());
  if (!host.empty()) {
    text += " on " + host;
  }
  return Truncated(text, kMaxDescription);
}

unsigned long long ParseId(std::string_view text) {
  return db::ParseUnsigned(text).value_or(0);
}

std::string HeldMessage(const std::string& code, const std::vector<std::string>& details) {
  std::string message = "Agency " + code + " is in use by another Kelvane run";
  if (!details.empty()) {
    message += " (";
    for (std::size_t i = 0; i < details.size(); ++i) {
      if (i > 0) {
        message += ", ";
      }
      message += details[i];
    }
    message += ")";
  }
  return message + "; nothing was changed. Try again when it has finished.";
}

// The lock session outlives the run's own sessions when a workstation freezes: the server
// ends it only after the run's sessions (silent for their limit, after at most a lock wait the
// server bounds) are surely ended too, so nobody can take the codes over while a frozen run's
// session could still write. Its heartbeat keeps it from falling silent while the run works.
db::ConnectionSettings LockSessionSettings(db::ConnectionSettings settings,
                                           const LockOptions& options) {
  const unsigned int run_limit = settings.transport.silence_limit != 0
                                     ? settings.transport.silence_limit
                                     : db::kSessionSilenceLimit;
  const auto beat = std::chrono::duration_cast<std::chrono::seconds>(options.heartbeat_interval);
  settings.transport.silence_limit =
      options.session_silence.count() > 0
          ? static_cast<unsigned int>(options.session_silence.count())
          : run_limit + db::kServerLockWaitSeconds + static_cast<unsigned int>(beat.count()) + 1;
  return settings;
}

}  // namespace

RunLock::RunLock(Key, const db::ConnectionSettings& settings, std::string purpose,
                 LockOptions options)
    : connection_(LockSessionSettings(settings, options)),
      purpose_(Truncated(std::move(purpose), kMaxDescription)),
      options_(options),
      token_(NewToken()),
      process_(ProcessDescription()) {}

std::unique_ptr<RunLock> RunLock::Acquire(const db::ConnectionSettings& settings,
                                          std::vector<std::string> codes,
                                          const std::string& purpose, LockOptions options) {
  if (settings.database.empty()) {
    throw db::Error("The run lock needs a database, and none is configured");
  }
  for (std::string& code : codes) {
    code = UpperAscii(std::move(code));
  }
  // One order for every run, so two runs never each hold what the other wants next.
  std::sort(codes.begin(), codes.end());
  codes.erase(std::unique(codes.begin(), codes.end()), codes.end());

  // Should a code be refused part-way, `lock`'s destructor gives back those already taken.
  auto lock = std::make_unique<RunLock>(Key{}, settings, purpose, options);
  lock->EnsureTable(lock->PrepareSession());
  lock->TakeCodes(codes);
  lock->StartHeartbeat();
  return lock;
}

RunLock::~RunLock() {
  Release();
}

bool RunLock::PrepareSession() {
  // Who this session is, whether it is a cluster node and whether the lock table exists, in
  // one round trip. Asked first rather than creating the table blindly: on a cluster every
  // CREATE, even one that finds the table, is a schema change that pauses all nodes.
  const std::string identity =
      "SELECT CONNECTION_ID(), CONCAT_WS(':', @@hostname, @@port, @@socket)";
  const std::string table_count =
      "(SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE()"
      " AND TABLE_NAME = 'kelvane_run_lock')";
  bool on_cluster = false;
  std::string tables;
  try {
    db::Result row = connection_.Query(identity + ", @@wsrep_on, " + table_count);
    connection_id_ = ParseId(row.Value(0));
    server_ = std::string(row.Value(1));
    on_cluster = !row.IsNull(2) && row.Value(2) == "1";
    tables = std::string(row.Value(3));
  } catch (const db::Error& e) {
    // Servers built without cluster support do not know the variable.
    if (!e.IsUnknownVariable()) {
      throw;
    }
    db::Result row = connection_.Query(identity + ", " + table_count);
    connection_id_ = ParseId(row.Value(0));
    server_ = std::string(row.Value(1));
    tables = std::string(row.Value(2));
  }
  if (on_cluster) {
    // On a cluster node a read may otherwise miss a lock row another node has just
    // committed. The count above came before that wait, so a table another node has just
    // created is looked for again rather than created once more.
    connection_.Execute("SET SESSION wsrep_sync_wait = 7");
    if (tables == "0") {
      tables = db::Scalar(connection_, "SELECT " + table_count);
    }
  }
  return tables != "0";
}

void RunLock::EnsureTable(bool table_exists) {
  if (table_exists) {
    return;
  }
  try {
    connection_.Execute(kCreateTable);
  } catch (const db::Error& e) {
    if (!e.IsAccessDenied()) {
      throw;
    }
    const db::ConnectionSettings& settings = connection_.settings();
    throw db::Error(
        "Kelvane needs its run lock table kelvane_run_lock in database '" + settings.database +
            "', and user '" + settings.user + "' may not create it (" + e.what() +
            "). Nothing was changed. An administrator should run, in that database: " +
            kCreateTable + "; and grant that user SELECT, INSERT, UPDATE, DELETE on it.",
        e.code(), e.sqlstate(), e.statement());
  }
}

void RunLock::TakeCodes(const std::vector<std::string>& codes) {
  if (codes.empty()) {
    return;
  }
  const std::vector<bool> holds_server_locks = TakeServerLocks(codes);
  // Every row in one statement; should one code have a row already (a holder, or a dead
  // run's row to take over), none went in, and each code goes its own way.
  std::string rows;
  for (const std::string& code : codes) {
    rows += std::string(rows.empty() ? "" : ", ") + "(" + db::QuotedText(code) + ", '" + token_ +
            "', " + db::QuotedText(purpose_) + ", USER(), " + db::QuotedText(process_) + ", " +
            db::QuotedText(server_) + ", CONNECTION_ID(), NOW(6), NOW(6))";
  }
  try {
    connection_.Execute(
        "INSERT INTO kelvane_run_lock (agency_code, holder_token, purpose, holder_user,"
        " holder_process, holder_server, connection_id, taken_at, heartbeat_at) VALUES " +
        rows);
    codes_ = codes;
    return;
  } catch (const db::Error& e) {
    if (!e.IsDuplicateKey() && !e.IsDeadlock()) {
      throw;
    }
  }
  for (std::size_t i = 0; i < codes.size(); ++i) {
    TakeCode(codes[i], holds_server_locks[i]);
  }
}

std::vector<bool> RunLock::TakeServerLocks(const std::vector<std::string>& codes) {
  std::vector<bool> holds(codes.size(), false);
  if (!server_locks_) {
    return holds;
  }
  std::vector<std::string> names;
  std::string calls;
  for (const std::string& code : codes) {
    names.push_back(db::QuotedText(LockName(connection_.settings().database, code)));
    calls += std::string(calls.empty() ? "" : ", ") + "GET_LOCK(" + names.back() + ", 0)";
  }
  std::vector<bool> got(codes.size(), false);
  try {
    db::Result result = connection_.Query("SELECT " + calls);
    for (std::size_t i = 0; i < codes.size(); ++i) {
      got[i] = !result.IsNull(i) && result.Value(i) == "1";
    }
  } catch (const db::Error& e) {
    // Some cluster builds refuse GET_LOCK outright; the rows then decide alone, by heartbeat.
    if (!e.IsNotSupported()) {
      throw;
    }
    server_locks_ = false;
    return holds;
  }
  for (std::size_t i = 0; i < codes.size(); ++i) {
    if (got[i]) {
      server_locked_.push_back(names[i]);
    }
  }
  const auto refused = std::find(got.begin(), got.end(), false);
  const auto first_refused = static_cast<std::size_t>(refused - got.begin());
  std::fill(holds.begin(), holds.begin() + static_cast<std::ptrdiff_t>(first_refused), true);
  if (first_refused == codes.size()) {
    return holds;
  }
  // A refused code is waited for holding only the codes before it, as in one code at a time
  // in sorted order: two runs must never each hold what the other waits for. Codes after it
  // that were got all the same are given back first, and taken one at a time again.
  std::string releases;
  for (std::size_t i = first_refused + 1; i < codes.size(); ++i) {
    if (got[i]) {
      releases += std::string(releases.empty() ? "" : ", ") + "RELEASE_LOCK(" + names[i] + ")";
    }
  }
  if (!releases.empty()) {
    connection_.Query("SELECT " + releases);
    server_locked_.resize(first_refused);
  }
  for (std::size_t i = first_refused; i < codes.size(); ++i) {
    holds[i] = TakeServerLock(codes[i]);
  }
  return holds;
}

void RunLock::TakeCode(const std::string& code, bool holds_server_lock) {
  for (int attempt = 0; attempt < kTakeAttempts; ++attempt) {
    if (TakeRow(code, holds_server_lock)) {
      codes_.push_back(code);
      return;
    }
  }
  ThrowHeld(code);
}

bool RunLock::TakeServerLock(const std::string& code) {
  if (!server_locks_) {
    return false;
  }
  std::string name = db::QuotedText(LockName(connection_.settings().database, code));
  try {
    if (db::Scalar(connection_, "SELECT GET_LOCK(" + name + ", 0)") != "1") {
      db::Result holder = connection_.Query(
          "SELECT COMMAND FROM information_schema.PROCESSLIST WHERE ID = IS_USED_LOCK(" + name +
          ")");
      bool dying = holder.Eof() || holder.Value(0) == "Killed";
      if (!dying) {
        dying = EndStaleHolder(code);
      }
      // A holder whose process was just killed still holds the lock until the server reads
      // the end of its connection, a moment later; a live holder costs the refusal a second.
      const int grace = dying ? kDyingHolderGraceSeconds : kJustDiedGraceSeconds;
      if (db::Scalar(connection_, "SELECT GET_LOCK(" + name + ", " + std::to_string(grace) + ")") !=
          "1") {
        ThrowHeld(code);
      }
    }
  } catch (const db::Error& e) {
    // Some cluster builds refuse GET_LOCK outright; the rows then decide alone, by heartbeat.
    if (!e.IsNotSupported()) {
      throw;
    }
    server_locks_ = false;
    return false;
  }
  server_locked_.push_back(name);
  return true;
}

bool RunLock::EndStaleHolder(const std::string& code) {
  // A holder that stopped beating (a frozen or vanished workstation) is ended here rather
  // than waited for until the server notices its silence. Only a holder whose row says it
  // ran on this very server and whose session is the one GET_LOCK names: a connection id is
  // only meaningful on its own server, and a fresh heartbeat is never ended. The server lets
  // a user end only its own sessions (or anyone's with the privilege to); where it refuses,
  // the holder's own silence limit ends it.
  // Stale for longer than the server would keep a silent lock session of ours: the holder's
  // run sessions are surely ended by their own, shorter limit, so none of them can write
  // after the takeover; what still holds the lock is a session without our limits.
  const std::string expired =
      "UNIX_TIMESTAMP(NOW(6)) - UNIX_TIMESTAMP(heartbeat_at) > " +
      std::to_string(std::max<long long>(
          connection_.settings().transport.silence_limit,
          std::chrono::duration_cast<std::chrono::seconds>(options_.expiry).count()));
  const std::string name = db::QuotedText(LockName(connection_.settings().database, code));
  try {
    const std::string stale = db::Scalar(
        connection_, "SELECT connection_id FROM kelvane_run_lock WHERE agency_code = " +
                         db::QuotedText(code) + " AND holder_server = " + db::QuotedText(server_) +
                         " AND connection_id = IS_USED_LOCK(" + name + ") AND " + expired);
    if (stale.empty()) {
      return false;
    }
    connection_.Execute("KILL CONNECTION " + std::to_string(ParseId(stale)));
    return true;
  } catch (const db::Error& e) {
    if (e.IsConnectionLost()) {
      throw;
    }
    return false;  // not allowed to, or already gone: the wait below decides
  }
}

bool RunLock::TakeRow(const std::string& code, bool holds_server_lock) {
  const std::string quoted_code = db::QuotedText(code);
  const std::string holder_values =
      "holder_token = '" + token_ + "', purpose = " + db::QuotedText(purpose_) +
      ", holder_user = USER(), holder_process = " + db::QuotedText(process_) +
      ", holder_server = " + db::QuotedText(server_) +
      ", connection_id = CONNECTION_ID(), taken_at = NOW(6),"
      " heartbeat_at = NOW(6)";
  const std::string expired = "(UNIX_TIMESTAMP(NOW(6)) - UNIX_TIMESTAMP(heartbeat_at)) * 1000 > " +
                              std::to_string(options_.expiry.count());
  try {
    connection_.Execute("INSERT INTO kelvane_run_lock SET agency_code = " + quoted_code + ", " +
                        holder_values);
    return true;
  } catch (const db::Error& e) {
    if (!e.IsDuplicateKey() && !e.IsDeadlock()) {
      throw;
    }
  }
  db::Result row = connection_.Query("SELECT holder_token, holder_server, " + expired +
                                     " FROM kelvane_run_lock WHERE agency_code = " + quoted_code);
  if (row.Eof()) {
    return false;  // released in between
  }
  const std::string old_token(row.Value(0));
  if (old_token == token_) {
    return true;
  }
  // Holding the server lock proves that no live session of this server holds the code, so a
  // row left by one of them belongs to a dead run. Rows from other servers age out instead.
  bool holder_gone = holds_server_lock && row.Value(1) == server_;
  if (!holder_gone && row.Value(2) != "1") {
    ThrowHeld(code);
  }
  std::string update = "UPDATE kelvane_run_lock SET " + holder_values +
                       " WHERE agency_code = " + quoted_code +
                       " AND holder_token = " + db::QuotedText(old_token);
  if (!holder_gone) {
    update += " AND " + expired;
  }
  try {
    return connection_.Execute(update) == 1;
  } catch (const db::Error& e) {
    if (!e.IsDeadlock()) {
      throw;
    }
    return false;
  }
}

void RunLock::ThrowHeld(const std::string& code) {
  std::vector<std::string> details;
  unsigned long long holder = 0;
  // The details only make the message better: failing to read them still reports the code.
  try {
    db::Result row = connection_.Query(
        "SELECT purpose, holder_process, holder_user, connection_id, holder_server,"
        " DATE_FORMAT(taken_at, '%Y-%m-%d %H:%i:%s') FROM kelvane_run_lock WHERE agency_code = " +
        db::QuotedText(code) + " AND holder_token <> '" + token_ + "'");
    if (!row.Eof()) {
      std::string what(row.Value(0));
      if (!row.Value(1).empty()) {
        what += " by " + std::string(row.Value(1));
      }
      details.push_back(what);
      details.push_back("user " + std::string(row.Value(2)));
      holder = ParseId(row.Value(3));
      std::string connection = "connection " + std::string(row.Value(3));
      if (row.Value(4) != server_) {
        connection += " on server " + std::string(row.Value(4));
      }
      details.push_back(connection);
      details.push_back("since " + std::string(row.Value(5)));
    } else if (server_locks_) {
      // Held by a session that has not written its row yet (or is not a run at all).
      const std::string name = db::QuotedText(LockName(connection_.settings().database, code));
      db::Result session = connection_.Query(
          "SELECT l.id, p.USER, p.HOST, DATE_FORMAT(NOW() - INTERVAL p.TIME SECOND,"
          " '%Y-%m-%d %H:%i:%s') FROM (SELECT IS_USED_LOCK(" +
          name + ") AS id) l LEFT JOIN information_schema.PROCESSLIST p ON p.ID = l.id");
      if (!session.Eof() && !session.IsNull(0)) {
        holder = ParseId(session.Value(0));
        if (!session.IsNull(1)) {
          details.push_back("user " + std::string(session.Value(1)) + "@" +
                            std::string(session.Value(2)));
        }
        details.push_back("connection " + std::string(session.Value(0)));
        if (!session.IsNull(3)) {
          details.push_back("since " + std::string(session.Value(3)));
        }
      }
    }
  } catch (const db::Error&) {
    details.clear();
    holder = 0;
  }
  throw Held(HeldMessage(code, details), code, holder);
}

void RunLock::StartHeartbeat() {
  if (!codes_.empty()) {
    heartbeat_ = std::thread(&RunLock::Heartbeat, this);
  }
}

void RunLock::Heartbeat() {
  const std::string refresh =
      "UPDATE kelvane_run_lock SET heartbeat_at = NOW(6) WHERE holder_token = '" + token_ + "'";
  std::unique_lock<std::mutex> guard(mutex_);
  while (!stopping_) {
    if (wake_.wait_for(guard, options_.heartbeat_interval, [this] { return stopping_; })) {
      break;
    }
    // A new session would hold none of the server locks: the lock is gone with the old one,
    // and refreshing the rows from a new session would only hide that from other nodes.
    if (!connection_.IsOpen() || connection_.ThreadId() != connection_id_) {
      lost_ = true;
      return;
    }
    try {
      if (connection_.Execute(refresh) < codes_.size() &&
          db::Scalar(connection_, "SELECT COUNT(*) FROM kelvane_run_lock WHERE holder_token = '" +
                                      token_ + "'") != std::to_string(codes_.size())) {
        lost_ = true;  // another run took a code over
        return;
      }
    } catch (const db::Error& e) {
      if (e.IsConnectionLost() || !connection_.IsOpen()) {
        lost_ = true;
        return;
      }
      // Anything else (a cluster conflict, a busy server) is tried again next time; the
      // expiry allows several missed refreshes.
    }
  }
}

void RunLock::Release() noexcept {
  try {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (heartbeat_.joinable()) {
      heartbeat_.join();
    }
  } catch (...) {
    // join() only fails for a thread that cannot be joined; nothing more to stop then.
  }
  std::vector<std::string> statements;
  // Also after a lost session: the statement then reconnects and removes the rows, unless
  // another run has taken them over, whose token they carry now.
  if (!codes_.empty() && (reconnect_on_release_ || connection_.IsOpen())) {
    statements.push_back("DELETE FROM kelvane_run_lock WHERE holder_token = '" + token_ + "'");
  }
  std::string releases;
  if (connection_.ThreadId() == connection_id_ && !server_locked_.empty()) {
    for (const std::string& name : server_locked_) {
      releases += std::string(releases.empty() ? "" : ", ") + "RELEASE_LOCK(" + name + ")";
    }
    statements.push_back("SELECT " + releases);
  }
  try {
    connection_.RunBatch(statements, [](std::size_t, db::Result*, uint64_t) {});
  } catch (...) {
    // The rows age out, or go with the server locks when this session is gone. A failed
    // delete stopped the request before the releases: they go on their own.
    if (!releases.empty() && statements.size() == 2 && connection_.ThreadId() == connection_id_) {
      try {
        connection_.Query("SELECT " + releases);
      } catch (...) {
        // The session is gone, and its server locks with it.
      }
    }
  }
  codes_.clear();
  server_locked_.clear();
  connection_.Close();
}

}  // namespace lock
