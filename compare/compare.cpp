// What a copy of one agency to another would change, row by row.
#include "compare/compare.h"

#include <algorithm>
#include <functional>
#include <numeric>
#include <tuple>
#include <utility>

#include "copy/pair_reader.h"
#include "copy/row_values.h"
#include "copy/table_copy.h"
#include "db/ascii.h"
#include "db/connection.h"
#include "db/error.h"
#include "db/query.h"
#include "db/sql_text.h"
#include "recstore/ap_file.h"

namespace compare {

namespace {

// Both agencies are read as of one moment, so that a row another session moves between them
// meanwhile is neither counted twice nor missed; nothing is written, and no lock is taken.
constexpr const char* kSnapshot = "START TRANSACTION WITH CONSISTENT SNAPSHOT, READ ONLY";

using Values = std::vector<std::optional<std::string>>;
// The columns of a pair of rows that are not alike.
using Describe = std::function<std::vector<std::string>(const Values&, const Values&)>;

// How the destination's rows are read: every column under its insert name, in the form the
// copy reads its source in; the code and the literals as the text they hold.
copy::TableDesc StoredForm(const copy::TableDesc& desc) {
  copy::TableDesc stored = desc;
  for (copy::ColumnDesc& column : stored.columns) {
    column.source_name = column.insert_name;
    if (column.form == copy::ValueForm::kDestCode || column.form == copy::ValueForm::kLiteral) {
      column.form = copy::ValueForm::kQuoted;
    }
  }
  return stored;
}

// The columns of `names` whose values differ.
Describe ByColumn(std::vector<std::string> names) {
  return [names = std::move(names)](const Values& a, const Values& b) {
    std::vector<std::string> columns;
    for (std::size_t i = 0; i < names.size() && i < a.size() && i < b.size(); ++i) {
      if (a[i] != b[i]) {
        columns.push_back(names[i]);
      }
    }
    return columns;
  };
}

std::vector<std::size_t> KeyPlaces(const copy::TableDesc& desc) {
  std::vector<std::size_t> places;
  for (const std::string& key : desc.key_columns) {
    for (std::size_t i = 0; i < desc.columns.size(); ++i) {
      if (desc.columns[i].insert_name == key) {
        places.push_back(i);
      }
    }
  }
  return places;
}

std::string KeyOf(const Values& values, const std::vector<std::size_t>& places) {
  std::string key;
  for (std::size_t i = 0; i < places.size(); ++i) {
    key += (i == 0 ? "" : ", ") + values[places[i]].value_or("");
  }
  return key;
}

// The source's rows as their inserts carry them: the copy's own BuildParams for every value
// read, the destination code and the literals as the insert writes them.
std::vector<CompareRow> SourceRows(const copy::TableDesc& desc, db::Query& row,
                                   const std::string& to_code,
                                   const std::vector<std::size_t>& keys) {
  const copy::ColumnPlaces places = copy::PlacesOf(desc, row);
  std::vector<CompareRow> rows;
  std::vector<std::string> params;
  for (; !row.Eof(); row.Next()) {
    copy::BuildParams(desc, row, places, params);
    CompareRow compared;
    std::size_t next = 0;
    for (const copy::ColumnDesc& column : desc.columns) {
      if (column.form == copy::ValueForm::kDestCode) {
        compared.values.emplace_back(to_code);
      } else if (column.form == copy::ValueForm::kLiteral) {
        compared.values.emplace_back(column.literal);
      } else {
        compared.values.emplace_back(std::move(params[next++]));
      }
    }
    compared.key = KeyOf(compared.values, keys);
    rows.push_back(std::move(compared));
  }
  return rows;
}

// The destination's rows in the same form. A value the readers refuse stays its text, which
// no value a copy writes equals.
std::vector<CompareRow> StoredRows(const copy::TableDesc& stored, db::Query& row,
                                   const std::vector<std::size_t>& keys) {
  const copy::ColumnPlaces places = copy::PlacesOf(stored, row);
  for (std::size_t i = 0; i < places.size(); ++i) {
    if (!places[i] && !row.Eof()) {
      row.FieldByName(stored.columns[i].source_name);  // throws, naming the column
    }
  }
  std::vector<CompareRow> rows;
  for (; !row.Eof(); row.Next()) {
    CompareRow compared;
    for (std::size_t i = 0; i < stored.columns.size(); ++i) {
      const std::size_t place = *places[i];
      if (row.result().IsNull(place)) {
        compared.values.emplace_back(std::nullopt);
        continue;
      }
      try {
        compared.values.emplace_back(copy::RawValue(stored.columns[i], row, places[i]));
      } catch (const db::Error&) {
        compared.values.emplace_back(std::string(row.result().Value(place)));
      }
    }
    compared.key = KeyOf(compared.values, keys);
    rows.push_back(std::move(compared));
  }
  return rows;
}

// The rows of one side sorted by key, then by values; the indexes into `rows`.
std::vector<std::size_t> SortedOrder(const std::vector<CompareRow>& rows) {
  std::vector<std::size_t> order(rows.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(), [&rows](std::size_t a, std::size_t b) {
    return std::tie(rows[a].key, rows[a].values) < std::tie(rows[b].key, rows[b].values);
  });
  return order;
}

// Pairs the rows of one key, both sides sorted by values: equal ones first.
void PairKey(const std::vector<CompareRow>& from, const std::vector<std::size_t>& from_rows,
             const std::vector<CompareRow>& to, const std::vector<std::size_t>& to_rows,
             const Describe& describe, CompareEntry& entry) {
  std::vector<std::size_t> left_from;
  std::vector<std::size_t> left_to;
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < from_rows.size() || j < to_rows.size()) {
    if (i < from_rows.size() && j < to_rows.size() &&
        from[from_rows[i]].values == to[to_rows[j]].values) {
      ++entry.counts.same;
      ++i;
      ++j;
    } else if (j == to_rows.size() ||
               (i < from_rows.size() && from[from_rows[i]].values < to[to_rows[j]].values)) {
      left_from.push_back(from_rows[i++]);
    } else {
      left_to.push_back(to_rows[j++]);
    }
  }
  const std::size_t pairs = std::min(left_from.size(), left_to.size());
  for (std::size_t k = 0; k < pairs; ++k) {
    ++entry.counts.differ;
    entry.rows.push_back(RowDifference{from[left_from[k]].key, RowChange::kDiffer,
                                       describe(from[left_from[k]].values, to[left_to[k]].values)});
  }
  for (std::size_t k = pairs; k < left_from.size(); ++k) {
    ++entry.counts.only_from;
    entry.rows.push_back(RowDifference{from[left_from[k]].key, RowChange::kOnlyFrom});
  }
  for (std::size_t k = pairs; k < left_to.size(); ++k) {
    ++entry.counts.only_to;
    entry.rows.push_back(RowDifference{to[left_to[k]].key, RowChange::kOnlyTo});
  }
}

void Pair(std::vector<CompareRow> from, std::vector<CompareRow> to, const Describe& describe,
          CompareEntry& entry) {
  const std::vector<std::size_t> from_order = SortedOrder(from);
  const std::vector<std::size_t> to_order = SortedOrder(to);
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < from_order.size() || j < to_order.size()) {
    // The smaller key of the two sides' next rows, and every row of it on each side.
    const std::string& key = j == to_order.size() ? from[from_order[i]].key
                             : i == from_order.size()
                                 ? to[to_order[j]].key
                                 : std::min(from[from_order[i]].key, to[to_order[j]].key);
    std::vector<std::size_t> from_rows;
    std::vector<std::size_t> to_rows;
    for (; i < from_order.size() && from[from_order[i]].key == key; ++i) {
      from_rows.push_back(from_order[i]);
    }
    for (; j < to_order.size() && to[to_order[j]].key == key; ++j) {
      to_rows.push_back(to_order[j]);
    }
    PairKey(from, from_rows, to, to_rows, describe, entry);
  }
}

// "17-20" or "45": positions from 1.
std::string ByteRange(std::size_t first, std::size_t last) {
  return first == last ? std::to_string(first + 1)
                       : std::to_string(first + 1) + "-" + std::to_string(last + 1);
}

// The bytes where two ap records differ, as ranges.
std::vector<std::string> DifferingBytes(const Values& a, const Values& b) {
  const std::string& x = *a.front();
  const std::string& y = *b.front();
  std::vector<std::string> ranges;
  const std::size_t length = std::max(x.size(), y.size());
  for (std::size_t p = 0; p < length;) {
    const auto differs = [&](std::size_t at) {
      return at >= x.size() || at >= y.size() || x[at] != y[at];
    };
    if (!differs(p)) {
      ++p;
      continue;
    }
    std::size_t end = p;
    while (end + 1 < length && differs(end + 1)) {
      ++end;
    }
    ranges.push_back(ByteRange(p, end));
    p = end + 1;
  }
  return ranges;
}

// An ap record as the comparison takes it: keyed by its key after the agency code, its bytes
// 7-8 set to the destination's code on both sides so that only the rest counts.
CompareRow ApRow(std::string_view key, std::string data, const std::string& to_code) {
  if (data.size() >= recstore::kApPrefixLength) {
    recstore::ApSetAgency(reinterpret_cast<unsigned char*>(data.data()), to_code);
  }
  const std::size_t from = std::min(key.size(), recstore::kApPrefixLength);
  const std::size_t length = recstore::kKeyLength - recstore::kApPrefixLength;
  return CompareRow{std::string(key.substr(from, length)), {std::move(data)}};
}

// One request (when the connection batches) of every read: the snapshot, both sides of each
// table, both sides of each record type, the columns a copy resets, the commit.
class Comparer : copy::PairReader {
 public:
  using PairReader::PairReader;

  Comparison Run();

 private:
  void AddTable(std::size_t index);
  void AddApType(const copy::TableDesc& desc);
  void AddResets();

  // `take` gets the statement's result.
  void Add(std::string statement, std::function<void(db::Result&)> take) {
    statements_.push_back(std::move(statement));
    takers_.push_back(std::move(take));
  }

  Comparison comparison_;
  std::vector<std::string> statements_;
  std::vector<std::function<void(db::Result&)>> takers_;
  std::vector<CompareRow> held_;  // the source side, until the destination's arrives
};

void Comparer::AddTable(std::size_t index) {
  const copy::TableDesc& desc = tables_[index];
  Add(copy::SelectStatement(desc, from_), [this, &desc](db::Result& result) {
    db::Query row(connection_, "Compare");
    row.Hold(copy::SelectStatement(desc, from_), std::move(result));
    held_ = SourceRows(desc, row, to_, KeyPlaces(desc));
  });
  Add(copy::SelectStatement(desc, to_), [this, &desc, index](db::Result& result) {
    const copy::TableDesc stored = StoredForm(desc);
    db::Query row(connection_, "Compare");
    row.Hold(copy::SelectStatement(desc, to_), std::move(result));
    std::vector<std::string> names;
    for (const copy::ColumnDesc& column : desc.columns) {
      names.push_back(column.insert_name);
    }
    Pair(std::move(held_), StoredRows(stored, row, KeyPlaces(desc)), ByColumn(std::move(names)),
         comparison_.tables[index]);
    held_.clear();
  });
}

void Comparer::AddApType(const copy::TableDesc& desc) {
  const std::string& type = desc.ap_record_type;
  const std::size_t index = comparison_.ap.size();
  comparison_.ap.push_back(CompareEntry{"", type, desc.status_text, {}, {}, {}});
  // What the copy's scan reads, and what the destination's clear deletes.
  Add(recstore::ApReadStatement(type, from_), [this](db::Result& result) {
    for (; !result.Eof(); result.Next()) {
      std::string data(result.Value(1));
      const std::string key = data.substr(0, recstore::kKeyLength);
      held_.push_back(ApRow(key, std::move(data), to_));
    }
  });
  Add(recstore::ApReadClearedStatement(type, to_), [this, index](db::Result& result) {
    std::vector<CompareRow> stored;
    for (; !result.Eof(); result.Next()) {
      stored.push_back(ApRow(result.Value(0), std::string(result.Value(1)), to_));
    }
    Pair(std::move(held_), std::move(stored), DifferingBytes, comparison_.ap[index]);
    held_.clear();
  });
}

// One statement for every table: per column the copy leaves out, the destination's rows that
// hold something else than the column's default.
void Comparer::AddResets() {
  std::vector<std::pair<std::size_t, std::string>> columns;  // table index, column
  std::string sql;
  for (std::size_t i = 0; i < tables_.size(); ++i) {
    const copy::CatalogueTable* table = catalogue_.Find(tables_[i].table);
    if (table == nullptr) {
      continue;
    }
    for (const copy::CatalogueColumn& column : table->columns) {
      const std::string extra = db::AsciiLower(column.extra);
      const bool written = std::any_of(tables_[i].columns.begin(), tables_[i].columns.end(),
                                       [&column](const copy::ColumnDesc& c) {
                                         return db::EqualsIgnoringCase(c.insert_name, column.name);
                                       });
      // An id the server numbers and a value it computes are never the copy's to keep; a
      // column without a default cannot be left out of an insert at all.
      if (written || !column.has_default || extra.find("auto_increment") != std::string::npos ||
          extra.find("generated") != std::string::npos) {
        continue;
      }
      const std::string name = db::QuoteIdentifier(column.name);
      sql += (sql.empty() ? "SELECT " : " UNION ALL SELECT ") + std::to_string(columns.size()) +
             ", COUNT(*) FROM " + db::QuoteIdentifier(tables_[i].table) + " WHERE " +
             copy::CodeCondition(tables_[i], to_) + " AND NOT (" + name + " <=> DEFAULT(" + name +
             "))";
      columns.emplace_back(i, column.name);
    }
  }
  if (sql.empty()) {
    return;
  }
  Add(sql, [this, columns](db::Result& result) {
    for (; !result.Eof(); result.Next()) {
      const auto index = db::ParseUnsigned(result.Value(0)).value_or(0);
      const auto rows = db::ParseUnsigned(result.Value(1)).value_or(0);
      const auto& [table, column] = columns.at(static_cast<std::size_t>(index));
      if (rows > 0) {
        comparison_.tables[table].reset_columns.push_back(ResetColumn{column, rows});
      }
    }
  });
}

Comparison Comparer::Run() {
  comparison_.from_code = from_;
  comparison_.to_code = to_;
  Add(kSnapshot, nullptr);
  for (std::size_t i = 0; i < tables_.size(); ++i) {
    comparison_.tables.push_back(
        CompareEntry{tables_[i].table, "", tables_[i].status_text, {}, {}, {}});
    AddTable(i);
  }
  for (const copy::TableDesc& desc : tables_) {
    if (!desc.ap_record_type.empty()) {
      AddApType(desc);
    }
  }
  AddResets();
  Add("COMMIT", nullptr);
  try {
    connection_.RunBatch(statements_, [this](std::size_t index, db::Result* rows, uint64_t) {
      if (rows != nullptr && takers_[index]) {
        takers_[index](*rows);
      }
    });
  } catch (...) {
    // The snapshot's transaction must not outlive the comparison.
    connection_.ExecuteIfOpen("ROLLBACK");
    throw;
  }
  return std::move(comparison_);
}

}  // namespace

const char* RowChangeName(RowChange change) {
  switch (change) {
    case RowChange::kOnlyFrom:
      return "only_from";
    case RowChange::kOnlyTo:
      return "only_to";
    case RowChange::kDiffer:
      break;
  }
  return "differ";
}

std::string CompareEntry::Name() const {
  return IsAp() ? "ap " + record_type : table;
}

bool CompareEntry::Identical() const {
  return counts.only_from == 0 && counts.only_to == 0 && counts.differ == 0 &&
         reset_columns.empty();
}

bool Comparison::Identical() const {
  const auto identical = [](const CompareEntry& entry) { return entry.Identical(); };
  return std::all_of(tables.begin(), tables.end(), identical) &&
         std::all_of(ap.begin(), ap.end(), identical);
}

void PairRows(std::vector<CompareRow> from, std::vector<CompareRow> to,
              const std::vector<std::string>& names, CompareEntry& entry) {
  Pair(std::move(from), std::move(to), ByColumn(names), entry);
}

Comparison CompareAgencies(db::Connection& connection, const copy::Catalogue& catalogue,
                           const std::vector<copy::TableDesc>& tables, const std::string& from_code,
                           const std::string& to_code) {
  return Comparer(connection, catalogue, tables, from_code, to_code).Run();
}

}  // namespace compare
