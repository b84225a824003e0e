// Descriptions of the twelve table copies: everything that differs from table to table.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace copy {

// How a column of the source row becomes a value of the insert.
enum class ValueForm {
  kDestCode,  // the destination code, quoted
  kQuoted,    // text between single quotes (escaped when it holds ' or \)
  kEscaped,   // EscapeString, then quoted
  kInteger,   // 32-bit signed, decimal
  kFloat,     // currency amount, exact decimal with a full stop
  kFlag,      // boolean as 1 or 0, read before every other column of the row
  kLiteral,   // fixed text, nothing read
};

struct ColumnDesc {
  std::string insert_name;  // as the insert's column list writes it
  std::string source_name;  // as passed to the lookup ("" for kDestCode and kLiteral)
  ValueForm form;
  std::string literal = {};  // kLiteral only
};

struct TableDesc {
  std::string method;               // the window's copy method, e.g. "CopyBanks"
  std::string table;                // table of the clear and select, e.g. "Bank"
  std::string status_text;          // e.g. "Banks"
  std::string clear_text;           // up to the quoted destination code
  std::string select_text;          // up to the quoted source code
  std::string insert_text;          // up to the first value, "... Values ("
  std::vector<ColumnDesc> columns;  // insert order; the first is always kDestCode
  std::string closing_text = ")";
  std::string ap_record_type = {};  // "" when the kind has no ap records
  std::string insert_table = {};    // the table the insert names, e.g. "GLCodes"
  // The column the clear and the select compare with the code (the texts above end in
  // "<code_column> = ").
  std::string code_column = "AgyCode";
  // The columns (insert names) that name a row within an agency, the way the suite's users
  // know it: a comparison of two agencies pairs their rows by them.
  std::vector<std::string> key_columns = {};
};

// The twelve descriptions in run order (banks first, download lines last).
const std::vector<TableDesc>& AllTables();

// The description whose method is `method` ("CopyBanks"); throws std::out_of_range.
const TableDesc& TableByMethod(const std::string& method);

// The description of the table named `name` as the statements name it ("GLCodes"), letter
// case ignored; nullptr when no copy step has that table.
const TableDesc* FindTable(std::string_view name);

// The twelve table names in run order, joined by ", ": what a message lists as the choice.
std::string TableNames();

// The descriptions of the tables named in `names` (as FindTable takes them), in run order
// whatever order they are given in, each once; all twelve when `names` is empty. Throws
// std::invalid_argument naming the first unknown name and listing the valid ones.
std::vector<TableDesc> ChooseTables(const std::vector<std::string>& names);

// The tables a run takes for "--only LIST" (`only`) or "--except LIST": LIST is table names
// separated by commas (blanks around each ignored, letter case too), given back as the
// statements spell them, in run order. Throws std::invalid_argument for an unknown or
// missing name (the message lists the valid ones) and for a choice that leaves no table.
std::vector<std::string> ParseTableList(const std::string& list, bool only);

}  // namespace copy
