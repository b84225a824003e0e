// The run lock: keeps two runs that share an agency code from touching the data at once.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "db/connection.h"
#include "db/settings.h"

namespace lock {

// How a RunLock is held. The defaults are what the program uses; tests shorten the interval.
//
// Design. Each code of a run is locked twice, on a connection of the lock's own (auto-commit,
// apart from the run's connection, so the lock is committed and replicated at once even while
// the run is one big transaction):
// - a server lock GET_LOCK('kelvane.<database>.<CODE>'), which the server frees the moment
//   the session ends (connection killed, process killed, server restarted);
// - a row in the table `kelvane_run_lock` of the run's database (InnoDB, primary key the
//   upper-case code; created on first use), which replicates, so it also holds across the
//   nodes of a Galera cluster, where GET_LOCK only reaches one node. The row names the holder
//   (user@host, connection id, server, process, purpose, taken_at) and a heartbeat_at that a
//   background thread refreshes every `heartbeat_interval`.
// A row is stale, and is taken over by a conditional UPDATE on its holder's token so two
// takers cannot both win, when its holder ran on this very server (same @@hostname, @@port,
// @@socket) and no longer holds the server lock, or when its heartbeat is older than
// `expiry` by the server's clock (the nodes' clocks must agree within a few seconds). A live
// holder on another node keeps its row fresh; a dead one blocks others for `expiry` at most.
// The lock session asks the server to end it after a silence longer than the run's sessions'
// limit plus a server-bounded lock wait and a heartbeat interval, so a frozen workstation's
// lock is freed by the server only after its run sessions are ended. A holder whose heartbeat
// is older than that (and than `expiry`) and whose session on this server still holds the
// server lock is ended with KILL CONNECTION where the server allows it; either way the code
// is then taken over.
// Two nodes inserting the same code at once: the cluster lets one commit and refuses the
// other (a deadlock or a duplicate key), which is then reported as held.
struct LockOptions {
  std::chrono::milliseconds expiry{30000};
  std::chrono::milliseconds heartbeat_interval{5000};
  // How long the server keeps the lock session when silent; 0: computed as described above.
  std::chrono::seconds session_silence{0};
};

// Thrown when a code is held by another run. what() is the message for the user, e.g.
// "Agency 02 is in use by another Kelvane run (run 01->02 by pid 4242 on ws-07, user
// kelvane@localhost, connection 42, since 2026-12-09 19:40:03); nothing was changed. Try again
// when it has finished."
class Held : public std::runtime_error {
 public:
  Held(const std::string& message, std::string code, unsigned long long holder_connection)
      : std::runtime_error(message),
        code_(std::move(code)),
        holder_connection_(holder_connection) {}

  // The held code, in upper case.
  const std::string& code() const { return code_; }

  // The holder's connection id on its server; 0 when the server did not show it.
  unsigned long long holder_connection() const { return holder_connection_; }

 private:
  std::string code_;
  unsigned long long holder_connection_;
};

// The locks of one run's agency codes, held until Release() or destruction. Not copyable.
class RunLock {
  struct Key {
    explicit Key() = default;
  };

 public:
  // Takes the locks of `codes` (letter case ignored, duplicates folded, taken in sorted order)
  // in `settings.database`, without waiting for another run. `purpose` says what the run is
  // ("run 01->02", "dry run 01->02") and is shown to whoever finds the lock held. Throws
  // Held when a code is held, having released any code it took; throws db::Error when the
  // server cannot be asked or the lock table cannot be created (the message then names the
  // statement an administrator should run).
  static std::unique_ptr<RunLock> Acquire(const db::ConnectionSettings& settings,
                                          std::vector<std::string> codes,
                                          const std::string& purpose, LockOptions options = {});

  // For Acquire only (the key is private).
  RunLock(Key, const db::ConnectionSettings& settings, std::string purpose, LockOptions options);
  // Releases. Never throws.
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // Deletes this lock's rows (only those still carrying its token) and frees the server
  // locks. Safe to call twice. Never throws; a row it cannot delete goes stale as above.
  void Release() noexcept;

  // The codes held, upper case and sorted.
  const std::vector<std::string>& codes() const { return codes_; }

  // The lock session's connection id on its server (what the lock rows show).
  unsigned long long ConnectionId() const { return connection_id_; }

  // True once the lock is known to be gone while held: its session was lost, or another run
  // took a code over. A run should stop before its next step when this turns true.
  bool IsLost() const noexcept { return lost_.load(); }

  // For a run whose link to the server died: Release then leaves a lost lock session as it
  // is instead of connecting again to delete the rows (over a dead link that would only hold
  // the program up); the rows go stale as described above.
  void ReleaseWithoutReconnecting() noexcept { reconnect_on_release_ = false; }

 private:
  // Returns whether the lock table exists.
  bool PrepareSession();
  void EnsureTable(bool table_exists);
  void TakeCodes(const std::vector<std::string>& codes);
  // Whether each code's server lock is held.
  std::vector<bool> TakeServerLocks(const std::vector<std::string>& codes);
  void TakeCode(const std::string& code, bool holds_server_lock);
  bool TakeServerLock(const std::string& code);
  bool EndStaleHolder(const std::string& code);
  bool TakeRow(const std::string& code, bool holds_server_lock);
  [[noreturn]] void ThrowHeld(const std::string& code);
  void StartHeartbeat();
  void Heartbeat();

  db::Connection connection_;
  // Its session opens taking several statements a request, so the release is one round trip.
  db::MultiStatements batching_{connection_};
  std::string purpose_;
  LockOptions options_;
  std::string token_;    // identifies this holder's rows
  std::string server_;   // @@hostname:@@port:@@socket of the lock session
  std::string process_;  // "pid N on HOST"
  unsigned long long connection_id_ = 0;
  bool server_locks_ = true;        // false where the server refuses GET_LOCK (some cluster builds)
  std::vector<std::string> codes_;  // taken so far, sorted
  std::vector<std::string> server_locked_;  // names of the server locks held
  std::mutex mutex_;                        // guards connection_ once the heartbeat runs
  std::condition_variable wake_;
  bool stopping_ = false;
  std::atomic<bool> lost_{false};
  bool reconnect_on_release_ = true;
  std::thread heartbeat_;
};

}  // namespace lock
