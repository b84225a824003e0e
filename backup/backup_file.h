// The backup file's format: how a saved agency state is written as SQL, and how such a file
// is read back and checked. No database or file access here; backup/backup.h does that.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "db/multi_row_insert.h"

namespace backup {

// The header's first line; the number is the format's version.
inline constexpr const char* kBackupMagic = "-- Kelvane backup 1";

// The session a backup's statements run in, set by the file and by the restore alike:
// strict, so a value the table can no longer hold fails the restore instead of being
// changed; an id of 0 stays 0; backslashes are not special (the file holds none in values);
// timestamps in UTC, as they were read.
inline constexpr const char* kBackupSqlMode =
    "STRICT_ALL_TABLES,NO_AUTO_VALUE_ON_ZERO,NO_ENGINE_SUBSTITUTION";
inline constexpr const char* kBackupTimeZone = "+00:00";

// A statement of the file is never longer than this, unless one row alone is.
inline constexpr std::size_t kMaxStatementBytes = 1 << 20;

// One value of a saved row.
struct SavedValue {
  enum class Form {
    kNull,
    kBytes,   // the column's bytes, exact, written as a hex literal
    kNumber,  // the exact decimal text of a number (integer, decimal, float, bit)
  };
  Form form = Form::kNull;
  std::string text;  // the bytes, or the number's text; empty for kNull
};

// One part of the saved state: an agency's rows of one table, or its ap records of one type.
struct BackupSection {
  std::string table;                 // e.g. "Bank"; empty for an ap section
  std::string record_type;           // e.g. "009"; empty for a table section
  std::vector<std::string> columns;  // a table section's saved columns, in table order
  // The statements that put the part back, without ";": the delete of what is there, then
  // multi-row inserts of the saved rows.
  std::vector<std::string> statements;
  uint64_t count = 0;  // rows (or records) the inserts hold

  bool IsAp() const { return table.empty(); }

  // "Bank", or "ap 009".
  std::string Name() const;
};

// What a backup says about itself.
struct BackupHeader {
  std::string program;    // "Kelvane 1.0.0"
  std::string database;   // the database the state was read from
  std::string time;       // local time with offset, "2026-12-09 19:40:03.123 +0100"
  std::string from_code;  // the run's From code, or "restore" for a restore's own backup
  std::string to_code;    // the agency whose state the file holds
  // The tables the file holds when a run chose some (their ap record types with them), in
  // run order, as the header's "-- tables:" line names them; empty: all twelve, and no such
  // line (every file written before tables could be chosen).
  std::vector<std::string> tables = {};
};

// A whole backup: header, its sections in file order, and the run's outcome once known.
struct BackupContents {
  BackupHeader header;
  std::vector<BackupSection> sections;
  std::optional<bool> completed;  // from the outcome line; nullopt when there is none
};

// Thrown when a file is not a complete, unchanged backup. what() says what is wrong,
// without the file's name (callers add it).
class BackupFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Builds the sections of an agency's state, in the order the restore replaces them.
// The statements are texts this program also expects when it reads the file back.
class SectionBuilder {
 public:
  // A table section: `code_column` is the column compared with the code.
  SectionBuilder(const std::string& table, const std::string& code_column, const std::string& code,
                 std::vector<std::string> columns);
  // An ap section of `record_type`.
  SectionBuilder(const std::string& record_type, const std::string& code);

  // Adds a row of a table section (one value per column). Throws std::invalid_argument
  // for a value count that differs from the columns' or a number that is not plain decimal
  // text.
  void AddRow(const std::vector<SavedValue>& values);
  // Adds a record of an ap section, key and data as stored.
  void AddRecord(std::string_view key, std::string_view data);

  // The finished section; the builder is spent.
  BackupSection Finish();

 private:
  void AddValues(std::string_view values);

  BackupSection section_;
  db::RowJoiner insert_;  // the insert being filled
};

// The text every insert of `section` starts with, up to and with its first row's "(", e.g.
// "INSERT INTO `Bank` (`RowID`, `AgyCode`) VALUES (": the rows' values follow it, joined by
// "), (", and kInsertTail ends the statement (see db::RowJoiner).
std::string InsertHead(const BackupSection& section);
inline constexpr const char* kInsertTail = ")";

// Gives `send` the inserts of `section` (its statements after the delete, as SectionBuilder
// wrote them or ParseBackup read them), each within `bound` bytes: a statement within it as
// it is, a longer one cut into statements of the same rows in the same order (a row whose
// single-row statement is longer than `bound` alone in one). So a file written with
// kMaxStatementBytes goes to a server that takes less.
void ForEachInsertWithin(const BackupSection& section, std::size_t bound,
                         const std::function<void(const std::string&)>& send);

// The length of the longest single-row insert of the rows of `section`; 0 when it has none.
std::size_t LongestSingleRowInsert(const BackupSection& section);

// The delete that removes an agency's rows of a table, as backups write it.
std::string TableClearStatement(const std::string& table, const std::string& code_column,
                                const std::string& code);

// The whole file for `header` and `sections`: header comments with each section's count,
// checksum and columns, then the session settings and one transaction of every section's
// statements, each on a line of its own.
std::string RenderBackup(const BackupHeader& header, const std::vector<BackupSection>& sections);

// The same file in parts, so a writer holds one section at a time: the lines of a section's
// statements (what its checksum covers) with that checksum in `sha256`; the header and
// session settings for sections whose statements may have been dropped, given their
// checksums in order; and the end of the transaction and of the file.
std::string RenderSectionLines(const BackupSection& section, std::string& sha256);
std::string RenderHead(const BackupHeader& header, const std::vector<BackupSection>& sections,
                       const std::vector<std::string>& checksums);
std::string RenderTail();

// Reads a file RenderBackup wrote (optionally followed by its outcome line) and checks it:
// the header, the exact statements expected for each of the twelve tables and seven record
// types in order (or, after a "-- tables:" line, for the tables it names, known, in run order
// and each once, with their record types), each value's form, every section's count and checksum,
// the COMMIT and the end line. And, since anyone can compute a checksum again, that every row
// belongs to the agency the header names as the delete before it matches that agency's: a table's
// code column (which must be among its columns) equal to the code but for ASCII letter case and
// trailing blanks, as the column's collation compares; bytes 7-8 of an ap key and of its
// record equal to it byte for byte, as the delete's LIKE on the key compares. Throws
// BackupFormatError naming the line and what is wrong (for a row of another agency: the
// section, the row and its code).
BackupContents ParseBackup(std::string_view text);

// The header alone, with its counts (statements and checksums are not read, so this is
// quick for a long file). `sections` then holds names and counts only. Throws
// BackupFormatError when the header is not one this program writes.
BackupContents ParseBackupHeader(std::string_view text);

// The outcome line MarkBackupOutcome appends after the end line.
std::string OutcomeLine(bool completed);

// The line that ends every backup, before any outcome line.
inline constexpr const char* kBackupEndLine = "-- end of backup";

}  // namespace backup
