// The backup file's format: writing a saved agency state as SQL and checking a file read back.
#include "backup/backup_file.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "backup/line_reader.h"
#include "backup/sha256.h"
#include "copy/agency_code.h"
#include "copy/table_desc.h"
#include "db/sql_text.h"
#include "recstore/ap_file.h"

namespace backup {

namespace {

constexpr const char* kPreamble[] = {
    "SET NAMES utf8mb4;",
    "SET SESSION sql_mode = 'STRICT_ALL_TABLES,NO_AUTO_VALUE_ON_ZERO,NO_ENGINE_SUBSTITUTION';",
    "SET SESSION time_zone = '+00:00';",
    "START TRANSACTION;",
};

constexpr const char* kChecksumNote =
    "-- checksums: SHA-256 of each section's statements below, exactly as written, each line "
    "with its line feed";
constexpr const char* kRestoreNote =
    "-- restore: kelvane --restore FILE checks this file first; mariadb DATABASE < FILE also "
    "restores it";
constexpr const char* kColumnsPrefix = "--   columns: ";

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsHexDigit(char c) {
  return IsDigit(c) || (c >= 'A' && c <= 'F');
}

// The text must not break the line it is written on.
bool IsOneLine(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      return false;
    }
  }
  return true;
}

std::size_t DigitRun(std::string_view text, std::size_t pos) {
  std::size_t end = pos;
  while (end < text.size() && IsDigit(text[end])) {
    ++end;
  }
  return end - pos;
}

// Length of the number at the start of `text` in the form the server writes numbers:
// -?digits(.digits)?(e[+-]?digits)?; 0 when there is none.
std::size_t NumberLength(std::string_view text) {
  std::size_t pos = 0;
  if (pos < text.size() && text[pos] == '-') {
    ++pos;
  }
  std::size_t digits = DigitRun(text, pos);
  if (digits == 0) {
    return 0;
  }
  pos += digits;
  if (pos < text.size() && text[pos] == '.') {
    digits = DigitRun(text, pos + 1);
    if (digits == 0) {
      return 0;
    }
    pos += 1 + digits;
  }
  if (pos < text.size() && text[pos] == 'e') {
    std::size_t exponent = pos + 1;
    if (exponent < text.size() && (text[exponent] == '-' || text[exponent] == '+')) {
      ++exponent;
    }
    digits = DigitRun(text, exponent);
    if (digits == 0) {
      return 0;
    }
    pos = exponent + digits;
  }
  return pos;
}

std::string ColumnList(const std::vector<std::string>& columns) {
  std::string text;
  for (const std::string& column : columns) {
    if (!text.empty()) {
      text += ", ";
    }
    text += db::QuoteIdentifier(column);
  }
  return text;
}

std::string TableInsertHead(const std::string& table, const std::vector<std::string>& columns) {
  return "INSERT INTO " + db::QuoteIdentifier(table) + " (" + ColumnList(columns) + ") VALUES ";
}

std::string RenderValue(const SavedValue& value) {
  switch (value.form) {
    case SavedValue::Form::kNull:
      return "NULL";
    case SavedValue::Form::kBytes:
      return db::HexLiteral(value.text);
    case SavedValue::Form::kNumber:
      return value.text;
  }
  return "NULL";
}

bool IsValidFromCode(const std::string& code) {
  return code == "restore" || copy::IsAgencyCode(code);
}

// What the header says of one section.
struct HeaderSection {
  BackupSection section;  // table or record type, columns and count; no statements
  std::string checksum;
};

uint64_t ParseCount(std::string_view text, const LineReader& reader) {
  if (text.empty() || text.size() > 19 || DigitRun(text, 0) != text.size()) {
    throw reader.Error("the count is not a number");
  }
  uint64_t value = 0;
  for (char c : text) {
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

// "`a`, `b``c`" to {"a", "b`c"}.
std::vector<std::string> ParseColumnList(std::string_view text, const LineReader& reader) {
  std::vector<std::string> columns;
  std::size_t pos = 0;
  while (true) {
    if (pos >= text.size() || text[pos] != '`') {
      throw reader.Error("the column list is not in the form this program writes");
    }
    ++pos;
    std::string name;
    while (true) {
      if (pos >= text.size()) {
        throw reader.Error("a column name is not closed");
      }
      if (text[pos] == '`') {
        if (pos + 1 < text.size() && text[pos + 1] == '`') {
          name += '`';
          pos += 2;
          continue;
        }
        ++pos;
        break;
      }
      name += text[pos++];
    }
    if (name.empty()) {
      throw reader.Error("a column name is empty");
    }
    columns.push_back(std::move(name));
    if (pos == text.size()) {
      return columns;
    }
    if (text.substr(pos, 2) != ", ") {
      throw reader.Error("the column list is not in the form this program writes");
    }
    pos += 2;
  }
}

// "<prefix>=<value>" at `pos` of `line`, up to the next blank or the end.
std::string_view KeyValue(std::string_view line, std::size_t& pos, std::string_view key,
                          const LineReader& reader) {
  if (line.substr(pos, key.size() + 1) != std::string(key) + "=") {
    throw reader.Error("expected \"" + std::string(key) + "=\"");
  }
  pos += key.size() + 1;
  std::size_t end = line.find(' ', pos);
  if (end == std::string_view::npos) {
    end = line.size();
  }
  std::string_view value = line.substr(pos, end - pos);
  pos = end == line.size() ? end : end + 1;
  return value;
}

// "-- table Bank: rows=3 sha256=<hex>" and its columns line, or "-- ap 009: records=2
// sha256=<hex>".
HeaderSection ParseSectionHeader(LineReader& reader, const std::string& table,
                                 const std::string& record_type) {
  HeaderSection result;
  result.section.table = table;
  result.section.record_type = record_type;
  const std::string prefix =
      table.empty() ? "-- ap " + record_type + ": " : "-- table " + table + ": ";
  std::string_view line = reader.Peek();
  if (line.substr(0, prefix.size()) != prefix) {
    throw reader.Error("expected \"" + prefix + "...\"");
  }
  std::size_t pos = prefix.size();
  result.section.count =
      ParseCount(KeyValue(line, pos, table.empty() ? "records" : "rows", reader), reader);
  std::string_view checksum = KeyValue(line, pos, "sha256", reader);
  if (pos != line.size() || checksum.size() != 64) {
    throw reader.Error("the section line is not in the form this program writes");
  }
  result.checksum = std::string(checksum);
  reader.Take();
  if (!table.empty()) {
    result.section.columns = ParseColumnList(reader.Field(kColumnsPrefix), reader);
  }
  return result;
}

struct ParsedHeader {
  BackupHeader header;
  std::vector<HeaderSection> sections;
};

// The header, which lists the twelve tables and then the seven record types, in run order.
ParsedHeader ParseHeaderLines(LineReader& reader) {
  if (reader.AtEnd() || reader.Peek() != kBackupMagic) {
    throw BackupFormatError("it is not a Kelvane backup (its first line is not \"" +
                            std::string(kBackupMagic) + "\")");
  }
  reader.Take();
  ParsedHeader parsed;
  BackupHeader& header = parsed.header;
  header.program = reader.Field("-- program: ");
  header.database = reader.Field("-- database: ");
  header.time = reader.Field("-- time: ");
  header.from_code = reader.Field("-- from: ");
  header.to_code = reader.Field("-- to: ");
  if (header.database.empty()) {
    throw BackupFormatError("the header names no database");
  }
  if (!IsValidFromCode(header.from_code) || !copy::IsAgencyCode(header.to_code)) {
    throw BackupFormatError("the header's agency codes are not two letters or digits");
  }
  reader.Expect(kChecksumNote, "the header's checksum note");
  reader.Expect(kRestoreNote, "the header's restore note");
  for (const copy::TableDesc& table : copy::AllTables()) {
    parsed.sections.push_back(ParseSectionHeader(reader, table.table, ""));
  }
  for (const char* type : recstore::kApRecordTypes) {
    parsed.sections.push_back(ParseSectionHeader(reader, "", type));
  }
  return parsed;
}

const std::string& CodeColumnOf(const std::string& table) {
  for (const copy::TableDesc& desc : copy::AllTables()) {
    if (desc.table == table) {
      return desc.code_column;
    }
  }
  static const std::string kDefault = "AgyCode";
  return kDefault;
}

// Checks the rows of an insert after its head, each "(v, v)" and joined by ", ", with
// exactly `width` values each, every value NULL, a hex literal or a number (ap records: hex
// literals only). Returns the number of rows.
uint64_t CheckRows(std::string_view rows, std::size_t width, bool hex_only,
                   const LineReader& reader) {
  uint64_t count = 0;
  std::size_t pos = 0;
  auto fail = [&reader](const std::string& what) {
    return reader.Error(what + " (the statement is not in the form this program writes)");
  };
  while (true) {
    if (pos >= rows.size() || rows[pos] != '(') {
      throw fail("a row does not start with \"(\"");
    }
    ++pos;
    for (std::size_t i = 0; i < width; ++i) {
      std::string_view rest = rows.substr(pos);
      if (rest.substr(0, 2) == "X'") {
        std::size_t end = 2;
        while (end < rest.size() && IsHexDigit(rest[end])) {
          ++end;
        }
        if (end >= rest.size() || rest[end] != '\'' || (end - 2) % 2 != 0) {
          throw fail("a hex value is damaged");
        }
        pos += end + 1;
      } else if (!hex_only && rest.substr(0, 4) == "NULL") {
        pos += 4;
      } else if (std::size_t length = hex_only ? 0 : NumberLength(rest); length > 0) {
        pos += length;
      } else {
        throw fail("a value is damaged");
      }
      const std::string_view separator = i + 1 < width ? ", " : ")";
      if (rows.substr(pos, separator.size()) != separator) {
        throw fail("a row has the wrong number of values");
      }
      pos += separator.size();
    }
    ++count;
    if (pos == rows.size()) {
      return count;
    }
    if (rows.substr(pos, 2) != ", ") {
      throw fail("rows are not separated by \", \"");
    }
    pos += 2;
  }
}

BackupSection ParseSectionBody(LineReader& reader, const HeaderSection& expected,
                               const std::string& code) {
  BackupSection section = expected.section;
  const std::string name = section.Name();
  const std::string clear =
      section.IsAp() ? recstore::ApClearStatement(section.record_type, code)
                     : TableClearStatement(section.table, CodeColumnOf(section.table), code);
  const std::string head =
      section.IsAp() ? recstore::ApInsertHead() : TableInsertHead(section.table, section.columns);
  Sha256 checksum;
  reader.Expect(clear + ";", ("the delete of " + name).c_str());
  checksum.Update(clear + ";\n");
  section.statements.push_back(clear);
  uint64_t count = 0;
  while (!reader.AtEnd() && reader.Peek().substr(0, head.size()) == head) {
    std::string_view line = reader.Peek();
    if (line.back() != ';') {
      throw reader.Error("the insert into " + name + " does not end with \";\"");
    }
    std::string_view statement = line.substr(0, line.size() - 1);
    count +=
        CheckRows(statement.substr(head.size()),
                  section.IsAp() ? std::size_t{2} : section.columns.size(), section.IsAp(), reader);
    checksum.Update(line);
    checksum.Update("\n");
    section.statements.emplace_back(statement);
    reader.Take();
  }
  if (checksum.HexDigest() != expected.checksum) {
    throw BackupFormatError("the statements of " + name +
                            " do not match the header's checksum: the file was changed or "
                            "damaged");
  }
  if (count != expected.section.count) {
    throw BackupFormatError("the header says " + name + " has " +
                            std::to_string(expected.section.count) + ", the file holds " +
                            std::to_string(count));
  }
  return section;
}

std::optional<bool> ParseOutcome(std::string_view line) {
  if (line == OutcomeLine(true).substr(0, OutcomeLine(true).size() - 1)) {
    return true;
  }
  if (line == OutcomeLine(false).substr(0, OutcomeLine(false).size() - 1)) {
    return false;
  }
  return std::nullopt;
}

}  // namespace

std::string BackupSection::Name() const {
  return IsAp() ? "ap " + record_type : table;
}

std::string TableClearStatement(const std::string& table, const std::string& code_column,
                                const std::string& code) {
  return "DELETE FROM " + db::QuoteIdentifier(table) + " WHERE " +
         db::QuoteIdentifier(code_column) + " = " + db::QuotedText(code);
}

SectionBuilder::SectionBuilder(const std::string& table, const std::string& code_column,
                               const std::string& code, std::vector<std::string> columns) {
  section_.table = table;
  section_.columns = std::move(columns);
  section_.statements.push_back(TableClearStatement(table, code_column, code));
  head_ = TableInsertHead(table, section_.columns);
}

SectionBuilder::SectionBuilder(const std::string& record_type, const std::string& code) {
  section_.record_type = record_type;
  section_.statements.push_back(recstore::ApClearStatement(record_type, code));
  head_ = recstore::ApInsertHead();
}

void SectionBuilder::AddRow(const std::vector<SavedValue>& values) {
  if (values.size() != section_.columns.size()) {
    throw std::invalid_argument("a row of " + section_.table + " has " +
                                std::to_string(values.size()) + " values for " +
                                std::to_string(section_.columns.size()) + " columns");
  }
  std::string row = "(";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i].form == SavedValue::Form::kNumber &&
        (values[i].text.empty() || NumberLength(values[i].text) != values[i].text.size())) {
      throw std::invalid_argument("column " + section_.columns[i] + " of " + section_.table +
                                  " holds \"" + values[i].text +
                                  "\", which is not a number this program can save exactly");
    }
    if (i > 0) {
      row += ", ";
    }
    row += RenderValue(values[i]);
  }
  row += ")";
  AddRowText(row);
}

void SectionBuilder::AddRecord(std::string_view key, std::string_view data) {
  AddRowText(recstore::ApInsertRow(key, data));
}

void SectionBuilder::AddRowText(const std::string& row) {
  if (!current_.empty() && current_.size() + 2 + row.size() > kMaxStatementBytes) {
    section_.statements.push_back(std::move(current_));
    current_.clear();
  }
  current_ += current_.empty() ? head_ : ", ";
  current_ += row;
  ++section_.count;
}

BackupSection SectionBuilder::Finish() {
  if (!current_.empty()) {
    section_.statements.push_back(std::move(current_));
    current_.clear();
  }
  return std::move(section_);
}

std::string OutcomeLine(bool completed) {
  return completed ? "-- outcome: completed\n" : "-- outcome: failed\n";
}

std::string RenderSectionLines(const BackupSection& section, std::string& sha256) {
  Sha256 checksum;
  std::string lines;
  for (const std::string& statement : section.statements) {
    const std::string line = statement + ";\n";
    checksum.Update(line);
    lines += line;
  }
  sha256 = checksum.HexDigest();
  return lines;
}

std::string RenderHead(const BackupHeader& header, const std::vector<BackupSection>& sections,
                       const std::vector<std::string>& checksums) {
  if (!IsOneLine(header.database) || !IsOneLine(header.program) || !IsOneLine(header.time)) {
    throw std::invalid_argument("the database name holds a line break or control character");
  }
  if (checksums.size() != sections.size()) {
    throw std::invalid_argument("a checksum is missing for a section of the backup");
  }
  std::string text = std::string(kBackupMagic) + "\n";
  text += "-- program: " + header.program + "\n";
  text += "-- database: " + header.database + "\n";
  text += "-- time: " + header.time + "\n";
  text += "-- from: " + header.from_code + "\n";
  text += "-- to: " + header.to_code + "\n";
  text += std::string(kChecksumNote) + "\n";
  text += std::string(kRestoreNote) + "\n";
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const BackupSection& section = sections[i];
    const std::string sum = " sha256=" + checksums[i] + "\n";
    if (section.IsAp()) {
      text += "-- ap " + section.record_type + ": records=" + std::to_string(section.count) + sum;
    } else {
      for (const std::string& column : section.columns) {
        if (!IsOneLine(column)) {
          throw std::invalid_argument("a column name of " + section.table +
                                      " holds a line break or control character");
        }
      }
      text += "-- table " + section.table + ": rows=" + std::to_string(section.count) + sum;
      text += kColumnsPrefix + ColumnList(section.columns) + "\n";
    }
  }
  for (const char* line : kPreamble) {
    text += std::string(line) + "\n";
  }
  return text;
}

std::string RenderTail() {
  return "COMMIT;\n" + std::string(kBackupEndLine) + "\n";
}

std::string RenderBackup(const BackupHeader& header, const std::vector<BackupSection>& sections) {
  std::vector<std::string> checksums(sections.size());
  std::string body;
  for (std::size_t i = 0; i < sections.size(); ++i) {
    body += RenderSectionLines(sections[i], checksums[i]);
  }
  return RenderHead(header, sections, checksums) + body + RenderTail();
}

BackupContents ParseBackupHeader(std::string_view text) {
  LineReader reader(text);
  ParsedHeader parsed = ParseHeaderLines(reader);
  BackupContents contents;
  contents.header = std::move(parsed.header);
  for (HeaderSection& section : parsed.sections) {
    contents.sections.push_back(std::move(section.section));
  }
  return contents;
}

BackupContents ParseBackup(std::string_view text) {
  LineReader reader(text);
  ParsedHeader parsed = ParseHeaderLines(reader);
  BackupContents contents;
  contents.header = parsed.header;
  for (const char* line : kPreamble) {
    reader.Expect(line, ("\"" + std::string(line) + "\"").c_str());
  }
  for (const HeaderSection& section : parsed.sections) {
    contents.sections.push_back(ParseSectionBody(reader, section, contents.header.to_code));
  }
  reader.Expect("COMMIT;", "the COMMIT");
  reader.Expect(kBackupEndLine, "the end line");
  if (!reader.AtEnd()) {
    contents.completed = ParseOutcome(reader.Peek());
    if (!contents.completed.has_value()) {
      throw reader.Error("unexpected text after the end of the backup");
    }
    reader.Take();
    if (!reader.AtEnd()) {
      throw reader.Error("unexpected text after the outcome line");
    }
  }
  return contents;
}

}  // namespace backup
