// Reading a backup file back and checking it before a restore trusts it: its form, its
// checksums, and that every row it would put back is the agency's it names.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "backup/backup_file.h"
#include "backup/file_text.h"
#include "backup/line_reader.h"
#include "backup/sha256.h"
#include "copy/agency_code.h"
#include "copy/table_desc.h"
#include "db/ascii.h"
#include "recstore/ap_file.h"

namespace backup {

namespace {

bool IsHexDigit(char c) {
  return IsDigit(c) || (c >= 'A' && c <= 'F');
}

bool IsValidFromCode(const std::string& code) {
  return code == "restore" || copy::IsAgencyCode(code);
}

// What the header says of one section.
struct HeaderSection {
  BackupSection section;  // table or record type, columns and count; no statements
  std::string checksum;
  std::size_t columns_line = 0;  // a table section's columns line, for messages
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
    result.columns_line = reader.line();
    result.section.columns = ParseColumnList(reader.Field(kColumnsPrefix), reader);
  }
  return result;
}

struct ParsedHeader {
  BackupHeader header;
  std::vector<HeaderSection> sections;
};

// The tables a "-- tables:" line names: each one a step copies, in run order, each once (so
// that no section can go missing unnoticed between the list and the sections).
std::vector<const copy::TableDesc*> ParseTableNames(std::string_view list, const LineReader& reader,
                                                    std::vector<std::string>& names) {
  std::vector<const copy::TableDesc*> tables;
  const std::vector<copy::TableDesc>& all = copy::AllTables();
  std::size_t next = 0;  // the first place in run order a further table may take
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t end = std::min(list.find(", ", start), list.size());
    const std::string_view name = list.substr(start, end - start);
    const auto found = std::find_if(all.begin(), all.end(),
                                    [name](const copy::TableDesc& t) { return t.table == name; });
    if (found == all.end()) {
      throw reader.Error("the header names an unknown table \"" + std::string(name) + "\"");
    }
    const auto place = static_cast<std::size_t>(found - all.begin());
    if (place < next) {
      throw reader.Error("the header names table " + found->table +
                         " twice or out of the run's order");
    }
    next = place + 1;
    tables.push_back(&*found);
    names.push_back(found->table);
    start = end + 2;
  }
  return tables;
}

// The header, which lists the twelve tables (or those its "-- tables:" line names) and then
// their record types, in run order.
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
  std::vector<const copy::TableDesc*> tables;
  if (!reader.AtEnd() && reader.Peek().starts_with(kTablesPrefix)) {
    const std::string_view list = reader.Peek().substr(std::string_view(kTablesPrefix).size());
    tables = ParseTableNames(list, reader, header.tables);
    reader.Take();
  } else {
    for (const copy::TableDesc& table : copy::AllTables()) {
      tables.push_back(&table);
    }
  }
  reader.Expect(kChecksumNote, "the header's checksum note");
  reader.Expect(kRestoreNote, "the header's restore note");
  for (const copy::TableDesc* table : tables) {
    parsed.sections.push_back(ParseSectionHeader(reader, table->table, ""));
  }
  for (const copy::TableDesc* table : tables) {
    if (!table->ap_record_type.empty()) {
      parsed.sections.push_back(ParseSectionHeader(reader, "", table->ap_record_type));
    }
  }
  return parsed;
}

const std::string& CodeColumnOf(const std::string& table) {
  for (const copy::TableDesc& desc : copy::AllTables()) {
    if (desc.table == table) {
      return desc.code_column;
    }
  }
  throw std::logic_error("a backup section names an unknown table " + table);
}

// One row's values as written: NULL, a number or a hex literal each.
using RowValues = std::vector<std::string_view>;
// What is checked of each row beyond its form, given the row's number in its insert (from 1).
using RowCheck = std::function<void(uint64_t, const RowValues&)>;
// What is wrong with a row's agency, if anything.
using AgencyCheck = std::function<std::optional<std::string>(uint64_t, const RowValues&)>;

// The bytes a hex literal X'...' that CheckRows passed stands for.
std::string HexBytes(std::string_view literal) {
  auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'A' + 10; };
  std::string bytes;
  for (std::size_t i = 2; i + 2 < literal.size(); i += 2) {
    bytes += static_cast<char>(nibble(literal[i]) * 16 + nibble(literal[i + 1]));
  }
  return bytes;
}

// Whether a code column's value is `code` as the column's collation compares them: ASCII
// letter case and trailing blanks aside. NULL and numbers never are.
bool IsCodeValue(std::string_view value, const std::string& code) {
  if (value.substr(0, 2) != "X'") {
    return false;
  }
  std::string bytes = HexBytes(value);
  while (!bytes.empty() && bytes.back() == ' ') {
    bytes.pop_back();
  }
  return db::EqualsIgnoringCase(bytes, code);
}

// A table's rows are the agency's when their code column says so; a file whose columns lack
// that column cannot show it.
AgencyCheck TableAgencyCheck(const HeaderSection& expected, const std::string& code) {
  const BackupSection& section = expected.section;
  const std::string& column = CodeColumnOf(section.table);
  const auto found = std::find_if(
      section.columns.begin(), section.columns.end(),
      [&column](const std::string& name) { return db::EqualsIgnoringCase(name, column); });
  if (found == section.columns.end()) {
    throw BackupFormatError("line " + std::to_string(expected.columns_line) + ": the columns of " +
                            section.table + " lack its code column " + column +
                            ", so its rows cannot be shown to be agency " + code + "'s");
  }
  const auto index = static_cast<std::size_t>(found - section.columns.begin());
  return [&section, &column, &code, index](uint64_t row,
                                           const RowValues& values) -> std::optional<std::string> {
    if (IsCodeValue(values[index], code)) {
      return std::nullopt;
    }
    const std::string shown = values[index].substr(0, 2) == "X'"
                                  ? recstore::PrintableKey(HexBytes(values[index]))
                                  : std::string(values[index]);
    return "row " + std::to_string(row) + " of this insert into " + section.table +
           " belongs to another agency (" + column + " " + shown + ") than the file's agency " +
           code;
  };
}

// An ap record is the agency's when bytes 7-8 of its key, which the delete matches, and of the
// record itself, which the program reads, are the code.
AgencyCheck ApAgencyCheck(const BackupSection& section, const std::string& code) {
  return [&section, &code](uint64_t row, const RowValues& values) -> std::optional<std::string> {
    const std::string key = HexBytes(values[0]);
    for (std::size_t i = 0; i < 2; ++i) {
      const std::string bytes = i == 0 ? key : HexBytes(values[1]);
      if (bytes.size() >= 8 && bytes.compare(6, 2, code) == 0) {
        continue;
      }
      const char* part = i == 0 ? "key" : "record";
      return "record " + std::to_string(row) + " of this insert into " + section.Name() + " (key " +
             recstore::PrintableKey(key) + ") belongs to another agency (" +
             (bytes.size() < 8 ? std::string("a ") + part + " of fewer than 8 bytes"
                               : std::string(part) + " bytes 7-8 " +
                                     recstore::PrintableKey(bytes.substr(6, 2))) +
             ") than the file's agency " + code;
    }
    return std::nullopt;
  };
}

// Checks the rows of an insert after its head, each "(v, v)" and joined by ", ", with
// exactly `width` values each, every value NULL, a hex literal or a number (ap records: hex
// literals only), and gives each row to `check`. Returns the number of rows.
uint64_t CheckRows(std::string_view rows, std::size_t width, bool hex_only,
                   const LineReader& reader, const RowCheck& check) {
  uint64_t count = 0;
  std::size_t pos = 0;
  RowValues values(width);
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
      std::size_t length = 0;
      if (rest.substr(0, 2) == "X'") {
        length = 2;
        while (length < rest.size() && IsHexDigit(rest[length])) {
          ++length;
        }
        if (length >= rest.size() || rest[length] != '\'' || (length - 2) % 2 != 0) {
          throw fail("a hex value is damaged");
        }
        ++length;
      } else if (!hex_only && rest.substr(0, 4) == "NULL") {
        length = 4;
      } else {
        length = hex_only ? 0 : NumberLength(rest);
        if (length == 0) {
          throw fail("a value is damaged");
        }
      }
      values[i] = rest.substr(0, length);
      pos += length;
      const std::string_view separator = i + 1 < width ? ", " : ")";
      if (rows.substr(pos, separator.size()) != separator) {
        throw fail("a row has the wrong number of values");
      }
      pos += separator.size();
    }
    check(++count, values);
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
  const std::string head = InsertHead(section);
  const AgencyCheck agency =
      section.IsAp() ? ApAgencyCheck(expected.section, code) : TableAgencyCheck(expected, code);
  // The first row of another agency, named once the section is known to be whole and
  // unchanged, so that damage is reported as damage.
  std::optional<BackupFormatError> foreign;
  const RowCheck check = [&](uint64_t row, const RowValues& values) {
    if (!foreign.has_value()) {
      if (std::optional<std::string> problem = agency(row, values)) {
        foreign = reader.Error(*problem);
      }
    }
  };
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
    // From the first row's "(", which the head ends with.
    count += CheckRows(statement.substr(head.size() - 1),
                       section.IsAp() ? std::size_t{2} : section.columns.size(), section.IsAp(),
                       reader, check);
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
  if (foreign.has_value()) {
    throw *foreign;
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
