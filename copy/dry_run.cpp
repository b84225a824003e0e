// What a run would delete and copy, counted without changing anything.
#include "copy/dry_run.h"

#include <stdexcept>

#include "copy/sql_text.h"
#include "copy/table_copy.h"
#include "copy/wording.h"
#include "db/ascii.h"
#include "db/connection.h"
#include "db/query.h"

namespace copy {

namespace {

constexpr const char* kRecordLimit = "150";  // the ap copy's buffer; longer records end it

// The condition of one of the engine's own statements ("Delete from Bank where AgyCode =
// '02'"). Counting with the run's very conditions keeps the plan exact however the engine
// quotes or escapes a code.
std::string Condition(const std::string& statement) {
  std::size_t where = db::AsciiLower(statement).find(" where ");
  if (where == std::string::npos) {
    throw std::logic_error("statement without a condition: " + statement);
  }
  return statement.substr(where + 7);
}

uint64_t Count(db::Connection& connection, const std::string& sql) {
  db::Result result = connection.Query(sql);
  if (result.Eof() || result.IsNull(0)) {
    return 0;
  }
  return std::stoull(std::string(result.Value(0)));
}

// The records the ap copy inserts: it scans key order from the first key greater than the
// prefix, takes every record that carries the prefix, and stops at a read that fails. A
// record longer than its buffer fails the read, so nothing after the first long one is
// copied. Records the ap clear removed first are not there to be read.
uint64_t CountApToCopy(db::Connection& connection, const TableDesc& desc,
                       const std::string& from_code, const std::string& to_code) {
  const std::string prefix = desc.ap_record_type + "000" + from_code;
  // A shorter prefix never equals the record's first eight bytes; a destination code of
  // fewer than two bytes is refused by the copy, as it cannot fill bytes 7 and 8.
  if (prefix.size() != 8 || to_code.size() < 2) {
    return 0;
  }
  const std::string key = QuoteString(EscapeString(prefix));
  const std::string cleared = Condition(ApClearStatement(desc, to_code));
  const std::string in_scan =
      "LEFT(RecData, 8) = " + key + " AND Index0Col > " + key + " AND NOT (" + cleared + ")";
  return Count(connection,
               "SELECT COUNT(*) FROM zz_data_ap a WHERE " + in_scan + " AND LENGTH(RecData) <= " +
                   kRecordLimit + " AND NOT EXISTS (SELECT 1 FROM zz_data_ap b WHERE " + in_scan +
                   " AND b.Index0Col < a.Index0Col AND LENGTH(b.RecData) > " + kRecordLimit + ")");
}

}  // namespace

std::vector<TablePlan> PlanRun(db::Connection& connection, const std::vector<TableDesc>& tables,
                               const std::string& from_code, const std::string& to_code) {
  std::vector<TablePlan> plans;
  for (const TableDesc& desc : tables) {
    TablePlan plan{desc.table, desc.status_text, desc.ap_record_type, {}};
    const std::string cleared = Condition(ClearStatement(desc, to_code));
    const std::string selected = Condition(SelectStatement(desc, from_code));
    plan.counts.rows_to_delete =
        Count(connection, "SELECT COUNT(*) FROM " + desc.table + " WHERE " + cleared);
    // The select runs after the clear: when the two codes match the same rows (the same
    // code, or codes the column's collation holds equal) those rows are gone by then.
    plan.counts.rows_to_copy = Count(connection, "SELECT COUNT(*) FROM " + desc.table + " WHERE (" +
                                                     selected + ") AND NOT (" + cleared + ")");
    if (!desc.ap_record_type.empty()) {
      plan.counts.ap_to_delete = Count(connection, "SELECT COUNT(*) FROM zz_data_ap WHERE " +
                                                       Condition(ApClearStatement(desc, to_code)));
      plan.counts.ap_to_copy = CountApToCopy(connection, desc, from_code, to_code);
    }
    plans.push_back(std::move(plan));
  }
  return plans;
}

std::string DescribePlan(const TablePlan& plan) {
  const PlanCounts& counts = plan.counts;
  std::string line =
      plan.status_text + ": delete " + Quantity(counts.rows_to_delete, "row", "rows");
  if (plan.ap_record_type.empty()) {
    return line + ", copy " + Quantity(counts.rows_to_copy, "row", "rows");
  }
  return line + " and " + Quantity(counts.ap_to_delete, "ap record", "ap records") + " (" +
         plan.ap_record_type + "), copy " + Quantity(counts.rows_to_copy, "row", "rows") + " and " +
         Quantity(counts.ap_to_copy, "ap record", "ap records");
}

}  // namespace copy
