// Checks, before a run deletes anything, that the database and the ap file can take it.
#include "copy/preflight.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "db/ascii.h"
#include "db/connection.h"
#include "db/error.h"
#include "db/query.h"
#include "recstore/ap_file.h"

namespace copy {

namespace {

constexpr const char* kApTable = recstore::kApTable;

struct TableInfo {
  std::string name;    // as the server holds it
  std::string engine;  // "" for a view
  bool transactional = false;
  std::set<std::string> columns;  // lower case: column names never depend on letter case
};

// What the current database holds, read in one statement rather than one per table.
struct Catalog {
  bool has_database = false;
  // lower_case_table_names 0: the server tells "GlCodes" and "GLCodes" apart (Linux).
  bool case_sensitive_names = true;
  std::vector<TableInfo> tables;

  // The table a statement naming `name` would reach, if any.
  const TableInfo* Find(const std::string& name) const {
    for (const TableInfo& table : tables) {
      if (case_sensitive_names ? table.name == name
                               : db::AsciiLower(table.name) == db::AsciiLower(name)) {
        return &table;
      }
    }
    return nullptr;
  }

  // A table whose name differs from `name` only in letter case, for a clearer message.
  const TableInfo* FindIgnoringCase(const std::string& name) const {
    for (const TableInfo& table : tables) {
      if (db::AsciiLower(table.name) == db::AsciiLower(name)) {
        return &table;
      }
    }
    return nullptr;
  }
};

// One statement for all of it: a round trip costs more than the server's work here. The
// first column tells the rows apart: "S" the settings, "T" a table with its engine and
// whether that engine rolls back, "C" a column of a table.
constexpr const char* kCatalogStatement =
    "SELECT 'S', @@lower_case_table_names, DATABASE(), NULL "
    "UNION ALL SELECT 'T', t.TABLE_NAME, t.ENGINE, e.TRANSACTIONS "
    "FROM information_schema.TABLES t LEFT JOIN information_schema.ENGINES e "
    "ON e.ENGINE = t.ENGINE WHERE t.TABLE_SCHEMA = DATABASE() "
    "UNION ALL SELECT 'C', TABLE_NAME, COLUMN_NAME, NULL FROM information_schema.COLUMNS "
    "WHERE TABLE_SCHEMA = DATABASE()";

Catalog ReadCatalogRows(db::Result& rows);

// The catalogue, and with it (when batching) the session constants in `also_ask`.
Catalog ReadCatalog(db::Connection& connection, const std::vector<std::string>& also_ask = {}) {
  std::vector<std::string> statements = {kCatalogStatement};
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
        connection.KnowSessionConstant(statements[index], rows->Eof() || rows->IsNull(0)
                                                              ? std::string()
                                                              : std::string(rows->Value(0)));
      }
    });
  } catch (const db::Error& error) {
    if (!catalogue || error.IsConnectionLost()) {
      throw;
    }
  }
  return ReadCatalogRows(*catalogue);
}

Catalog ReadCatalogRows(db::Result& rows) {
  Catalog catalog;
  std::map<std::string, std::size_t> index;  // exact name -> position in catalog.tables
  std::vector<std::pair<std::string, std::string>> columns;  // table, column
  for (; !rows.Eof(); rows.Next()) {
    const std::string_view kind = rows.Value(0);
    if (kind == "S") {
      catalog.case_sensitive_names = rows.Value(1) == "0";
      catalog.has_database = !rows.IsNull(2);
    } else if (kind == "T") {
      TableInfo info;
      info.name = std::string(rows.Value(1));
      info.engine = rows.IsNull(2) ? "" : std::string(rows.Value(2));
      // A view has no engine of its own; what it writes through is not ours to judge here.
      info.transactional = info.engine.empty() || (!rows.IsNull(3) && rows.Value(3) == "YES");
      index[info.name] = catalog.tables.size();
      catalog.tables.push_back(std::move(info));
    } else {
      columns.emplace_back(rows.Value(1), rows.Value(2));
    }
  }
  for (const auto& [table, column] : columns) {
    auto it = index.find(table);
    if (it != index.end()) {
      catalog.tables[it->second].columns.insert(db::AsciiLower(column));
    }
  }
  return catalog;
}

std::string Join(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    if (!text.empty()) {
      text += ", ";
    }
    text += name;
  }
  return text;
}

// The names of `wanted` that `table` lacks, each once, in the order given.
std::vector<std::string> Missing(const TableInfo& table, const std::vector<std::string>& wanted) {
  std::vector<std::string> missing;
  std::set<std::string> seen;
  for (const std::string& name : wanted) {
    std::string key = db::AsciiLower(name);
    if (!table.columns.count(key) && seen.insert(key).second) {
      missing.push_back(name);
    }
  }
  return missing;
}

std::string LacksLine(const std::string& table, const std::vector<std::string>& missing) {
  return "Table " + table + (missing.size() == 1 ? " lacks column " : " lacks columns ") +
         Join(missing);
}

// Looks `name` up; on failure adds the problem line and returns nullptr.
const TableInfo* Require(const Catalog& catalog, const std::string& name,
                         std::vector<std::string>& problems) {
  if (const TableInfo* table = catalog.Find(name)) {
    return table;
  }
  std::string line = "Table " + name + " does not exist";
  if (const TableInfo* other = catalog.FindIgnoringCase(name)) {
    line += " (the server tells letter case apart in table names; it holds " + other->name + ")";
  }
  problems.push_back(std::move(line));
  return nullptr;
}

void CheckColumns(const TableInfo* table, const std::string& name,
                  const std::vector<std::string>& wanted, std::vector<std::string>& problems) {
  if (table == nullptr) {
    return;
  }
  std::vector<std::string> missing = Missing(*table, wanted);
  if (!missing.empty()) {
    problems.push_back(LacksLine(name, missing));
  }
}

bool AnyMirrored(const std::vector<TableDesc>& tables) {
  return std::any_of(tables.begin(), tables.end(),
                     [](const TableDesc& table) { return !table.ap_record_type.empty(); });
}

}  // namespace

namespace {

std::vector<std::string> ProblemsIn(const Catalog& catalog, const std::vector<TableDesc>& tables,
                                    bool ap_read_open, bool ap_write_open) {
  std::vector<std::string> problems;
  if (!catalog.has_database) {
    problems.push_back("No database is selected on the connection");
    return problems;
  }

  for (const TableDesc& desc : tables) {
    // The clear and the select filter on the code column; the select reads the source names.
    std::vector<std::string> reads = {desc.code_column};
    std::vector<std::string> writes;
    std::vector<std::string> both = {desc.code_column};  // column order, for the message
    for (const ColumnDesc& column : desc.columns) {
      writes.push_back(column.insert_name);
      both.push_back(column.insert_name);
      if (!column.source_name.empty()) {
        reads.push_back(column.source_name);
        both.push_back(column.source_name);
      }
    }

    const TableInfo* read_table = Require(catalog, desc.table, problems);
    const std::string insert_name = desc.insert_table;
    const TableInfo* insert_table = read_table;
    if (insert_name != desc.table) {
      insert_table = Require(catalog, insert_name, problems);
    }
    if (read_table != nullptr && read_table == insert_table) {
      CheckColumns(read_table, desc.table, both, problems);
    } else {
      CheckColumns(read_table, desc.table, reads, problems);
      CheckColumns(insert_table, insert_name, writes, problems);
    }
  }

  if (AnyMirrored(tables)) {
    const TableInfo* ap_table = Require(catalog, kApTable, problems);
    CheckColumns(ap_table, kApTable, recstore::ApTableColumns(), problems);
    if (!ap_read_open) {
      problems.push_back("ap record file is not open for reading");
    }
    if (!ap_write_open) {
      problems.push_back("ap record file is not open for writing");
    }
  }
  return problems;
}

std::vector<std::string> NonTransactionalIn(const Catalog& catalog,
                                            const std::vector<TableDesc>& tables) {
  std::vector<std::string> names;
  for (const TableDesc& desc : tables) {
    names.push_back(desc.table);
    names.push_back(desc.insert_table);
  }
  if (AnyMirrored(tables)) {
    names.push_back(kApTable);
  }

  std::vector<std::string> found;
  std::set<const TableInfo*> reported;
  for (const std::string& name : names) {
    const TableInfo* table = catalog.Find(name);
    if (table != nullptr && !table->transactional && reported.insert(table).second) {
      found.push_back(name + " (" + table->engine + ")");
    }
  }
  return found;
}

}  // namespace

std::vector<std::string> PreflightProblems(db::Connection& connection,
                                           const std::vector<TableDesc>& tables, bool ap_read_open,
                                           bool ap_write_open) {
  return ProblemsIn(ReadCatalog(connection), tables, ap_read_open, ap_write_open);
}

std::vector<std::string> NonTransactionalTables(db::Connection& connection,
                                                const std::vector<TableDesc>& tables) {
  return NonTransactionalIn(ReadCatalog(connection), tables);
}

RunChecks CheckTables(db::Connection& connection, const std::vector<TableDesc>& tables,
                      bool ap_read_open, bool ap_write_open,
                      const std::vector<std::string>& also_ask) {
  const Catalog catalog = ReadCatalog(connection, also_ask);
  RunChecks checks;
  checks.problems = ProblemsIn(catalog, tables, ap_read_open, ap_write_open);
  if (catalog.has_database) {
    checks.non_transactional = NonTransactionalIn(catalog, tables);
  }
  return checks;
}

}  // namespace copy
