// The backup file's format: writing a saved agency state as SQL and checking a file read back.
#include "core/backup_file.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "copy/table_desc.h"
#include "core/agency_code.h"
#include "db/sql_text.h"
#include "recstore/ap_file.h"

namespace core {

namespace {

// SHA-256 as FIPS 180-4 defines it. The program links no crypto library and needs only
// the digest of a file's lines, so a small implementation of its own is enough.
class Sha256 {
 public:
  void Update(std::string_view bytes) {
    for (char c : bytes) {
      block_[block_size_++] = static_cast<uint8_t>(c);
      if (block_size_ == block_.size()) {
        Compress();
        block_size_ = 0;
      }
    }
    length_ += bytes.size();
  }

  std::string HexDigest() {
    const uint64_t bit_length = length_ * 8;
    block_[block_size_++] = 0x80;
    if (block_size_ > 56) {
      while (block_size_ < 64) {
        block_[block_size_++] = 0;
      }
      Compress();
      block_size_ = 0;
    }
    while (block_size_ < 56) {
      block_[block_size_++] = 0;
    }
    for (int shift = 56; shift >= 0; shift -= 8) {
      block_[block_size_++] = static_cast<uint8_t>(bit_length >> shift);
    }
    Compress();
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (uint32_t word : state_) {
      for (int shift = 28; shift >= 0; shift -= 4) {
        hex += kDigits[(word >> shift) & 0xF];
      }
    }
    return hex;
  }

 private:
  static uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

  void Compress() {
    static constexpr std::array<uint32_t, 64> kRound = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
        0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
        0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
        0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
        0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
        0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
        0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
        0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
        0xc67178f2};
    std::array<uint32_t, 64> w{};
    for (std::size_t i = 0; i < 16; ++i) {
      w[i] = (uint32_t{block_[4 * i]} << 24) | (uint32_t{block_[4 * i + 1]} << 16) |
             (uint32_t{block_[4 * i + 2]} << 8) | uint32_t{block_[4 * i + 3]};
    }
    for (std::size_t i = 16; i < 64; ++i) {
      const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
    for (std::size_t i = 0; i < 64; ++i) {
      const uint32_t t1 =
          h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
      const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
    state_[4] += e;
    state_[5] += f;
    state_[6] += g;
    state_[7] += h;
  }

  std::array<uint32_t, 8> state_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::array<uint8_t, 64> block_{};
  std::size_t block_size_ = 0;
  uint64_t length_ = 0;
};

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
  return code == "restore" || IsAgencyCode(code);
}

// What the header says of one section.
struct HeaderSection {
  BackupSection section;  // table or record type, columns and count; no statements
  std::string checksum;
};

// The file's lines, each without its line feed. A last line without one is reported as cut.
class LineReader {
 public:
  explicit LineReader(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string_view::npos) {
        cut_line_ = true;
        lines_.push_back(text.substr(start));
        break;
      }
      lines_.push_back(text.substr(start, end - start));
      start = end + 1;
    }
  }

  bool AtEnd() const { return index_ >= lines_.size(); }

  // The current line, checked to be whole.
  std::string_view Peek() const {
    if (AtEnd()) {
      throw BackupFormatError("the file ends after line " + std::to_string(lines_.size()) +
                              ": it was cut off");
    }
    if (cut_line_ && index_ + 1 == lines_.size()) {
      throw BackupFormatError("line " + std::to_string(index_ + 1) +
                              " is cut off (the file ends inside it)");
    }
    return lines_[index_];
  }

  std::string_view Take() {
    std::string_view line = Peek();
    ++index_;
    return line;
  }

  // Takes the line, which must be exactly `expected`.
  void Expect(std::string_view expected, const char* what) {
    if (AtEnd()) {
      throw BackupFormatError(std::string("the file ends before ") + what + ": it was cut off");
    }
    std::string_view line = Peek();
    if (line != expected) {
      throw Error(std::string("expected ") + what);
    }
    ++index_;
  }

  // Takes a line "<prefix><value>" and returns the value.
  std::string Field(std::string_view prefix) {
    std::string_view line = Peek();
    if (line.substr(0, prefix.size()) != prefix) {
      throw Error("expected \"" + std::string(prefix) + "...\"");
    }
    ++index_;
    return std::string(line.substr(prefix.size()));
  }

  // An error about the current line.
  BackupFormatError Error(const std::string& what) const {
    return BackupFormatError("line " + std::to_string(index_ + 1) + ": " + what);
  }

 private:
  std::vector<std::string_view> lines_;
  std::size_t index_ = 0;
  bool cut_line_ = false;
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
  if (!IsValidFromCode(header.from_code) || !IsAgencyCode(header.to_code)) {
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

std::string Sha256Hex(std::string_view bytes) {
  Sha256 sha;
  sha.Update(bytes);
  return sha.HexDigest();
}

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

}  // namespace core
