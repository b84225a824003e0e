// The text a backup file's writer (backup_file.cpp) and its reader (backup_parse.cpp) both
// spell, kept in one place so that what is written is what is expected back.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace backup {

inline constexpr const char* kPreamble[] = {
    "SET NAMES utf8mb4;",
    "SET SESSION sql_mode = 'STRICT_ALL_TABLES,NO_AUTO_VALUE_ON_ZERO,NO_ENGINE_SUBSTITUTION';",
    "SET SESSION time_zone = '+00:00';",
    "START TRANSACTION;",
};

inline constexpr const char* kChecksumNote =
    "-- checksums: SHA-256 of each section's statements below, exactly as written, each line "
    "with its line feed";
inline constexpr const char* kRestoreNote =
    "-- restore: kelvane --restore FILE checks this file first; mariadb DATABASE < FILE also "
    "restores it";
inline constexpr const char* kColumnsPrefix = "--   columns: ";
// The header line of a backup that holds some of the tables, e.g. "-- tables: Bank, GLCodes".
inline constexpr const char* kTablesPrefix = "-- tables: ";

inline bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The number of digits at `pos` of `text`.
std::size_t DigitRun(std::string_view text, std::size_t pos);

// Length of the number at the start of `text` in the form the server writes numbers:
// -?digits(.digits)?(e[+-]?digits)?; 0 when there is none.
std::size_t NumberLength(std::string_view text);

// "`a`, `b``c`": the columns as a header's columns line and a table's inserts list them.
std::string ColumnList(const std::vector<std::string>& columns);

}  // namespace backup
