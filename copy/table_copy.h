// The one routine that copies any described table from one agency to another.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "copy/insert_sink.h"
#include "copy/row_values.h"
#include "copy/table_desc.h"
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

// What a table copy needs besides the table: the codes, the statement object of the reads,
// the callbacks to the caller, and the sink the inserts go to.
struct CopyContext {
  db::Query& select_query;  // runs the clears and the select (the window's FDQuery1)
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
  // When the sink carries (InsertSink::carried), for a mirrored kind: the statement copy_ap's
  // first read will send (from code, record type; "" for none), which then goes in the
  // table's first request, and where its answer goes before copy_ap runs.
  std::function<std::string(const std::string&, const std::string&)> ap_first_read = nullptr;
  std::function<void(std::string, db::Result)> ap_read_answer = nullptr;
  // Where the rows go: StepByStepSink for the original single-row stream, MultiRowSink or
  // BulkSink inside one transaction. Serves the tables of a run one after the other.
  InsertSink& sink;
};

// A bound for the statements of a MultiRowSink sent on a connection (db::MultiRowLimit).
using db::kMaxMultiRowBytes;
using db::MultiRowLimit;

// Takes the copy's steps for `table`: status, clear (with the ap clear for a mirrored
// kind), select, the inserts through the sink, then copy_ap for a mirrored kind. When the
// sink carries and the connection batches (db::MultiStatements), the clears, the select and
// the ap copy's first read go as one request, led by the insert the table before left; a
// failure of that insert is the earlier table's (CarriedInsert). Otherwise they go one by
// one, as always, after any carried insert. Throws db::Error at the first failing statement
// or column read; what ran before stays.
TableCopyStats CopyTable(const TableDesc& table, const CopyContext& context);

// The statement texts of the clears and the select.
std::string ClearStatement(const TableDesc& table, const std::string& to_code);
std::string ApClearStatement(const TableDesc& table, const std::string& to_code);  // "" if none
std::string SelectStatement(const TableDesc& table, const std::string& from_code);

// The condition the clear and the select of `table` put on `code` ("AgyCode = '02'"), for
// counting the rows they reach.
std::string CodeCondition(const TableDesc& table, const std::string& code);

}  // namespace copy
