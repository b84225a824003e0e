// Checks, before a run deletes anything, that the database and the ap file can take it.
#include "copy/preflight.h"

#include <algorithm>
#include <set>
#include <string_view>
#include <vector>

#include "db/ascii.h"
#include "recstore/ap_file.h"

namespace copy {

namespace {

constexpr const char* kApTable = recstore::kApTable;

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
std::vector<std::string> Missing(const CatalogueTable& table,
                                 const std::vector<std::string>& wanted) {
  std::vector<std::string> missing;
  std::set<std::string> seen;
  for (const std::string& name : wanted) {
    std::string key = db::AsciiLower(name);
    if (!table.HasColumn(name) && seen.insert(key).second) {
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
const CatalogueTable* Require(const Catalogue& catalog, const std::string& name,
                              std::vector<std::string>& problems) {
  if (const CatalogueTable* table = catalog.Find(name)) {
    return table;
  }
  std::string line = "Table " + name + " does not exist";
  if (const CatalogueTable* other = catalog.FindIgnoringCase(name)) {
    line += " (the server tells letter case apart in table names; it holds " + other->name + ")";
  }
  problems.push_back(std::move(line));
  return nullptr;
}

void CheckColumns(const CatalogueTable* table, const std::string& name,
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

std::vector<std::string> ProblemsIn(const Catalogue& catalog, const std::vector<TableDesc>& tables,
                                    bool ap_read_open, bool ap_write_open) {
  std::vector<std::string> problems;
  if (!catalog.has_database()) {
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

    const CatalogueTable* read_table = Require(catalog, desc.table, problems);
    const std::string insert_name = desc.insert_table;
    const CatalogueTable* insert_table = read_table;
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
    const CatalogueTable* ap_table = Require(catalog, kApTable, problems);
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

std::vector<std::string> NonTransactionalIn(const Catalogue& catalog,
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
  std::set<const CatalogueTable*> reported;
  for (const std::string& name : names) {
    const CatalogueTable* table = catalog.Find(name);
    if (table != nullptr && !table->transactional && reported.insert(table).second) {
      found.push_back(name + " (" + table->engine + ")");
    }
  }
  return found;
}

}  // namespace

std::vector<std::string> PreflightProblems(const Catalogue& catalogue,
                                           const std::vector<TableDesc>& tables, bool ap_read_open,
                                           bool ap_write_open) {
  return ProblemsIn(catalogue, tables, ap_read_open, ap_write_open);
}

std::vector<std::string> PreflightProblems(db::Connection& connection,
                                           const std::vector<TableDesc>& tables, bool ap_read_open,
                                           bool ap_write_open) {
  return ProblemsIn(Catalogue::Read(connection), tables, ap_read_open, ap_write_open);
}

std::vector<std::string> NonTransactionalTables(const Catalogue& catalogue,
                                                const std::vector<TableDesc>& tables) {
  return catalogue.has_database() ? NonTransactionalIn(catalogue, tables)
                                  : std::vector<std::string>{};
}

std::vector<std::string> NonTransactionalTables(db::Connection& connection,
                                                const std::vector<TableDesc>& tables) {
  return NonTransactionalTables(Catalogue::Read(connection), tables);
}

}  // namespace copy
