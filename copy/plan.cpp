// What a run will delete and copy, counted once without changing anything.
#include "copy/plan.h"

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "copy/table_copy.h"
#include "copy/wording.h"
#include "db/connection.h"
#include "db/query.h"
#include "db/sql_text.h"
#include "recstore/ap_file.h"

namespace copy {

namespace {

uint64_t Number(db::Result& result, unsigned int column) {
  if (result.Eof() || result.IsNull(column)) {
    return 0;
  }
  return std::stoull(std::string(result.Value(column)));
}

// The server's average row length of every table of the database, by name.
std::map<std::string, uint64_t> AverageRowBytes(db::Connection& connection) {
  std::map<std::string, uint64_t> averages;
  db::Result result = connection.Query(
      "SELECT TABLE_NAME, AVG_ROW_LENGTH FROM information_schema.TABLES WHERE TABLE_SCHEMA = "
      "DATABASE()");
  for (; !result.Eof(); result.Next()) {
    averages[std::string(result.Value(0))] = Number(result, 1);
  }
  return averages;
}

// Runs the selects joined with UNION ALL, one statement however many there are, and hands
// each row to `take` by the tag in its first column.
template <typename Take>
void QueryTagged(db::Connection& connection, const std::vector<std::string>& selects, Take&& take) {
  std::string sql;
  for (const std::string& select : selects) {
    sql += (sql.empty() ? "" : " UNION ALL ") + select;
  }
  if (sql.empty()) {
    return;
  }
  for (db::Result result = connection.Query(sql); !result.Eof(); result.Next()) {
    take(static_cast<std::size_t>(Number(result, 0)), result);
  }
}

// Every mirrored kind's ap figures in three statements, however many kinds there are: what
// the clears remove; the first record of each scan too long for the copy's buffer; and what
// each scan copies. The ap copy scans key order from the first key greater than the prefix,
// takes every record that carries the prefix, and stops at a read that fails. A record longer
// than its buffer fails the read, so nothing after the first long one is copied. Records the
// ap clear removed first are not there to be read.
void PlanAp(db::Connection& connection, const std::vector<TableDesc>& tables,
            const std::string& from_code, const std::string& to_code, Plan& plans) {
  std::vector<std::string> cleared;
  std::vector<std::string> long_records;
  std::map<std::size_t, std::string> scans;
  for (std::size_t i = 0; i < tables.size(); ++i) {
    const std::string& type = tables[i].ap_record_type;
    if (type.empty()) {
      continue;
    }
    cleared.push_back(recstore::ApMeasureStatement(recstore::ApClearCondition(type, to_code), i));
    // A shorter prefix never equals the record's first eight bytes; a destination code of
    // fewer than two bytes is refused by the copy, as it cannot fill bytes 7 and 8.
    if (recstore::ApKeyPrefix(type, from_code).size() != recstore::kApPrefixLength ||
        to_code.size() < 2) {
      continue;
    }
    scans[i] = recstore::ApScanCondition(type, from_code, to_code);
    long_records.push_back(recstore::ApFirstLongStatement(scans[i], i));
  }
  QueryTagged(connection, cleared, [&plans](std::size_t i, db::Result& row) {
    plans.at(i).counts.ap_to_delete = Number(row, 1);
    plans.at(i).ap_bytes_to_delete = Number(row, 2);
  });
  QueryTagged(connection, long_records, [&plans, &scans](std::size_t i, db::Result& row) {
    plans.at(i).long_ap_record = LongApRecord{std::string(row.Value(1)), Number(row, 2)};
    scans[i] = recstore::ApBeforeKeyCondition(scans[i], std::string(row.Value(3)));
  });
  std::vector<std::string> copied;
  for (const auto& [i, condition] : scans) {
    copied.push_back(recstore::ApMeasureStatement(condition, i));
  }
  QueryTagged(connection, copied, [&plans](std::size_t i, db::Result& row) {
    plans.at(i).counts.ap_to_copy = Number(row, 1);
    plans.at(i).ap_bytes_to_copy = Number(row, 2);
  });
}

// Both counts of every table in one statement, one row per table tagged with its place:
// what the clear removes, and what the select reads after it. The select runs after the
// clear, so when the two codes match the same rows (the same code, or codes the column's
// collation holds equal) those rows are gone by then.
void CountRows(db::Connection& connection, const std::vector<TableDesc>& tables,
               const std::string& from_code, const std::string& to_code, Plan& plans) {
  std::string sql;
  for (std::size_t i = 0; i < tables.size(); ++i) {
    const std::string cleared = CodeCondition(tables[i], to_code);
    const std::string selected = CodeCondition(tables[i], from_code);
    sql += (i == 0 ? "" : " UNION ALL ");
    sql += "SELECT " + std::to_string(i) + ", COUNT(CASE WHEN " + cleared +
           " THEN 1 END), COUNT(CASE WHEN NOT (" + cleared + ") THEN 1 END) FROM " +
           tables[i].table + " WHERE (" + cleared + ") OR (" + selected + ")";
  }
  if (sql.empty()) {
    return;
  }
  for (db::Result result = connection.Query(sql); !result.Eof(); result.Next()) {
    TablePlan& plan = plans.at(static_cast<std::size_t>(Number(result, 0)));
    plan.counts.rows_to_delete = Number(result, 1);
    plan.counts.rows_to_copy = Number(result, 2);
  }
}

}  // namespace

Plan PlanRun(db::Connection& connection, const std::vector<TableDesc>& tables,
             const std::string& from_code, const std::string& to_code) {
  const std::map<std::string, uint64_t> averages = AverageRowBytes(connection);
  Plan plans;
  for (const TableDesc& desc : tables) {
    TablePlan plan{desc.table, desc.status_text, desc.ap_record_type, {}};
    if (const auto found = averages.find(desc.table); found != averages.end()) {
      plan.average_row_bytes = found->second;
    }
    plans.push_back(std::move(plan));
  }
  CountRows(connection, tables, from_code, to_code, plans);
  PlanAp(connection, tables, from_code, to_code, plans);
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
