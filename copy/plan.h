// What a run will delete and copy, counted once without changing anything: the dry run
// prints it, the check refuses a record the copy cannot read, and the cluster's write-set
// check sizes the transaction from it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "copy/catalogue.h"
#include "copy/table_desc.h"

namespace db {
class Connection;
}

namespace copy {

struct PlanCounts {
  uint64_t rows_to_delete = 0;  // destination rows the clear removes
  uint64_t rows_to_copy = 0;    // source rows the select reads after the clear
  uint64_t ap_to_delete = 0;    // destination ap records of the kind the ap clear removes
  uint64_t ap_to_copy = 0;      // source ap records the ap copy inserts
};

// The first source ap record of a kind that the copy's scan meets and cannot read whole.
struct LongApRecord {
  std::string key;      // key 0 as stored
  uint64_t length = 0;  // bytes of the record
};

struct TablePlan {
  std::string table;           // as the statements name it, e.g. "Bank"
  std::string status_text;     // e.g. "Banks"
  std::string ap_record_type;  // "" when the kind has no ap records
  PlanCounts counts;
  uint64_t average_row_bytes = 0;  // the server's average row length of the table
  uint64_t ap_bytes_to_delete = 0;
  uint64_t ap_bytes_to_copy = 0;  // key and data of the records counted in ap_to_copy
  // The ap copy's scan ends at this record; ap_to_copy counts the records before it.
  std::optional<LongApRecord> long_ap_record = std::nullopt;
};

using Plan = std::vector<TablePlan>;

// Counts, table by table in the order of `tables`, what a run from `from_code` to `to_code`
// with the clear on would delete and copy: the rows its clear and select match (the
// select runs after the clear, so rows both match are not counted as copied), the ap
// records its ap clear matches, and the source ap records the ap copy would insert (those
// whose first eight bytes are the ap key prefix of the type and from_code, in key order up
// to the first record too long for the copy's buffer, which ends its scan), with their
// bytes. Runs only SELECT statements. Throws db::Error as the statements do.
// Each table's average row length is the catalogue's (the table found under the server's rule
// for letter case in table names).
Plan PlanRun(db::Connection& connection, const Catalogue& catalogue,
             const std::vector<TableDesc>& tables, const std::string& from_code,
             const std::string& to_code);

// The same, reading the catalogue first.
Plan PlanRun(db::Connection& connection, const std::vector<TableDesc>& tables,
             const std::string& from_code, const std::string& to_code);

// One line for a plan entry, e.g. "Banks: delete 2 rows and 1 ap record (009), copy 3 rows
// and 3 ap records".
std::string DescribePlan(const TablePlan& plan);

}  // namespace copy
