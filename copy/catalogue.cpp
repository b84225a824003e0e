// Reading the current database's catalogue in one statement.
#include "copy/catalogue.h"

#include <algorithm>
#include <map>
#include <optional>
#include <tuple>
#include <utility>

#include "db/ascii.h"
#include "db/connection.h"
#include "db/error.h"
#include "db/query.h"

namespace copy {

namespace {

// One statement for all of it: a round trip costs more than the server's work here. The
// first column tells the rows apart: "S" the settings, "T" a table with its engine, whether
// that engine rolls back and its average row length, "P" a table with a primary key, "C" a
// column of a table (with whether it has a default: one given, or NULL).
constexpr const char* kCatalogueStatement =
    "SELECT 'S', @@lower_case_table_names, DATABASE(), NULL, NULL, NULL, NULL, NULL "
    "UNION ALL SELECT 'T', t.TABLE_NAME, t.ENGINE, e.TRANSACTIONS, t.AVG_ROW_LENGTH, NULL, NULL, "
    "NULL FROM information_schema.TABLES t LEFT JOIN information_schema.ENGINES e "
    "ON e.ENGINE = t.ENGINE WHERE t.TABLE_SCHEMA = DATABASE() "
    "UNION ALL SELECT 'P', TABLE_NAME, NULL, NULL, NULL, NULL, NULL, NULL "
    "FROM information_schema.TABLE_CONSTRAINTS WHERE TABLE_SCHEMA = DATABASE() "
    "AND CONSTRAINT_TYPE = 'PRIMARY KEY' "
    "UNION ALL SELECT 'C', TABLE_NAME, COLUMN_NAME, COLUMN_TYPE, COLUMN_KEY, EXTRA, "
    "ORDINAL_POSITION, COLUMN_DEFAULT IS NOT NULL OR IS_NULLABLE = 'YES' "
    "FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = DATABASE()";

std::string Text(const db::Result& rows, std::size_t column) {
  return rows.IsNull(column) ? std::string() : std::string(rows.Value(column));
}

Catalogue FromRows(db::Result& rows) {
  bool has_database = false;
  std::string database;
  bool ignore_case = false;
  std::vector<CatalogueTable> tables;
  std::map<std::string, std::size_t> index;  // exact name -> place in tables
  std::vector<std::string> keyed;            // tables with a primary key
  // table, ordinal, column: attached once every table is known.
  std::vector<std::tuple<std::string, uint64_t, CatalogueColumn>> columns;
  for (; !rows.Eof(); rows.Next()) {
    const std::string_view kind = rows.Value(0);
    if (kind == "S") {
      ignore_case = rows.Value(1) != "0";
      has_database = !rows.IsNull(2);
      database = Text(rows, 2);
    } else if (kind == "T") {
      CatalogueTable info;
      info.name = Text(rows, 1);
      info.engine = Text(rows, 2);
      // A view has no engine of its own; what it writes through is not ours to judge here.
      info.transactional = info.engine.empty() || Text(rows, 3) == "YES";
      info.average_row_bytes = db::ParseUnsigned(Text(rows, 4)).value_or(0);
      index[info.name] = tables.size();
      tables.push_back(std::move(info));
    } else if (kind == "P") {
      keyed.push_back(Text(rows, 1));
    } else {
      columns.emplace_back(Text(rows, 1), db::ParseUnsigned(Text(rows, 6)).value_or(0),
                           CatalogueColumn{Text(rows, 2), Text(rows, 3), Text(rows, 4),
                                           Text(rows, 5), Text(rows, 7) == "1"});
    }
  }
  for (const std::string& name : keyed) {
    if (const auto it = index.find(name); it != index.end()) {
      tables[it->second].has_primary_key = true;
    }
  }
  std::stable_sort(columns.begin(), columns.end(),
                   [](const auto& a, const auto& b) { return std::get<1>(a) < std::get<1>(b); });
  for (auto& [name, ordinal, column] : columns) {
    if (const auto it = index.find(name); it != index.end()) {
      tables[it->second].columns.push_back(std::move(column));
    }
  }
  return Catalogue(has_database, std::move(database), ignore_case, std::move(tables));
}

}  // namespace

bool CatalogueTable::HasColumn(std::string_view column) const {
  for (const CatalogueColumn& own : columns) {
    if (db::EqualsIgnoringCase(own.name, column)) {
      return true;
    }
  }
  return false;
}

Catalogue::Catalogue(bool has_database, std::string database, bool names_ignore_case,
                     std::vector<CatalogueTable> tables)
    : has_database_(has_database),
      database_(std::move(database)),
      names_ignore_case_(names_ignore_case),
      tables_(std::move(tables)) {}

Catalogue Catalogue::Read(db::Connection& connection, const std::vector<std::string>& also_ask) {
  std::vector<std::string> statements = {kCatalogueStatement};
  if (connection.BatchesInOneRequest()) {
    statements.insert(statements.end(), also_ask.begin(), also_ask.end());
  }
  std::optional<db::Result> catalogue;
  try {
    connection.RunBatch(statements, [&](std::size_t index, db::Result* rows, uint64_t) {
      if (rows == nullptr) {
        return;
      }
      if (index == 0) {
        catalogue.emplace(std::move(*rows));
      } else {
        connection.KnowSessionConstant(statements[index],
                                       rows->Eof() ? std::string() : Text(*rows, 0));
      }
    });
  } catch (const db::Error& error) {
    if (!catalogue || error.IsConnectionLost()) {
      throw;
    }
  }
  return FromRows(*catalogue);
}

const CatalogueTable* Catalogue::Find(std::string_view name) const {
  for (const CatalogueTable& table : tables_) {
    if (names_ignore_case_ ? db::EqualsIgnoringCase(table.name, name) : table.name == name) {
      return &table;
    }
  }
  return nullptr;
}

const CatalogueTable* Catalogue::FindIgnoringCase(std::string_view name) const {
  for (const CatalogueTable& table : tables_) {
    if (db::EqualsIgnoringCase(table.name, name)) {
      return &table;
    }
  }
  return nullptr;
}

}  // namespace copy
