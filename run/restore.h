// Putting an agency's saved state back from a backup file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "backup/backup.h"
#include "backup/backup_file.h"
#include "copy/catalogue.h"
#include "run/run_error.h"
#include "run/run_steps.h"

namespace db {
class Connection;
}

namespace run {

// Thrown when a restore is refused before anything changed: the file cannot be read or is
// not a complete, unchanged backup of one agency's rows, it was made in another database, a
// row of it is too long for the server, a table lacks a column the file holds, or the
// backup of the current state cannot be written. what() names the file and the reason and
// ends with "Nothing was changed." (ReadBackupFile's own do not).
class RestoreRefused : public RunError {
 public:
  explicit RestoreRefused(const std::string& message, RunStep step = RunStep::kCheck)
      : RunError(message, {.step = step, .cause = message}) {}
};

struct RestoreOptions {
  bool dry_run = false;     // check the file and count; no lock, no backup, no change
  bool make_backup = true;  // save the state being replaced first, so the restore can be undone
  std::string backup_dir;   // where that backup goes; "" is DefaultBackupDir()
  // Takes the run lock of the agency the file holds; what it returns holds the lock until
  // it is destroyed, and it throws (run::LockHeld) when another run holds it. Empty: the
  // agency's RunLock (lock/run_lock.h) is taken with the connection's settings.
  std::function<std::shared_ptr<void>(const std::string& agency_code)> take_lock;
};

// One table or record type of a restore.
struct RestoreSection {
  std::string name;       // "Bank", or "ap 009"
  uint64_t saved = 0;     // rows or records the file holds, and put back
  uint64_t replaced = 0;  // the agency's rows or records that were there and were removed
                          // (in a dry run: that are there)
};

struct RestoreResult {
  std::string file;
  std::string database;   // the file's and the connection's
  std::string from_code;  // as the file gives them: the run's From code, or "restore"
  std::string to_code;    // the agency put back
  std::string time;       // the backup's time
  bool dry_run = false;
  std::vector<RestoreSection> sections;  // twelve tables, then seven record types
  // The backup of the state the restore replaced; empty in a dry run or without backup.
  std::optional<backup::BackupSummary> backup;
  // Problems that did not stop the restore (the backup's outcome could not be recorded).
  std::vector<std::string> warnings;
};

// Reads the backup at `path` and checks it as a restore does before anything else: header,
// statements, counts and checksums (see ParseBackup). Throws RestoreRefused naming the file
// and what is wrong.
backup::BackupContents ReadBackupFile(const std::string& path);

// One restore of the agency state saved in the file at `path`, on `connection`: made for one
// command-line --restore or one put back from the window's history, gone when done. Its
// steps, in the order they run:
//   Prepare(): check: the file (ReadBackupFile), that the connection's database is the
//              file's, and that every row fits in a statement of its own within the
//              session's max_allowed_packet; lock: the agency's run lock unless a dry run
//              (held by this object until it goes); check: every column the file holds
//              still exists in its table; plan, in a dry run only: what is there now is
//              counted. Changes nothing.
//   Execute(): backup: the current state is saved with WriteBackup(connection, folder,
//              "restore", code) unless options.make_backup is false; restore: in one
//              transaction, the agency's rows of the twelve tables and its ap records of
//              the seven types are deleted and the saved ones inserted, with the file's
//              session settings (which are put back after), then committed; finish: the
//              outcome is recorded in that backup. A dry run stops after Prepare. The file's
//              inserts go as they are, or cut into statements within db::MultiRowLimit
//              where they are longer, so a server that takes less than the file's
//              statements still takes the restore.
// Starts its own transaction, so the connection must not be inside one. Every failure is a
// RunError: RestoreRefused for a refusal before anything changed, run::LockHeld (or what
// take_lock throws) when another run holds the agency, and one of step kRestore when the
// transaction fails: it is then rolled back and the message says so, with the server's
// message. The lock, the saved state with its outcome and the transaction are the run's own
// pieces (run/run_steps.h). Not copyable; one Prepare and one Execute each.
class RestoreRun {
 public:
  RestoreRun(db::Connection& connection, std::string path, RestoreOptions options = {});
  ~RestoreRun();
  RestoreRun(const RestoreRun&) = delete;
  RestoreRun& operator=(const RestoreRun&) = delete;

  const RestoreResult& Prepare();

  // Prepares first when Prepare has not run.
  const RestoreResult& Execute();

  const RestoreResult& result() const { return result_; }

 private:
  void CheckDatabase();
  void CheckStatementSizes();
  void CheckColumns();
  void Backup();
  void Restore();
  [[noreturn]] void Refuse(const std::string& reason, RunStep step = RunStep::kCheck) const;

  db::Connection& connection_;
  RestoreOptions options_;
  backup::BackupContents contents_;
  copy::Catalogue catalogue_;  // read by the check of the columns, for the backup too
  RestoreResult result_;
  std::shared_ptr<void> lock_;
  SavedState saved_;
  std::size_t statement_bytes_ = 0;  // the longest insert sent, from CheckStatementSizes
  bool prepared_ = false;
  bool executed_ = false;
};

// One line per table and record type, e.g. "Bank: 3 rows restored, 2 replaced", or in a
// dry run "Bank: would restore 3 rows, replacing 2".
std::vector<std::string> DescribeRestore(const RestoreResult& result);

}  // namespace run
