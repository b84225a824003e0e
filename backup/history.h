// The history of the backups kept in a folder: listing them with what their headers and
// outcome lines say, as text lines or JSON.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace backup {

// The outcome recorded for a backup's run.
enum class RunOutcome {
  kUnknown,  // none recorded: the run is still going, or ended without recording it
  kCompleted,
  kFailed,
};

// "completed", "failed" or "unknown".
const char* RunOutcomeText(RunOutcome outcome);

// One backup of the folder, as its header describes it.
struct HistoryEntry {
  std::string path;  // the file
  std::string time;  // as the header gives it; "" when the header cannot be read
  std::string database;
  std::string from_code;  // the run's From code, or "restore"
  std::string to_code;
  uint64_t rows = 0;     // table rows saved
  uint64_t records = 0;  // ap records saved
  // The tables the backup holds when its run chose some, in run order; empty: all twelve.
  std::vector<std::string> tables;
  RunOutcome outcome = RunOutcome::kUnknown;
  // Not empty when the file's header cannot be read; the fields above but `path` are then
  // empty.
  std::string problem;
};

// The backups in `dir` (files named *.sql, not hidden ones), newest first; files of the same
// time in the order they were written, the later first. A missing folder has none. Reads
// only each file's header and its last line. Throws std::runtime_error naming the folder and
// the system's error when it exists but cannot be read.
std::vector<HistoryEntry> ListBackups(const std::string& dir);

// One line of the history, e.g.
// "2026-12-09 19:40:03.123 +0100  01 -> 02  412 rows, 37 records  completed  /path/file.sql",
// with "  only Bank, GLCodes" after the counts when the backup holds some of the tables.
std::string FormatHistoryLine(const HistoryEntry& entry);

}  // namespace backup
