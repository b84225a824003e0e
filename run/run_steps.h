// The pieces a run and a restore both go through: the destination's state saved first with
// its outcome recorded after, and the one transaction that commits or rolls back.
#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backup/backup.h"
#include "copy/catalogue.h"
#include "copy/table_desc.h"
#include "db/settings.h"
#include "lock/run_lock.h"
#include "run/run_error.h"

namespace db {
class Connection;
class Error;
}  // namespace db

namespace run {

// The server's (or the client library's) number behind a failure, 0 when it did not come
// from the database.
unsigned int ServerError(const std::exception& failure);

// Takes the run locks of `codes` for `purpose` (lock::RunLock::Acquire, whose contract
// holds); another run's hold on one of them is thrown as LockHeld.
std::unique_ptr<lock::RunLock> TakeLock(const db::ConnectionSettings& settings,
                                        const std::vector<std::string>& codes,
                                        const std::string& purpose);

// Runs `body` as step `step`: a RunError passes as it is, any other failure becomes a
// RunError of `step` with the same text and the server's number (nothing changed).
template <typename Body>
decltype(auto) InStep(RunStep step, Body&& body) {
  try {
    return body();
  } catch (const RunError&) {
    throw;
  } catch (const std::exception& failure) {
    throw RunError(failure.what(),
                   {.step = step, .cause = failure.what(), .server_error = ServerError(failure)});
  }
}

// The backup a run or restore writes before its first change, and the outcome it records
// in it afterwards. Without a backup (none asked for) every call does nothing.
class SavedState {
 public:
  SavedState() = default;

  // Saves the state of agency `to_code` in `tables` (with their ap record types) into a
  // backup in `dir` ("" is DefaultBackupDir()), the tables as `catalogue` describes them;
  // `from_code` is the run's source, or "restore". Throws what WriteBackup throws.
  void Write(db::Connection& connection, const copy::Catalogue& catalogue,
             const std::vector<copy::TableDesc>& tables, const std::string& dir,
             const std::string& from_code, const std::string& to_code);

  // Records how the run ended in the backup's history. A failure to record it is returned
  // as text (the history then shows the outcome as unknown; the backup itself is intact).
  std::optional<std::string> MarkOutcome(bool completed) const noexcept;

  // `text` followed by how to put the saved state back, when there is one.
  std::string WithRestoreHint(const std::string& text) const;

  const std::optional<backup::BackupSummary>& summary() const { return summary_; }

  std::string path() const { return summary_ ? summary_->path : std::string(); }

 private:
  std::optional<backup::BackupSummary> summary_;
};

// One transaction on `connection`, begun by the constructor. Rolled back by the destructor
// unless committed or rolled back before.
class Transaction {
 public:
  explicit Transaction(db::Connection& connection);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // Sends COMMIT. Throws db::Error as the server answers; committing() is then true, and a
  // lost connection means nobody can tell whether the server committed.
  void Commit();

  // Sends ROLLBACK; when that fails the session is closed, and the server rolls back what a
  // lost session left open. Never throws.
  void RollBack() noexcept;

  // Forgets the transaction and closes the session without a ROLLBACK: after a lost
  // COMMIT nobody can tell what the server did, and a new session could not undo it.
  void Abandon() noexcept;

  bool committing() const { return committing_; }

 private:
  db::Connection& connection_;
  bool open_ = true;
  bool committing_ = false;
};

}  // namespace run
