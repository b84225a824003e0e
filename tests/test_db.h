// Test support: the private server's settings and scratch databases.
#pragma once

#include <string>

#include "db/settings.h"

namespace db {
class Connection;
}

namespace testing_support {

// Settings for the private test server (user kelvane), with `database` as the database.
// Fails the test program with one clear message when the server's variables are missing.
db::ConnectionSettings ServerSettings(const std::string& database = "");

// A database with a unique name, created on construction from sql/schema.sql (every table
// of the suite, zz_data_ap included) and dropped on destruction.
class ScratchDatabase {
 public:
  explicit ScratchDatabase(const std::string& prefix = "kt", bool with_schema = true);
  ~ScratchDatabase();
  ScratchDatabase(const ScratchDatabase&) = delete;
  ScratchDatabase& operator=(const ScratchDatabase&) = delete;

  const std::string& name() const { return name_; }

  db::ConnectionSettings settings() const { return ServerSettings(name_); }

  // Runs statements, each ending in ";" at the end of a line, on a fresh connection to this
  // database. Lines starting with "--" are skipped.
  void Run(const std::string& sql) const;
  // The first column of the first row of `sql`, "" when there is no row, "NULL" for NULL.
  std::string Scalar(const std::string& sql) const;

 private:
  std::string name_;
};

// Every row `sql` returns on `connection`, all columns (NULL apart from every value), sorted,
// one line each: equal texts mean equal multisets of rows, byte for byte.
std::string SortedRows(db::Connection& connection, const std::string& sql);

// Every table of the database `settings` names, every row and column, as one text: equal
// texts mean the database holds exactly the same. The run lock's table is left out (its rows
// come and go with the runs).
std::string WholeDatabase(const db::ConnectionSettings& settings);

// Text of the schema file and of the demo data file.
std::string SchemaSql();
std::string DemoSql();
std::string SourceDir();

// Writes a configuration file (section ZarfilesNdx) that points at `settings`.
void WriteConfigFile(const std::string& path, const db::ConnectionSettings& settings);

}  // namespace testing_support
