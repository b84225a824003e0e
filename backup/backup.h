// Backups of an agency's state before a run replaces it, and their outcome. The history of
// a folder's backups is backup/history.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace copy {
class Catalogue;
struct TableDesc;
}  // namespace copy

namespace db {
class Connection;
}

namespace backup {

// The backups folder: KELVANE_BACKUP_DIR when set and not empty, else
// $XDG_STATE_HOME/kelvane/backups when XDG_STATE_HOME is an absolute path, else
// $HOME/.local/state/kelvane/backups (the home folder from the password database when HOME
// is unset or empty). Throws std::runtime_error when no home folder can be found.
std::string DefaultBackupDir();

// What a written backup holds.
struct BackupSummary {
  std::string path;       // the file, under the folder it was written to
  std::string database;   // the database the state was read from
  std::string from_code;  // the run's From code, or "restore"
  std::string to_code;    // the agency whose state the file holds
  std::string time;       // "2026-12-09 19:40:03.123 +0100", local time
  // Per table ("Bank") and record type ("ap 009"), in the order the file restores them:
  // the rows or records saved.
  std::vector<std::pair<std::string, uint64_t>> counts;
  uint64_t rows = 0;     // table rows saved, all tables
  uint64_t records = 0;  // ap records saved, all seven types
};

// Saves the state of agency `to_code` in connection's database to a new file in `dir`: every
// row of the twelve tables whose code column matches `to_code` (as the run's clear matches
// it), with every column the table has, and the agency's ap records of the seven types,
// keys and bytes exact. `from_code` is the run's From code, or "restore" when a restore
// saves what it is about to replace; both name the file
// (20261209-194003.123-01-to-02.sql, with "-2", "-3", ... when the name is taken).
//
// The folder and missing parents are created with mode 0700 (an existing folder keeps its
// mode), the file with mode 0600. The file is written under a temporary name, flushed to
// disk, closed and then renamed into place, never over an existing file, and the folder is
// flushed: on return it is on disk under its final name, and a failure leaves no file
// behind. Runs only SELECT statements, so it may run inside the caller's transaction; the
// session's time zone is UTC while it reads and restored after.
//
// Throws std::invalid_argument for codes other than two ASCII letters or digits ("restore"
// also for `from_code`), std::runtime_error naming the file or folder and the system's
// error when it cannot be written, and db::Error as the statements do.
BackupSummary WriteBackup(db::Connection& connection, const std::string& dir,
                          const std::string& from_code, const std::string& to_code);

// The same, with `time` as the backup's time instead of now.
BackupSummary WriteBackup(db::Connection& connection, const std::string& dir,
                          const std::string& from_code, const std::string& to_code,
                          std::chrono::system_clock::time_point time);

// The same, the tables' columns and the database as `catalogue` (read of the connection's
// database) describes them, so that a run that read it for its checks does not read it again.
BackupSummary WriteBackup(db::Connection& connection, const copy::Catalogue& catalogue,
                          const std::string& dir, const std::string& from_code,
                          const std::string& to_code, std::chrono::system_clock::time_point time);

// The same for the rows of `tables` alone (in run order) and the ap records of their types:
// what a run of those tables replaces, so that putting the file back restores those alone.
// Unless `tables` is all twelve, the header names them ("-- tables: Bank, GLCodes").
BackupSummary WriteBackup(db::Connection& connection, const copy::Catalogue& catalogue,
                          const std::vector<copy::TableDesc>& tables, const std::string& dir,
                          const std::string& from_code, const std::string& to_code,
                          std::chrono::system_clock::time_point time);

// What a failed run's message says last: where the agency's previous state was saved and
// how to put it back, e.g. "The previous profile of agency 02 is saved in FILE; to put it
// back: kelvane --restore FILE" (FILE shell-quoted when it needs to be).
std::string RestoreHint(const BackupSummary& backup);

// Records after the run whether the run whose backup is at `path` completed: appends the
// line "-- outcome: completed" (or "failed") after the file's end line, replacing an
// outcome line already there, and flushes it to disk. The checksums do not cover it, so the
// file stays restorable both ways. Throws std::runtime_error naming the file and the
// system's error, or saying the file is not a complete backup.
void MarkBackupOutcome(const std::string& path, bool completed);

}  // namespace backup
