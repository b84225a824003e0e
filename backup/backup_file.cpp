// The backup file's format: writing a saved agency state as SQL, and the inserts of a file
// read back (backup_parse.cpp reads and checks it).
#include "backup/backup_file.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "backup/file_text.h"
#include "backup/sha256.h"
#include "db/sql_text.h"
#include "recstore/ap_file.h"

namespace backup {

namespace {

// The text must not break the line it is written on.
bool IsOneLine(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      return false;
    }
  }
  return true;
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

BackupSection NewSection(const std::string& table, const std::string& record_type,
                         std::vector<std::string> columns) {
  BackupSection section;
  section.table = table;
  section.record_type = record_type;
  section.columns = std::move(columns);
  return section;
}

// Calls `each` with the values of every row of `statement`, an insert of a section that
// starts with `head` and was checked as ParseBackup checks it: its values are NULL, numbers
// and hex literals, none of which holds "), (", so that text alone parts two rows.
template <typename Each>
void ForEachRow(std::string_view statement, std::size_t head, Each each) {
  std::string_view rows = statement.substr(head, statement.size() - head - 1);
  while (true) {
    const std::size_t end = rows.find("), (");
    each(rows.substr(0, end));
    if (end == std::string_view::npos) {
      return;
    }
    rows.remove_prefix(end + 4);
  }
}

}  // namespace

std::size_t DigitRun(std::string_view text, std::size_t pos) {
  std::size_t end = pos;
  while (end < text.size() && IsDigit(text[end])) {
    ++end;
  }
  return end - pos;
}

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

std::string BackupSection::Name() const {
  return IsAp() ? "ap " + record_type : table;
}

std::string TableClearStatement(const std::string& table, const std::string& code_column,
                                const std::string& code) {
  return "DELETE FROM " + db::QuoteIdentifier(table) + " WHERE " +
         db::QuoteIdentifier(code_column) + " = " + db::QuotedText(code);
}

std::string InsertHead(const BackupSection& section) {
  if (section.IsAp()) {
    return recstore::ApInsertHead() + "(";
  }
  return "INSERT INTO " + db::QuoteIdentifier(section.table) + " (" + ColumnList(section.columns) +
         ") VALUES (";
}

SectionBuilder::SectionBuilder(const std::string& table, const std::string& code_column,
                               const std::string& code, std::vector<std::string> columns)
    : section_(NewSection(table, "", std::move(columns))),
      insert_(InsertHead(section_), kInsertTail, kMaxStatementBytes) {
  section_.statements.push_back(TableClearStatement(table, code_column, code));
}

SectionBuilder::SectionBuilder(const std::string& record_type, const std::string& code)
    : section_(NewSection("", record_type, {})),
      insert_(InsertHead(section_), kInsertTail, kMaxStatementBytes) {
  section_.statements.push_back(recstore::ApClearStatement(record_type, code));
}

void SectionBuilder::AddRow(const std::vector<SavedValue>& values) {
  if (values.size() != section_.columns.size()) {
    throw std::invalid_argument("a row of " + section_.table + " has " +
                                std::to_string(values.size()) + " values for " +
                                std::to_string(section_.columns.size()) + " columns");
  }
  std::string row;
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
  AddValues(row);
}

void SectionBuilder::AddRecord(std::string_view key, std::string_view data) {
  // The record store's own row text, without the parentheses the joiner puts around it.
  const std::string row = recstore::ApInsertRow(key, data);
  AddValues(std::string_view(row).substr(1, row.size() - 2));
}

void SectionBuilder::AddValues(std::string_view values) {
  if (!insert_.Fits(values)) {
    section_.statements.push_back(insert_.Take());
  }
  insert_.Add(values);
  ++section_.count;
}

BackupSection SectionBuilder::Finish() {
  if (insert_.size() > 0) {
    section_.statements.push_back(insert_.Take());
  }
  return std::move(section_);
}

void ForEachInsertWithin(const BackupSection& section, std::size_t bound,
                         const std::function<void(const std::string&)>& send) {
  const std::string head = InsertHead(section);
  db::RowJoiner insert(head, kInsertTail, bound);
  for (std::size_t i = 1; i < section.statements.size(); ++i) {
    const std::string& statement = section.statements[i];
    if (statement.size() <= bound) {
      send(statement);
      continue;
    }
    ForEachRow(statement, head.size(), [&](std::string_view values) {
      if (!insert.Fits(values)) {
        send(insert.Take());
      }
      insert.Add(values);
    });
    send(insert.Take());
  }
}

std::size_t LongestSingleRowInsert(const BackupSection& section) {
  const std::size_t head = InsertHead(section).size();
  std::size_t longest = 0;
  for (std::size_t i = 1; i < section.statements.size(); ++i) {
    ForEachRow(section.statements[i], head,
               [&](std::string_view values) { longest = std::max(longest, values.size()); });
  }
  return section.statements.size() < 2 ? 0 : head + longest + std::string_view(kInsertTail).size();
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
  if (!header.tables.empty()) {
    std::string tables;
    for (const std::string& table : header.tables) {
      tables += (tables.empty() ? "" : ", ") + table;
    }
    text += kTablesPrefix + tables + "\n";
  }
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

}  // namespace backup
