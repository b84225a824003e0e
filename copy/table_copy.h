// The one routine that copies any described table from one agency to another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "copy/table_desc.h"

namespace db {
class Query;
class Result;
}  // namespace db

namespace copy {

// What one table copy did, for the run report.
struct TableCopyStats {
  uint64_t rows_deleted = 0;   // destination rows removed by the clear
  uint64_t ap_deleted = 0;     // destination ap records removed by the clear
  uint64_t rows_selected = 0;  // source rows read
  uint64_t rows_inserted = 0;
  uint64_t ap_copied = 0;  // as reported by copy_ap
};

struct CopyContext {
  db::Query& select_query;  // runs the clears and the select (the window's FDQuery1)
  db::Query& insert_query;  // runs the inserts (AddQuery)
  std::string from_code;
  std::string to_code;
  bool clear_existing = true;
  // Shows the status text and lets the window repaint once.
  std::function<void(std::string_view)> status;
  // Copies the ap records of a mirrored kind: (from, to, record type) -> records copied.
  std::function<uint64_t(const std::string&, const std::string&, const std::string&)> copy_ap;
  // Called now and then while rows are inserted: (inserted so far, selected). The
  // engine calls it at most every 1000 rows and after the last row; the callee throttles.
  std::function<void(uint64_t, uint64_t)> progress;
  // Inserts sent per round trip. 1 sends each on its own; more sends that many statements,
  // each text unchanged, in one multi-statement packet (used inside a transaction).
  std::size_t batch_size = 1;
};

// Takes the copy's steps for `table`: status, clear (with the ap clear for a mirrored
// kind), select, one insert per row, then copy_ap for a mirrored kind. Throws db::Error at
// the first failing statement or column read; what ran before stays.
TableCopyStats CopyTable(const TableDesc& table, const CopyContext& context);

// The text one column of the current row takes in an insert, in the column's value form
// (the destination code for kDestCode, the literal for kLiteral). Throws db::Error as
// FieldByName and the Field readers do.
std::string FormatColumn(const ColumnDesc& column, const db::Query& row,
                         const std::string& to_code);

// The insert text for the current row of `row` (a stored result standing on a row).
// Flags are read first, then the other columns in order. Throws db::Error as FieldByName.
std::string BuildInsert(const TableDesc& table, const db::Query& row, const std::string& to_code);

// The statement texts of the clears and the select.
std::string ClearStatement(const TableDesc& table, const std::string& to_code);
std::string ApClearStatement(const TableDesc& table, const std::string& to_code);  // "" if none
std::string SelectStatement(const TableDesc& table, const std::string& from_code);

// The condition the clear and the select of `table` put on `code` ("AgyCode = '02'"), for
// counting the rows they reach.
std::string CodeCondition(const TableDesc& table, const std::string& code);

// The float form of a currency amount in ten-thousandths: exact decimal, full stop,
// trailing zeros dropped ("12.5", "15", "-3.25", "0.0001").
std::string FormatCurrency(int64_t ten_thousandths);

}  // namespace copy
