// Reading an agency's saved state from the database.
#include "backup/backup_read.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "copy/catalogue.h"
#include "copy/table_desc.h"
#include "db/ascii.h"
#include "db/connection.h"
#include "db/query.h"
#include "db/sql_text.h"
#include "recstore/ap_file.h"

namespace backup {

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

// A column as the catalogue describes it, to be read by its form; nullopt for a generated
// column, which the server computes and refuses values for.
std::optional<ColumnRead> ReadableColumn(const std::string& table, const std::string& name,
                                         std::string_view type, std::string_view key,
                                         std::string_view extra) {
  if (db::AsciiLower(extra).find("generated") != std::string::npos) {
    return std::nullopt;
  }
  const std::string full_type = db::AsciiLower(type);
  const std::string base_type = full_type.substr(0, full_type.find_first_of("( "));
  std::optional<ReadForm> form = FormOfType(base_type);
  if (!form.has_value()) {
    throw std::runtime_error("Cannot back up column " + name + " of table " + table +
                             ": its type " + full_type + " cannot be saved exactly");
  }
  return ColumnRead{name, *form, key == "PRI"};
}

// The columns a backup saves of one table, asked of the server for that table alone: its
// own error names a table that is missing.
std::vector<ColumnRead> ReadableColumns(db::Connection& connection, const std::string& table) {
  db::Result result = connection.Query("SHOW COLUMNS FROM " + db::QuoteIdentifier(table));
  const std::size_t field = result.FindField("Field").value_or(0);
  const std::size_t type = result.FindField("Type").value_or(1);
  const std::size_t key = result.FindField("Key").value_or(3);
  const std::size_t extra = result.FindField("Extra").value_or(5);
  std::vector<ColumnRead> columns;
  for (; !result.Eof(); result.Next()) {
    if (std::optional<ColumnRead> column =
            ReadableColumn(table, std::string(result.Value(field)), result.Value(type),
                           result.Value(key), result.Value(extra))) {
      columns.push_back(std::move(*column));
    }
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

// One table's read: the select, and how its columns come back.
struct TableRead {
  const copy::TableDesc* table;
  std::vector<ColumnRead> columns;
  std::string select;
};

TableRead PrepareTableRead(const copy::TableDesc& table, std::vector<ColumnRead> columns,
                           const std::string& code) {
  TableRead read{&table, std::move(columns), ""};
  std::string order;
  for (const ColumnRead& column : read.columns) {
    read.select += (read.select.empty() ? "SELECT " : ", ") + ReadExpression(column);
    if (column.primary_key) {
      order += (order.empty() ? " ORDER BY " : ", ") + db::QuoteIdentifier(column.name);
    }
  }
  // The condition is the clear's own, so the backup holds exactly the rows a run deletes.
  read.select += " FROM " + db::QuoteIdentifier(table.table) + " WHERE " +
                 db::QuoteIdentifier(table.code_column) + " = " + db::QuotedText(code) + order;
  return read;
}

BackupSection TableSection(const TableRead& read, const std::string& code, db::Result& result) {
  const std::vector<ColumnRead>& columns = read.columns;
  std::vector<std::string> names;
  for (const ColumnRead& column : columns) {
    names.push_back(column.name);
  }
  SectionBuilder builder(read.table->table, read.table->code_column, code, names);
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

// Every table's readable columns as the catalogue shows them. A table the catalogue does not
// show is asked on its own, so that a missing one fails as the server says.
std::vector<TableRead> PrepareReads(db::Connection& connection, const copy::Catalogue& catalogue,
                                    const std::vector<copy::TableDesc>& tables,
                                    const std::string& code) {
  if (!catalogue.has_database()) {
    throw std::runtime_error("Cannot back up: the connection has no database selected");
  }
  std::vector<TableRead> reads;
  for (const copy::TableDesc& table : tables) {
    std::vector<ColumnRead> columns;
    if (const copy::CatalogueTable* found = catalogue.Find(table.table)) {
      for (const copy::CatalogueColumn& column : found->columns) {
        if (std::optional<ColumnRead> read =
                ReadableColumn(table.table, column.name, column.type, column.key, column.extra)) {
          columns.push_back(std::move(*read));
        }
      }
    } else {
      columns = ReadableColumns(connection, table.table);
    }
    reads.push_back(PrepareTableRead(table, std::move(columns), code));
  }
  return reads;
}

}  // namespace

std::string ReadAgencyState(db::Connection& connection, const copy::Catalogue& catalogue,
                            const std::vector<copy::TableDesc>& tables, const std::string& code,
                            const std::function<void(BackupSection)>& keep) {
  const std::vector<TableRead> reads = PrepareReads(connection, catalogue, tables, code);
  std::vector<std::string> types;
  for (const copy::TableDesc& table : tables) {
    if (!table.ap_record_type.empty()) {
      types.push_back(table.ap_record_type);
    }
  }
  const std::string& database = catalogue.database();
  // UTC while the backup reads: TIMESTAMP values then come as the UTC text the file restores
  // them from, with no hour that a local zone's clock change makes ambiguous. The zone is set
  // and put back inside the same request as the reads.
  std::vector<std::string> statements;
  statements.push_back("SET @kelvane_time_zone = @@SESSION.time_zone, SESSION time_zone = " +
                       db::QuotedText(kBackupTimeZone));
  for (const TableRead& read : reads) {
    statements.push_back(read.select);
  }
  for (const std::string& type : types) {
    statements.push_back(recstore::ApReadClearedStatement(type, code));
  }
  statements.emplace_back("SET SESSION time_zone = @kelvane_time_zone");
  const std::size_t first_ap = 1 + reads.size();
  try {
    connection.RunBatch(statements, [&](std::size_t index, db::Result* rows, uint64_t) {
      if (rows == nullptr) {
        return;
      }
      if (index < first_ap) {
        keep(TableSection(reads[index - 1], code, *rows));
        return;
      }
      SectionBuilder builder(types[index - first_ap], code);
      for (; !rows->Eof(); rows->Next()) {
        builder.AddRecord(rows->Value(0), rows->Value(1));
      }
      keep(builder.Finish());
    });
  } catch (...) {
    // The request stopped before the zone was put back; the session goes on serving.
    // A session that is gone has nothing to put back, and is not reopened for it.
    connection.ExecuteIfOpen("SET SESSION time_zone = @kelvane_time_zone");
    throw;
  }
  return database;
}

}  // namespace backup
