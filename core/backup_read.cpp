// Reading an agency's saved state from the database.
#include "core/backup_read.h"

#include <optional>
#include <stdexcept>
#include <vector>

#include "copy/table_desc.h"
#include "db/ascii.h"
#include "db/connection.h"
#include "db/query.h"
#include "db/sql_text.h"
#include "recstore/ap_file.h"

namespace core {

namespace {

// How a column's value is read so that writing it back gives the same stored value.
enum class ReadForm {
  kBytes,   // CAST(c AS BINARY): the bytes in the column's own character set
  kNumber,  // the server's text, which is exact for integers and decimals
  kFloat,   // CAST(c AS DOUBLE): a FLOAT's own text has 6 digits, a double's round-trips
  kBit,     // CAST(c AS UNSIGNED): a BIT's text is raw bytes, its number is exact
};

struct ColumnRead {
  std::string name;
  ReadForm form;
  bool primary_key;
};

std::optional<ReadForm> FormOfType(const std::string& type) {
  static const char* const kBytes[] = {
      "char",     "varchar",  "binary",   "varbinary",  "tinytext", "text", "mediumtext",
      "longtext", "tinyblob", "blob",     "mediumblob", "longblob", "enum", "set",
      "json",     "date",     "datetime", "timestamp",  "time"};
  static const char* const kNumbers[] = {"tinyint", "smallint", "mediumint", "int", "integer",
                                         "bigint",  "decimal",  "numeric",   "year"};
  for (const char* name : kBytes) {
    if (type == name) {
      return ReadForm::kBytes;
    }
  }
  for (const char* name : kNumbers) {
    if (type == name) {
      return ReadForm::kNumber;
    }
  }
  if (type == "float" || type == "double" || type == "real") {
    return ReadForm::kFloat;
  }
  if (type == "bit") {
    return ReadForm::kBit;
  }
  return std::nullopt;
}

// The columns a backup saves: every column of the table but generated ones, which the
// server computes and refuses values for.
std::vector<ColumnRead> ReadableColumns(db::Connection& connection, const std::string& table) {
  db::Result result = connection.Query("SHOW COLUMNS FROM " + db::QuoteIdentifier(table));
  const std::size_t field = result.FindField("Field").value_or(0);
  const std::size_t type = result.FindField("Type").value_or(1);
  const std::size_t key = result.FindField("Key").value_or(3);
  const std::size_t extra = result.FindField("Extra").value_or(5);
  std::vector<ColumnRead> columns;
  for (; !result.Eof(); result.Next()) {
    const std::string name(result.Value(field));
    const std::string extra_text = db::AsciiLower(result.Value(extra));
    if (extra_text.find("generated") != std::string::npos) {
      continue;
    }
    const std::string full_type = db::AsciiLower(result.Value(type));
    const std::string base_type = full_type.substr(0, full_type.find_first_of("( "));
    std::optional<ReadForm> form = FormOfType(base_type);
    if (!form.has_value()) {
      throw std::runtime_error("Cannot back up column " + name + " of table " + table +
                               ": its type " + full_type + " cannot be saved exactly");
    }
    columns.push_back(ColumnRead{name, *form, result.Value(key) == "PRI"});
  }
  return columns;
}

std::string ReadExpression(const ColumnRead& column) {
  const std::string name = db::QuoteIdentifier(column.name);
  switch (column.form) {
    case ReadForm::kBytes:
      return "CAST(" + name + " AS BINARY)";
    case ReadForm::kNumber:
      return name;
    case ReadForm::kFloat:
      return "CAST(" + name + " AS DOUBLE)";
    case ReadForm::kBit:
      return "CAST(" + name + " AS UNSIGNED)";
  }
  return name;
}

}  // namespace

BackupSection ReadTableSection(db::Connection& connection, const copy::TableDesc& table,
                               const std::string& code) {
  const std::vector<ColumnRead> columns = ReadableColumns(connection, table.table);
  std::vector<std::string> names;
  std::string select;
  std::string order;
  for (const ColumnRead& column : columns) {
    names.push_back(column.name);
    select += (select.empty() ? "SELECT " : ", ") + ReadExpression(column);
    if (column.primary_key) {
      order += (order.empty() ? " ORDER BY " : ", ") + db::QuoteIdentifier(column.name);
    }
  }
  SectionBuilder builder(table.table, table.code_column, code, names);
  // The condition is the clear's own, so the backup holds exactly the rows a run deletes.
  select += " FROM " + db::QuoteIdentifier(table.table) + " WHERE " +
            db::QuoteIdentifier(table.code_column) + " = " + db::QuotedText(code) + order;
  db::Result result = connection.Query(select);
  std::vector<SavedValue> values(columns.size());
  for (; !result.Eof(); result.Next()) {
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (result.IsNull(i)) {
        values[i] = SavedValue{SavedValue::Form::kNull, ""};
      } else if (columns[i].form == ReadForm::kBytes) {
        values[i] = SavedValue{SavedValue::Form::kBytes, std::string(result.Value(i))};
      } else {
        values[i] = SavedValue{SavedValue::Form::kNumber, std::string(result.Value(i))};
      }
    }
    try {
      builder.AddRow(values);
    } catch (const std::invalid_argument& e) {
      throw std::runtime_error(std::string("Cannot back up ") + e.what());
    }
  }
  return builder.Finish();
}

BackupSection ReadApSection(db::Connection& connection, const std::string& record_type,
                            const std::string& code) {
  SectionBuilder builder(record_type, code);
  db::Result result = connection.Query(recstore::ApReadClearedStatement(record_type, code));
  for (; !result.Eof(); result.Next()) {
    builder.AddRecord(result.Value(0), result.Value(1));
  }
  return builder.Finish();
}

std::string CurrentDatabase(db::Connection& connection) {
  std::string database = db::Scalar(connection, "SELECT DATABASE()");
  if (database.empty()) {
    throw std::runtime_error("Cannot back up: the connection has no database selected");
  }
  return database;
}

}  // namespace core
