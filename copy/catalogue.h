// What the current database holds, read from the server's catalogue once per run: the checks,
// the plan, the cluster's estimate and the backup all take it from here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace db {
class Connection;
}

namespace copy {

// A column as information_schema.COLUMNS describes it.
struct CatalogueColumn {
  std::string name;
  std::string type;   // COLUMN_TYPE, e.g. "varchar(40)"
  std::string key;    // COLUMN_KEY, e.g. "PRI"
  std::string extra;  // EXTRA, e.g. "VIRTUAL GENERATED"
  // An insert that leaves the column out stores a default: the column has one, or takes NULL.
  bool has_default = false;
};

// A table or view of the current database.
struct CatalogueTable {
  std::string name;            // as the server holds it
  std::string engine;          // "" for a view
  bool transactional = false;  // its engine rolls back (a view: not ours to judge, true)
  bool has_primary_key = false;
  uint64_t average_row_bytes = 0;        // the server's average row length
  std::vector<CatalogueColumn> columns;  // in table order

  // Whether the table has a column of this name; column names never depend on letter case.
  bool HasColumn(std::string_view column) const;
};

// The catalogue of the connection's current database. Table names follow the server's one
// rule for them (lower_case_table_names): a statement naming "GLCodes" reaches the table the
// catalogue holds as "glcodes" only where the server folds names.
class Catalogue {
 public:
  // Reads it in one statement. `also_ask`: statements of session constants the caller asks
  // next (db::Connection::SessionConstant), sent in the same request when the connection
  // batches; one the server refuses is left to be asked on its own. Throws db::Error.
  static Catalogue Read(db::Connection& connection, const std::vector<std::string>& also_ask = {});

  // A catalogue of the given tables, for tests and callers that read none.
  Catalogue(bool has_database, std::string database, bool names_ignore_case,
            std::vector<CatalogueTable> tables);
  Catalogue() = default;

  // False when the connection has no database selected.
  bool has_database() const { return has_database_; }

  const std::string& database() const { return database_; }

  // lower_case_table_names is not 0: the server matches table names without regard to case.
  bool names_ignore_case() const { return names_ignore_case_; }

  // The table a statement naming `name` reaches, or nullptr.
  const CatalogueTable* Find(std::string_view name) const;

  // A table whose name differs from `name` only in letter case, for a clearer message where
  // the server tells them apart.
  const CatalogueTable* FindIgnoringCase(std::string_view name) const;

  const std::vector<CatalogueTable>& tables() const { return tables_; }

 private:
  bool has_database_ = false;
  std::string database_;
  bool names_ignore_case_ = false;
  std::vector<CatalogueTable> tables_;
};

}  // namespace copy
