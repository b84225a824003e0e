// What a run does differently on a Galera cluster.
#include "lock/cluster.h"

#include <algorithm>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

#include "db/ascii.h"
#include "db/connection.h"
#include "db/error.h"
#include "db/query.h"
#include "db/sql_text.h"
#include "recstore/ap_file.h"

namespace lock {

namespace {

// The largest replicated fragment when a run streams: fragments cost each node a write to
// its streaming log, so they should be few, but a node holds a fragment whole in memory.
constexpr uint64_t kLargestFragmentBytes = 16 * 1024 * 1024;
// What a row's image in a write set carries besides its data: keys and headers, roughly.
constexpr uint64_t kRowOverheadBytes = 64;

std::string RowCount(uint64_t rows) {
  return std::to_string(rows) + (rows == 1 ? " row" : " rows");
}

// The names of the tables a run touches, each once, in run order.
std::vector<std::string> RunTables(const std::vector<copy::TableDesc>& tables) {
  std::vector<std::string> names;
  std::set<std::string> seen;
  for (const copy::TableDesc& desc : tables) {
    for (const std::string& name : {desc.table, desc.insert_table}) {
      if (!name.empty() && seen.insert(name).second) {
        names.push_back(name);
      }
    }
  }
  names.push_back(recstore::kApTable);
  return names;
}

// What an all-or-nothing run's transaction changes.
struct WriteSet {
  uint64_t rows = 0;   // rows deleted and inserted, ap records included
  uint64_t bytes = 0;  // an estimate of their images in the write set
  // The most rows one statement of a run without --atomic changes: a table's or a record
  // type's clear (its inserts go one row at a time).
  uint64_t largest_statement = 0;
};

// The run's plan holds every count exactly (taken under the run's lock); a row's share of
// its table's data (the server keeps the average) stands for its image, ap records are
// measured. The check has refused a source record too long to copy, so the plan's scan
// counts are the whole scan.
WriteSet EstimateWriteSet(const copy::Plan& plan) {
  WriteSet set;
  for (const copy::TablePlan& table : plan) {
    const copy::PlanCounts& counts = table.counts;
    const uint64_t rows = counts.rows_to_delete + counts.rows_to_copy;
    set.rows += rows;
    set.bytes += rows * (table.average_row_bytes + kRowOverheadBytes);
    set.largest_statement = std::max(set.largest_statement, counts.rows_to_delete);
    const uint64_t records = counts.ap_to_delete + counts.ap_to_copy;
    set.rows += records;
    set.bytes += table.ap_bytes_to_delete + table.ap_bytes_to_copy + records * kRowOverheadBytes;
    set.largest_statement = std::max(set.largest_statement, counts.ap_to_delete);
  }
  return set;
}

}  // namespace

bool OnCluster(db::Connection& connection) {
  bool on_cluster = false;
  try {
    const std::string value = connection.SessionConstant(kClusterStatement);
    on_cluster = value == "1" || db::AsciiLower(value) == "on";
  } catch (const db::Error& error) {
    // A server built without the cluster has no such variable.
    if (error.IsConnectionLost()) {
      throw;
    }
  }
  return on_cluster;
}

std::vector<std::string> ClusterProblems(db::Connection& connection,
                                         const copy::Catalogue& catalogue,
                                         const std::vector<copy::TableDesc>& tables) {
  std::vector<std::string> problems;
  if (!OnCluster(connection)) {
    return problems;
  }
  for (const std::string& name : RunTables(tables)) {
    // A missing table is the preflight's to name.
    const copy::CatalogueTable* table = catalogue.Find(name);
    if (table == nullptr || table->engine.empty()) {
      continue;
    }
    if (!db::EqualsIgnoringCase(table->engine, "innodb")) {
      problems.push_back("Table " + name + " uses the " + table->engine +
                         " engine, which the cluster does not replicate safely (only InnoDB "
                         "tables are)");
    }
    if (!table->has_primary_key) {
      problems.push_back("Table " + name +
                         " has no primary key, and the cluster does not support deleting rows "
                         "from such a table");
    }
  }
  return problems;
}

ClusterTransaction PrepareClusterTransaction(db::Connection& connection, const copy::Plan& plan) {
  ClusterTransaction outcome;
  if (!OnCluster(connection)) {
    return outcome;
  }
  db::Result limits = connection.Query("SELECT @@wsrep_max_ws_rows, @@wsrep_max_ws_size");
  const uint64_t max_rows = db::ParseUnsigned(limits.Value(0)).value_or(0);  // 0: no limit
  const uint64_t max_bytes = db::ParseUnsigned(limits.Value(1)).value_or(0);

  const WriteSet write_set = EstimateWriteSet(plan);
  const uint64_t rows = write_set.rows;
  const uint64_t bytes = write_set.bytes;
  const uint64_t largest_statement = write_set.largest_statement;
  const std::string refused =
      "An all-or-nothing run is refused on this cluster, so nothing was changed: ";
  // The server counts every row a transaction changes against wsrep_max_ws_rows, also when
  // the transaction replicates in fragments, so streaming cannot help here: the run would
  // fail at the row past the limit. The counts are exact (taken under the run's lock), so
  // a run at the limit itself is allowed, as the server allows it.
  if (max_rows != 0 && rows > max_rows) {
    outcome.step_by_step_fails = largest_statement > max_rows;
    std::string advice =
        !outcome.step_by_step_fails
            ? "Run without --atomic (its largest statement changes " + RowCount(largest_statement) +
                  "), or raise wsrep_max_ws_rows on every node (0 means no limit)."
            : "Raise wsrep_max_ws_rows on every node (0 means no limit); a run without "
              "--atomic would fail as well, since one of its deletes changes " +
                  RowCount(largest_statement) + ".";
    outcome.limit = "it would change " + RowCount(rows) +
                    " in one transaction, and the cluster allows " + std::to_string(max_rows) +
                    " (wsrep_max_ws_rows), counting every row of a transaction even when it is "
                    "replicated in fragments";
    outcome.refusal = refused + outcome.limit + ". " + advice;
    return outcome;
  }
  // Half the limit: the estimate is an average, and the write set carries keys as well.
  if (max_bytes == 0 || bytes <= max_bytes / 2) {
    return outcome;
  }
  // Each fragment is a write set of its own, checked against the limit on its own. A
  // fragment is sent once it has reached the size, so it can pass it by one row: a quarter
  // of the limit leaves room for any row.
  const uint64_t fragment_bytes =
      std::max<uint64_t>(1, std::min<uint64_t>(max_bytes / 4, kLargestFragmentBytes));
  try {
    StartStreaming(connection, fragment_bytes);
  } catch (const db::Error& error) {
    if (error.IsConnectionLost()) {
      throw;
    }
    outcome.limit = "it would write about " + std::to_string(bytes) +
                    " bytes in one transaction (" + RowCount(rows) +
                    "), above half the cluster's limit (wsrep_max_ws_size " +
                    std::to_string(max_bytes) +
                    "), and streaming replication, which would send it in fragments within the "
                    "limit, could not be turned on: " +
                    error.what();
    outcome.refusal = refused + outcome.limit;
    return outcome;
  }
  outcome.streaming = true;
  outcome.fragment_bytes = fragment_bytes;
  return outcome;
}

void StartStreaming(db::Connection& connection, uint64_t fragment_bytes) {
  connection.Execute("SET SESSION wsrep_trx_fragment_unit = 'bytes'");
  connection.Execute("SET SESSION wsrep_trx_fragment_size = " + std::to_string(fragment_bytes));
}

void EndClusterTransaction(db::Connection& connection) noexcept {
  connection.ExecuteIfOpen("SET SESSION wsrep_trx_fragment_size = 0");
}

bool IsCertificationFailure(const db::Error& error) {
  return error.IsDeadlock();
}

}  // namespace lock
