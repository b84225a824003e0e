// How the record store keeps a record file in a table of the database.
#include "recstore/file_table.h"

#include "db/sql_text.h"

namespace recstore {

std::string InsertHead(std::string_view table) {
  return "INSERT INTO " + std::string(table) + " (Index0Col, RecData) VALUES ";
}

// Binary values travel as hex literals, which no character set or sql_mode can change.
std::string RowValues(std::string_view key, std::string_view record) {
  return db::HexLiteral(key) + ", " + db::HexLiteral(record);
}

}  // namespace recstore
