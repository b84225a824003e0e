// What a run will delete and copy, counted once without changing anything.
#include "copy/plan.h"

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "copy/pair_reader.h"
#include "copy/table_copy.h"
#include "copy/wording.h"
#include "db/ascii.h"
#include "db/connection.h"
#include "db/query.h"
#include "db/sql_text.h"
#include "recstore/ap_file.h"

namespace copy {

namespace {

// The tagged selects joined with UNION ALL into one statement, however many there are.
std::string Tagged(const std::vector<std::string>& selects) {
  std::string sql;
  for (const std::string& select : selects) {
    sql += (sql.empty() ? "" : " UNION ALL ") + select;
  }
  return sql;
}

// Every figure of the plan in one request when the connection batches, four statements
// however many tables and kinds there are (the server's average row length of every table
// comes from the run's catalogue):
// - both counts of every table, one row per table tagged with its place: what the clear
//   removes, and what the select reads after it. The select runs after the clear, so when the
//   two codes match the same rows (the same code, or codes the column's collation holds
//   equal) those rows are gone by then;
// - what each kind's ap clear removes;
// - what each ap scan copies. The ap copy scans key order from the first key greater than
//   the prefix, takes every record that carries the prefix, and stops at a read that fails. A
//   record longer than its buffer fails the read, so nothing after the first long one is
//   copied: when a kind has one (its longest record says so), a request of its own finds the
//   first, and another measures every scan again up to it (rarely). Records the ap clear
//   removed first are not there to be read.
class Planner : PairReader {
 public:
  using PairReader::PairReader;

  Plan Run() {
    if (tables_.empty()) {
      return {};
    }
    for (const TableDesc& desc : tables_) {
      plans_.push_back(TablePlan{desc.table, desc.status_text, desc.ap_record_type, {}});
      if (const CatalogueTable* table = catalogue_.Find(desc.table)) {
        plans_.back().average_row_bytes = table->average_row_bytes;
      }
    }
    std::vector<std::string> cleared;
    for (std::size_t i = 0; i < tables_.size(); ++i) {
      const std::string& type = tables_[i].ap_record_type;
      if (type.empty()) {
        continue;
      }
      cleared.push_back(recstore::ApMeasureStatement(recstore::ApClearCondition(type, to_), i));
      // A shorter prefix never equals the record's first eight bytes; a destination code of
      // fewer than two bytes is refused by the copy, as it cannot fill bytes 7 and 8.
      if (recstore::ApKeyPrefix(type, from_).size() != recstore::kApPrefixLength ||
          to_.size() < recstore::kApAgencyLength) {
        continue;
      }
      scans_[i] = recstore::ApScanCondition(type, from_, to_);
    }
    std::vector<std::string> statements = {CountStatement()};
    std::vector<void (Planner::*)(db::Result&)> takers = {&Planner::TakeCounts};
    if (!cleared.empty()) {
      statements.push_back(Tagged(cleared));
      takers.push_back(&Planner::TakeCleared);
    }
    if (!scans_.empty()) {
      statements.push_back(CopiedStatement());
      takers.push_back(&Planner::TakeCopied);
    }
    Batch(statements, takers);
    if (!long_kinds_.empty()) {
      std::vector<std::string> long_records;
      for (std::size_t i : long_kinds_) {
        long_records.push_back(recstore::ApFirstLongStatement(scans_[i], i));
      }
      long_kinds_.clear();
      Batch({Tagged(long_records)}, {&Planner::TakeLong});
      Batch({CopiedStatement()}, {&Planner::TakeCopied});
    }
    return std::move(plans_);
  }

 private:
  static uint64_t Number(db::Result& result, unsigned int column) {
    if (result.Eof() || result.IsNull(column)) {
      return 0;
    }
    return db::ParseUnsigned(result.Value(column)).value_or(0);
  }

  static std::size_t Tag(db::Result& row) { return static_cast<std::size_t>(Number(row, 0)); }

  void Batch(const std::vector<std::string>& statements,
             const std::vector<void (Planner::*)(db::Result&)>& takers) {
    connection_.RunBatch(statements, [&](std::size_t index, db::Result* rows, uint64_t) {
      for (; rows != nullptr && !rows->Eof(); rows->Next()) {
        (this->*takers[index])(*rows);
      }
    });
  }

  std::string CountStatement() const {
    std::string sql;
    for (std::size_t i = 0; i < tables_.size(); ++i) {
      const std::string cleared = CodeCondition(tables_[i], to_);
      const std::string selected = CodeCondition(tables_[i], from_);
      sql += (i == 0 ? "" : " UNION ALL ");
      sql += "SELECT " + std::to_string(i) + ", COUNT(CASE WHEN " + cleared +
             " THEN 1 END), COUNT(CASE WHEN NOT (" + cleared + ") THEN 1 END) FROM " +
             tables_[i].table + " WHERE (" + cleared + ") OR (" + selected + ")";
    }
    return sql;
  }

  std::string CopiedStatement() const {
    std::vector<std::string> copied;
    for (const auto& [i, condition] : scans_) {
      copied.push_back(recstore::ApMeasureStatement(condition, i));
    }
    return Tagged(copied);
  }

  void TakeCounts(db::Result& row) {
    const std::size_t i = Tag(row);
    plans_.at(i).counts.rows_to_delete = Number(row, 1);
    plans_.at(i).counts.rows_to_copy = Number(row, 2);
  }

  void TakeCleared(db::Result& row) {
    const std::size_t i = Tag(row);
    plans_.at(i).counts.ap_to_delete = Number(row, 1);
    plans_.at(i).ap_bytes_to_delete = Number(row, 2);
  }

  void TakeLong(db::Result& row) {
    const std::size_t i = Tag(row);
    plans_.at(i).long_ap_record = LongApRecord{std::string(row.Value(1)), Number(row, 2)};
    scans_[i] = recstore::ApBeforeKeyCondition(scans_[i], std::string(row.Value(3)));
  }

  void TakeCopied(db::Result& row) {
    const std::size_t i = Tag(row);
    plans_.at(i).counts.ap_to_copy = Number(row, 1);
    plans_.at(i).ap_bytes_to_copy = Number(row, 2);
    // Measured again up to the first long record, a scan holds none.
    if (Number(row, 3) > recstore::kApRecordLength && !plans_.at(i).long_ap_record) {
      long_kinds_.push_back(i);
    }
  }

  Plan plans_;
  std::map<std::size_t, std::string> scans_;
  std::vector<std::size_t> long_kinds_;  // scans with a record too long for the buffer
};

}  // namespace

Plan PlanRun(db::Connection& connection, const Catalogue& catalogue,
             const std::vector<TableDesc>& tables, const std::string& from_code,
             const std::string& to_code) {
  return Planner(connection, catalogue, tables, from_code, to_code).Run();
}

Plan PlanRun(db::Connection& connection, const std::vector<TableDesc>& tables,
             const std::string& from_code, const std::string& to_code) {
  return PlanRun(connection, Catalogue::Read(connection), tables, from_code, to_code);
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
