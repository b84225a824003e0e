// What a run would delete and copy, counted without changing anything.
#include "copy/dry_run.h"

#include "copy/table_copy.h"
#include "copy/wording.h"
#include "db/connection.h"
#include "db/query.h"
#include "db/sql_text.h"
#include "recstore/ap_file.h"

namespace copy {

namespace {

using db::Count;

// The records the ap copy inserts: it scans key order from the first key greater than the
// prefix, takes every record that carries the prefix, and stops at a read that fails. A
// record longer than its buffer fails the read, so nothing after the first long one is
// copied. Records the ap clear removed first are not there to be read.
uint64_t CountApToCopy(db::Connection& connection, const TableDesc& desc,
                       const std::string& from_code, const std::string& to_code) {
  const std::string prefix = recstore::ApKeyPrefix(desc.ap_record_type, from_code);
  // A shorter prefix never equals the record's first eight bytes; a destination code of
  // fewer than two bytes is refused by the copy, as it cannot fill bytes 7 and 8.
  if (prefix.size() != recstore::kApPrefixLength || to_code.size() < 2) {
    return 0;
  }
  const std::string key = db::QuotedText(prefix);
  const std::string cleared = recstore::ApClearCondition(desc.ap_record_type, to_code);
  const std::string limit = std::to_string(recstore::kApRecordLength);
  const std::string table = recstore::kApTable;
  const std::string in_scan =
      "LEFT(RecData, 8) = " + key + " AND Index0Col > " + key + " AND NOT (" + cleared + ")";
  // The first record too long for the buffer ends the scan: find it once, then count the
  // records before it (each a key range the primary key reads directly).
  db::Result first_long = connection.Query("SELECT HEX(MIN(Index0Col)) FROM " + table + " WHERE " +
                                           in_scan + " AND LENGTH(RecData) > " + limit);
  std::string before_long;
  if (!first_long.Eof() && !first_long.IsNull(0)) {
    before_long = " AND Index0Col < X'" + std::string(first_long.Value(0)) + "'";
  }
  return Count(connection, "SELECT COUNT(*) FROM " + table + " WHERE " + in_scan + before_long);
}

}  // namespace

std::vector<TablePlan> PlanRun(db::Connection& connection, const std::vector<TableDesc>& tables,
                               const std::string& from_code, const std::string& to_code) {
  std::vector<TablePlan> plans;
  for (const TableDesc& desc : tables) {
    TablePlan plan{desc.table, desc.status_text, desc.ap_record_type, {}};
    const std::string cleared = CodeCondition(desc, to_code);
    const std::string selected = CodeCondition(desc, from_code);
    plan.counts.rows_to_delete =
        Count(connection, "SELECT COUNT(*) FROM " + desc.table + " WHERE " + cleared);
    // The select runs after the clear: when the two codes match the same rows (the same
    // code, or codes the column's collation holds equal) those rows are gone by then.
    plan.counts.rows_to_copy = Count(connection, "SELECT COUNT(*) FROM " + desc.table + " WHERE (" +
                                                     selected + ") AND NOT (" + cleared + ")");
    if (!desc.ap_record_type.empty()) {
      plan.counts.ap_to_delete =
          Count(connection, recstore::ApCountStatement(desc.ap_record_type, to_code));
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
