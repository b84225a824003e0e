// Test support: the private server's settings and scratch databases.
#include "tests/test_db.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "db/connection.h"
#include "db/query.h"
#include "tests/test_support_cli.h"

namespace testing_support {

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

db::ConnectionSettings ServerSettings(const std::string& database) {
  if (Env("KELVANE_TEST_SOCKET").empty() && Env("MYSQL_UNIX_PORT").empty()) {
    std::cerr << "The database tests need the private server that scripts/test starts: "
                 "KELVANE_TEST_SOCKET (or MYSQL_UNIX_PORT) is not set.\n";
    std::exit(2);
  }
  if (!Env("KELVANE_TEST_SOCKET").empty()) {
    setenv("MYSQL_UNIX_PORT", Env("KELVANE_TEST_SOCKET").c_str(), 1);
  }
  db::ConnectionSettings settings;
  settings.host = "localhost";
  settings.user = Env("KELVANE_TEST_USER").empty() ? "kelvane" : Env("KELVANE_TEST_USER");
  settings.password =
      Env("KELVANE_TEST_PASSWORD").empty() ? "kelvane" : Env("KELVANE_TEST_PASSWORD");
  settings.database = database;
  settings.transport.socket = Env("MYSQL_UNIX_PORT");
  return settings;
}

std::string SourceDir() {
  return KELVANE_SOURCE_DIR;
}

std::string SchemaSql() {
  return ReadFile(SourceDir() + "/sql/schema.sql");
}

std::string DemoSql() {
  return ReadFile(SourceDir() + "/sql/demo.sql");
}

static void RunStatements(db::Connection& connection, const std::string& sql) {
  std::string statement;
  std::istringstream in(sql);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("--", 0) == 0) {
      continue;
    }
    statement += line;
    statement += '\n';
    if (!line.empty() && line.back() == ';') {
      connection.Execute(statement);
      statement.clear();
    }
  }
  if (statement.find_first_not_of(" \n\t") != std::string::npos) {
    connection.Execute(statement);
  }
}

ScratchDatabase::ScratchDatabase(const std::string& prefix, bool with_schema) {
  static std::atomic<int> counter{0};
  name_ = prefix + "_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
  db::Connection connection(ServerSettings(""));
  connection.Execute("DROP DATABASE IF EXISTS `" + name_ + "`");
  connection.Execute("CREATE DATABASE `" + name_ + "` CHARACTER SET utf8mb4");
  if (with_schema) {
    connection.Execute("USE `" + name_ + "`");
    RunStatements(connection, SchemaSql());
  }
}

ScratchDatabase::~ScratchDatabase() {
  try {
    db::Connection connection(ServerSettings(""));
    connection.Execute("DROP DATABASE IF EXISTS `" + name_ + "`");
  } catch (const std::exception& e) {
    std::cerr << "could not drop " << name_ << ": " << e.what() << "\n";
  }
}

void ScratchDatabase::Run(const std::string& sql) const {
  db::Connection connection(settings());
  RunStatements(connection, sql);
}

std::string ScratchDatabase::Scalar(const std::string& sql) const {
  db::Connection connection(settings());
  db::Result result = connection.Query(sql);
  if (result.Eof()) {
    return "";
  }
  if (result.IsNull(0)) {
    return "NULL";
  }
  return std::string(result.Value(0));
}

void WriteConfigFile(const std::string& path, const db::ConnectionSettings& settings) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << "[ZarfilesNdx]\r\n"
      << "mdbserv=" << settings.host << "\r\n"
      << "mdbuser=" << settings.user << "\r\n"
      << "mdbpass=" << settings.password << "\r\n"
      << "mdbbase=" << settings.database << "\r\n";
}

std::string SortedRows(db::Connection& connection, const std::string& sql) {
  std::vector<std::string> rows;
  for (db::Result result = connection.Query(sql); !result.Eof(); result.Next()) {
    std::string row;
    for (std::size_t i = 0; i < result.FieldCount(); ++i) {
      row += result.IsNull(i) ? std::string("<NULL>") : "[" + std::string(result.Value(i)) + "]";
    }
    rows.push_back(std::move(row));
  }
  std::sort(rows.begin(), rows.end());
  std::string text;
  for (const std::string& row : rows) {
    text += row + "\n";
  }
  return text;
}

std::string WholeDatabase(const db::ConnectionSettings& settings) {
  db::Connection connection(settings);
  std::vector<std::string> tables;
  for (db::Result result = connection.Query("SHOW TABLES"); !result.Eof(); result.Next()) {
    if (result.Value(0) != "kelvane_run_lock") {
      tables.emplace_back(result.Value(0));
    }
  }
  std::string text;
  for (const std::string& table : tables) {
    text += table + ":\n" + SortedRows(connection, "SELECT * FROM `" + table + "`");
  }
  return text;
}

}  // namespace testing_support
