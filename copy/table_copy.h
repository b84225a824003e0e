// The one routine that copies any described table from one agency to another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "copy/table_desc.h"
#include "db/bulk_insert.h"
#include "db/multi_row_insert.h"

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
  // Upper bound, in bytes, of one insert statement. 0 sends each row as its own single-row
  // statement, one round trip each. Above 0 the rows travel in multi-row statements
  // (db::MultiRowInsert, between the table's insert_text and closing_text, each row's values
  // exactly as its single-row statement holds them). A statement ends before the row that
  // would take it past the bound (a row longer than the bound goes alone) and after every
  // 1000th row of the table, so progress comes exactly as in single-row mode. A failing
  // multi-row statement's rows are sent again one by one inside a savepoint, so the db::Error
  // names the failing row's own single-row statement, and the rows before it stay inserted
  // as in single-row mode; a deadlock or lost connection, which ends the transaction, is
  // rethrown as it came. Meant for a run inside one transaction on tables that roll back a
  // failed statement whole. See MultiRowLimit.
  std::size_t multi_row_bytes = 0;
  // With multi_row_bytes, on a server that takes them (Connection::TakesBulkInserts): a
  // table of more rows than one statement takes goes as prepared inserts with the rows'
  // values as arrays (db::BulkInsert), which the server inserts without parsing them, the
  // same rows to a statement as the multi-row statements would hold; a failure is named by
  // the row's single-row statement as there. A table of fewer rows stays text, which a
  // batching run carries into the next request (a bulk insert is a round trip of its own,
  // worth it only for many rows), and so does a lone last row.
  bool bulk_rows = false;
  // The clears and the select go to the server as one request when the connection batches
  // (db::MultiStatements): the same statements, one round trip instead of up to three. For a
  // run inside one transaction; a step-by-step run sends them one by one, as always.
  bool batch_reads = false;
  // With batch_reads, for a mirrored kind: the statement copy_ap's first read will send
  // (from code, record type; "" for none), which then goes in the same request, and where
  // its answer goes before copy_ap runs.
  std::function<std::string(const std::string&, const std::string&)> ap_first_read = nullptr;
  std::function<void(std::string, db::Result)> ap_read_answer = nullptr;
  // With batch_reads and multi-row statements: the last insert of the table copied before,
  // not yet sent, which leads this table's first request (one round trip less); this table
  // leaves its own last insert here in turn. The caller sends what is left after the last
  // table. Should the carried insert fail, carried_failed is called before the error goes
  // on: the failure is the previous table's (whose status the caller may show again).
  std::optional<db::MultiRowInsert>* carried = nullptr;
  std::function<void()> carried_failed = nullptr;
};

// A multi_row_bytes bound for statements sent on a connection (db::MultiRowLimit).
using db::kMaxMultiRowBytes;
using db::MultiRowLimit;

// Takes the copy's steps for `table`: status, clear (with the ap clear for a mirrored
// kind), select, the inserts (one per row, or multi-row: see multi_row_bytes), then copy_ap
// for a mirrored kind. Throws db::Error at the first failing statement or column read;
// what ran before stays.
TableCopyStats CopyTable(const TableDesc& table, const CopyContext& context);

// The text one column of the current row takes in an insert, in the column's value form
// (the destination code for kDestCode, the literal for kLiteral). Throws db::Error as
// FieldByName and the Field readers do.
std::string FormatColumn(const ColumnDesc& column, const db::Query& row,
                         const std::string& to_code);

// Where each column of `table` stands in `row`'s result (nullopt where it is missing), found
// once for a whole result: looking every value up by name is a copy's largest cost on the
// client. Reading with them gives the same texts and the same errors as by name.
using ColumnPlaces = std::vector<std::optional<std::size_t>>;
ColumnPlaces PlacesOf(const TableDesc& table, const db::Query& row);

// What each column's value is in a prepared insert of `table` (db::BulkInsert): fixed text
// for the destination code and the literals, a parameter for every column read.
std::vector<db::InsertValue> InsertValues(const TableDesc& table, const std::string& to_code);

// The parameter values of the current row, in the order of InsertValues' parameters, read
// as BuildValues reads them (the flags first, the same errors); each is its literal in
// BuildValues before quoting.
void BuildParams(const TableDesc& table, const db::Query& row, const ColumnPlaces& places,
                 std::vector<std::string>& params);

// The insert text for the current row of `row` (a stored result standing on a row):
// table.insert_text + BuildValues + table.closing_text. Throws db::Error as FieldByName.
std::string BuildInsert(const TableDesc& table, const db::Query& row, const std::string& to_code,
                        const ColumnPlaces* places = nullptr);

// The values of the current row's insert, joined by ", ": what lies between the table's
// insert_text and closing_text, in single-row and multi-row statements alike. Flags are read
// first, then the other columns in order. Throws db::Error as FieldByName.
std::string BuildValues(const TableDesc& table, const db::Query& row, const std::string& to_code,
                        const ColumnPlaces* places = nullptr);

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
