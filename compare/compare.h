// What a copy of one agency to another would change, row by row: the comparison behind
// --compare and behind the counts of the window's question.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "copy/catalogue.h"
#include "copy/table_desc.h"

namespace db {
class Connection;
}

namespace compare {

// What a copy does to one row (or ap record) that is not the same on both sides.
enum class RowChange {
  kOnlyFrom,  // the source has it, the destination lacks it: a copy adds it
  kOnlyTo,    // the destination has it, the source lacks it: a copy removes it
  kDiffer,    // both have it, but not alike: a copy changes it
};

// "only_from", "only_to" or "differ", as the JSON document spells them.
const char* RowChangeName(RowChange change);

struct RowDifference {
  std::string key;  // the key columns' values joined by ", "; an ap record's key bytes 9-16
  RowChange change = RowChange::kDiffer;
  // kDiffer: the columns that differ (insert names, in insert order); for an ap record the
  // byte positions, from 1, as "17-20" or "45".
  std::vector<std::string> columns = {};
};

struct CompareCounts {
  uint64_t same = 0;
  uint64_t only_from = 0;
  uint64_t only_to = 0;
  uint64_t differ = 0;
};

// A column the copy does not write and the destination holds something else than its
// default in: a copy leaves the column at its default.
struct ResetColumn {
  std::string column;  // as the table names it
  uint64_t rows = 0;   // destination rows whose value is not the default (more than 0)
};

// One table, or one ap record type, compared.
struct CompareEntry {
  std::string table;        // as the statements name it, "Bank"; "" for ap records
  std::string record_type;  // "009" for ap records, "" for a table
  std::string status_text;  // the step's, "Banks"
  CompareCounts counts;
  std::vector<RowDifference> rows;         // every row not the same, in key order
  std::vector<ResetColumn> reset_columns;  // a table's only

  bool IsAp() const { return table.empty(); }

  // "Bank", or "ap 009".
  std::string Name() const;

  // A copy would leave it exactly as it is.
  bool Identical() const;
};

struct Comparison {
  std::string from_code;
  std::string to_code;
  std::vector<CompareEntry> tables;  // in run order
  std::vector<CompareEntry> ap;      // the record types of those tables, in run order

  bool Identical() const;
};

// Compares what a copy of `tables` from `from_code` to `to_code` would write with what the
// destination holds, reading both agencies once in one consistent snapshot (a read-only
// transaction on `connection`, which must not be inside one; committed before the return,
// rolled back on a failure). Changes nothing and takes no lock.
// - Each source row is turned into the values its insert carries, by the copy's own code
//   (BuildParams, with the destination code and the literals as the insert writes them), and
//   each destination row is read under the insert's column names in the same forms, except
//   that a NULL stays NULL (a copy never writes one). Rows pair by the table's key_columns;
//   rows whose key repeats within an agency pair with an equal row first, then in order.
// - The ap records of each mirrored table's type pair by their key after the agency code
//   (bytes 9-16): the source's records that the copy reads, against the destination's that
//   its clear deletes, compared whole but for bytes 7-8.
// - For each table, the columns that the copy does not write (neither generated nor
//   auto-increment, and with a default) and in which destination rows hold another value
//   than the default (NULL-safe, as the server computes DEFAULT()).
// Throws db::Error as the statements do, and as the copy would on a source value it cannot
// read ("Cannot access field 'X' as type Integer"). `catalogue` is the database's.
Comparison CompareAgencies(db::Connection& connection, const copy::Catalogue& catalogue,
                           const std::vector<copy::TableDesc>& tables, const std::string& from_code,
                           const std::string& to_code);

// One side's row as the comparison takes it: its key and its values (NULL: nullopt).
struct CompareRow {
  std::string key;
  std::vector<std::optional<std::string>> values;
};

// Pairs the rows of both sides by key into `entry` (its counts and rows, in key order):
// within a key, each source row with a destination row of equal values first, the rest in
// value order, then what is left over on either side. `names` names the values for the
// columns of a difference. Linear in the rows after a sort.
void PairRows(std::vector<CompareRow> from, std::vector<CompareRow> to,
              const std::vector<std::string>& names, CompareEntry& entry);

// The comparison as text: a line per table and record type with the four counts, then up to
// `max_rows` rows that differ (key and columns), the columns a copy resets, and a last line
// that says whether a copy would change anything.
std::vector<std::string> DescribeComparison(const Comparison& comparison, std::size_t max_rows);

}  // namespace compare
