// Checks after a run that the destination holds exactly what a correct copy produces.
#include "compare/verify.h"

#include <cstddef>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "copy/table_copy.h"
#include "copy/wording.h"
#include "db/connection.h"
#include "db/error.h"
#include "db/query.h"
#include "db/sql_text.h"
#include "recstore/ap_file.h"

namespace compare {

namespace {

// A row's copied columns in the form the comparison takes, as the server computed them;
// nullopt is NULL.
using Values = std::vector<std::optional<std::string>>;

constexpr const char* kNullText = "<NULL>";  // a literal column left NULL
constexpr const char* kExact = " AS DECIMAL(65,30))";
// The texts the readers take as a number (db::ParseCurrency) and as a whole number
// (db::ParseInteger), blanks around them trimmed.
constexpr const char* kNumberPattern =
    "'^[+-]?([0-9]+[.]?[0-9]*|[.][0-9]+)([eE][+-]?[0-9]{1,12})?$'";
constexpr const char* kWholePattern = "'^[+-]?[0-9]{1,12}$'";

// The verification states the copy's rules in SQL, so the server reads both agencies' rows
// itself: a fault shared by the copy's own readers and a check made with them would cancel
// out, and one of these expressions cannot share it. The source side gives the value each
// column must hold after a correct copy, the destination side the value it holds, in the same
// form: text as its characters, numbers as exact decimals without trailing zeros ("12.5",
// "3", "0"), flags as the number stored.

std::string Text(const std::string& sql) {
  return "CAST(" + sql + " AS CHAR)";
}

// An exact decimal as FormatCurrency writes it: trailing zeros and a bare point dropped.
std::string Plain(const std::string& exact) {
  return "TRIM(TRAILING '.' FROM TRIM(TRAILING '0' FROM " + Text("CAST(" + exact + kExact) + "))";
}

std::string Trimmed(const std::string& column) {
  return "REGEXP_REPLACE(" + Text(column) + ", '^[[:space:]]+|[[:space:]]+$', '')";
}

bool IsNumber(db::FieldKind kind) {
  return kind == db::FieldKind::kInteger || kind == db::FieldKind::kDecimal ||
         kind == db::FieldKind::kFloat;
}

// The number db::Field's readers take from a column of `kind`, exact; NULL for text that is
// no number to them (`whole`: AsInteger's digits only). A FLOAT or DOUBLE is read from the
// text the server sends, as the readers do.
std::string Exact(const std::string& column, db::FieldKind kind, bool whole) {
  if (kind == db::FieldKind::kFloat) {
    return "CAST(" + Text(column) + kExact;
  }
  if (kind == db::FieldKind::kBit) {
    return "CAST(" + column + " + 0" + kExact;
  }
  if (IsNumber(kind)) {
    return "CAST(" + column + kExact;
  }
  const std::string trimmed = Trimmed(column);
  return "IF(" + trimmed + " REGEXP " + (whole ? kWholePattern : kNumberPattern) + ", CAST(" +
         trimmed + kExact + ", NULL)";
}

// As Field::AsBoolean: numbers and bits true when not zero, text also the usual words.
std::string ExpectedFlag(const std::string& column, db::FieldKind kind) {
  if (kind == db::FieldKind::kBit) {
    return "IF(IFNULL(" + column + " + 0, 0) <> 0, '1', '0')";
  }
  std::string words;
  if (!IsNumber(kind)) {
    const std::string word = "CAST(LOWER(" + Trimmed(column) + ") AS BINARY)";
    words = " WHEN " + word + " IN ('true', 't', 'yes', 'y', 'on') THEN '1' WHEN " + word +
            " IN ('false', 'f', 'no', 'n', 'off') THEN '0'";
  }
  const std::string amount = "ROUND(" + Exact(column, kind, false) + ", 4)";
  return "CASE WHEN " + column + " IS NULL THEN '0'" + words + " WHEN " + amount +
         " <> 0 THEN '1' WHEN " + amount + " = 0 THEN '0' END";
}

// What a correct copy writes in the column, from the source row: NULL where the copy's
// reader refuses the value (the copy would have failed on it).
std::string Expected(const copy::ColumnDesc& column, db::FieldKind kind,
                     const std::string& to_code) {
  const std::string name = db::QuoteIdentifier(column.source_name);
  switch (column.form) {
    case copy::ValueForm::kDestCode:
      return db::QuotedText(to_code);
    case copy::ValueForm::kLiteral:
      return db::QuotedText(column.literal);
    case copy::ValueForm::kQuoted:
    case copy::ValueForm::kEscaped:
      return "IFNULL(" + Text(name) + ", '')";
    case copy::ValueForm::kInteger: {
      // AsInteger rounds an amount to four places first, then to a whole number.
      const std::string whole = "ROUND(ROUND(" + Exact(name, kind, true) + ", 4))";
      return "IF(" + name + " IS NULL, '0', IF(" + whole + " BETWEEN -2147483648 AND 2147483647, " +
             Plain(whole) + ", NULL))";
    }
    case copy::ValueForm::kFloat: {
      const std::string amount = "ROUND(" + Exact(name, kind, false) + ", 4)";
      return "IF(" + name + " IS NULL, '0', IF(" + amount +
             " BETWEEN -922337203685477.5808 AND 922337203685477.5807, " + Plain(amount) +
             ", NULL))";
    }
    case copy::ValueForm::kFlag:
      return ExpectedFlag(name, kind);
  }
  return "NULL";
}

// What the destination row holds in the column, in the form Expected gives.
std::string Stored(const copy::ColumnDesc& column, db::FieldKind kind) {
  const std::string name = db::QuoteIdentifier(column.insert_name);
  switch (column.form) {
    case copy::ValueForm::kInteger:
    case copy::ValueForm::kFloat:
    case copy::ValueForm::kFlag:
      if (IsNumber(kind)) {
        return Plain(Exact(name, kind, false));
      }
      return kind == db::FieldKind::kBit ? Text(name + " + 0") : Text(name);
    case copy::ValueForm::kDestCode:
    case copy::ValueForm::kLiteral:
    case copy::ValueForm::kQuoted:
    case copy::ValueForm::kEscaped:
      break;
  }
  return Text(name);
}

// The column that names a row in a report: the first one copied from the source.
std::size_t KeyColumn(const copy::TableDesc& desc) {
  for (std::size_t i = 0; i < desc.columns.size(); ++i) {
    if (desc.columns[i].form != copy::ValueForm::kDestCode &&
        desc.columns[i].form != copy::ValueForm::kLiteral) {
      return i;
    }
  }
  return 0;
}

// A value as a report shows it: text quoted as the insert writes it, numbers as they are.
std::string Shown(const copy::ColumnDesc& column, const std::optional<std::string>& value) {
  if (!value) {
    return column.form == copy::ValueForm::kLiteral ? kNullText : "NULL";
  }
  switch (column.form) {
    case copy::ValueForm::kDestCode:
    case copy::ValueForm::kQuoted:
    case copy::ValueForm::kEscaped:
      return db::QuotedText(*value);
    case copy::ValueForm::kInteger:
    case copy::ValueForm::kFloat:
    case copy::ValueForm::kFlag:
    case copy::ValueForm::kLiteral:
      break;
  }
  return *value;
}

const char* ReaderType(copy::ValueForm form) {
  return form == copy::ValueForm::kInteger ? "Integer"
         : form == copy::ValueForm::kFloat ? "Currency"
                                           : "Boolean";
}

// One side's rows: each one's digest of its values and its key column, in select order.
struct Side {
  std::vector<std::optional<std::string>> digests;
  std::vector<std::optional<std::string>> keys;
};

// One table's check: the source agency's rows as a correct copy writes them against the
// destination agency's rows as they are, compared as multisets of per-row digests.
class TableCheck {
 public:
  TableCheck(db::Connection& connection, const copy::TableDesc& desc, const std::string& from_code,
             const std::string& to_code);

  VerifyLine Run();

 private:
  std::string Digest(bool source) const;
  std::string Where(bool source) const;
  Side Read(bool source) const;
  Values Fetch(bool source, const std::optional<std::string>& digest) const;
  [[noreturn]] void RefuseUnreadable() const;
  std::string FirstDifference(const Side& source, const Side& destination,
                              std::map<std::string, long>& balance) const;
  std::string RowName(const std::optional<std::string>& key) const;

  db::Connection& connection_;
  const copy::TableDesc& desc_;
  const std::string from_code_;
  const std::string to_code_;
  const std::size_t key_;
  std::vector<std::string> expected_;
  std::vector<std::string> stored_;
};

TableCheck::TableCheck(db::Connection& connection, const copy::TableDesc& desc,
                       const std::string& from_code, const std::string& to_code)
    : connection_(connection),
      desc_(desc),
      from_code_(from_code),
      to_code_(to_code),
      key_(KeyColumn(desc)) {
  // How the server declares each column decides how the copy's readers take it.
  const db::Result layout = connection.Query("SELECT * FROM " + desc.table + " LIMIT 0");
  const auto kind_of = [&layout](const std::string& name, const char* reader) {
    const std::optional<std::size_t> index = layout.FindField(name);
    if (!index) {
      throw db::Error(std::string(reader) + ": Field '" + name + "' not found");
    }
    return layout.Kind(*index);
  };
  for (const copy::ColumnDesc& column : desc.columns) {
    const bool read = !column.source_name.empty();
    expected_.push_back(
        Expected(column, read ? kind_of(column.source_name, "VerifySource") : db::FieldKind::kText,
                 to_code));
    stored_.push_back(Stored(column, kind_of(column.insert_name, "VerifyDestination")));
  }
}

// The server's digest of a row's values. The source side's is NULL when a value is, which
// only a value the copy cannot read makes.
std::string TableCheck::Digest(bool source) const {
  std::string parts;
  for (const std::string& value : source ? expected_ : stored_) {
    parts += parts.empty() ? "" : ", ',', ";
    parts += source ? "HEX(" + value + ")" : "IFNULL(HEX(" + value + "), 'N')";
  }
  return "SHA2(CONCAT(" + parts + "), 256)";
}

std::string TableCheck::Where(bool source) const {
  return " FROM " + desc_.table + " WHERE " +
         copy::CodeCondition(desc_, source ? from_code_ : to_code_);
}

Side TableCheck::Read(bool source) const {
  const std::vector<std::string>& values = source ? expected_ : stored_;
  db::Result result =
      connection_.Query("SELECT " + Digest(source) + ", " + values[key_] + Where(source));
  Side side;
  for (; !result.Eof(); result.Next()) {
    for (std::size_t i = 0; i < 2; ++i) {
      auto& list = i == 0 ? side.digests : side.keys;
      list.push_back(result.IsNull(i) ? std::nullopt : std::optional<std::string>(result.Value(i)));
    }
  }
  return side;
}

// The values of a row of the side whose digest is `digest` (nullopt: NULL).
Values TableCheck::Fetch(bool source, const std::optional<std::string>& digest) const {
  std::string columns;
  for (const std::string& value : source ? expected_ : stored_) {
    columns += (columns.empty() ? "" : ", ") + value;
  }
  db::Result result = connection_.Query(
      "SELECT " + columns + Where(source) + " AND " + Digest(source) +
      (digest ? " = " + db::QuotedText(*digest) : std::string(" IS NULL")) + " LIMIT 1");
  Values values;
  for (std::size_t i = 0; !result.Eof() && i < result.FieldCount(); ++i) {
    values.push_back(result.IsNull(i) ? std::nullopt : std::optional<std::string>(result.Value(i)));
  }
  return values;
}

// A source value the copy cannot read: the copy fails on it, so no destination is correct.
void TableCheck::RefuseUnreadable() const {
  const Values values = Fetch(true, std::nullopt);
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!values[i]) {
      const copy::ColumnDesc& column = desc_.columns[i];
      throw db::Error("Cannot access field '" + column.source_name + "' as type " +
                      ReaderType(column.form));
    }
  }
  throw db::Error("A row of " + desc_.table + " cannot be read");
}

std::string TableCheck::RowName(const std::optional<std::string>& key) const {
  return "row " + desc_.columns[key_].insert_name + " " + Shown(desc_.columns[key_], key);
}

// The first unmatched row in select order: a source row first (what the destination
// misses or holds altered), else a destination row the source does not have.
std::string TableCheck::FirstDifference(const Side& source, const Side& destination,
                                        std::map<std::string, long>& balance) const {
  for (std::size_t i = 0; i < source.digests.size(); ++i) {
    if (balance[*source.digests[i]] <= 0) {
      continue;
    }
    for (std::size_t j = 0; j < destination.digests.size(); ++j) {
      if (balance[*destination.digests[j]] >= 0 || destination.keys[j] != source.keys[i]) {
        continue;
      }
      const Values want = Fetch(true, source.digests[i]);
      const Values have = Fetch(false, destination.digests[j]);
      std::string text = RowName(source.keys[i]) + ":";
      const char* separator = " ";
      for (std::size_t c = 0; c < want.size() && c < have.size(); ++c) {
        if (want[c] != have[c]) {
          const copy::ColumnDesc& column = desc_.columns[c];
          text += separator + column.insert_name + " is " + Shown(column, have[c]) + ", expected " +
                  Shown(column, want[c]);
          separator = "; ";
        }
      }
      return text;
    }
    return RowName(source.keys[i]) + " is missing from the destination";
  }
  for (std::size_t j = 0; j < destination.digests.size(); ++j) {
    if (balance[*destination.digests[j]] < 0) {
      return RowName(destination.keys[j]) + " is not in the source";
    }
  }
  return "";
}

VerifyLine TableCheck::Run() {
  const Side source = Read(true);
  std::map<std::string, long> balance;
  for (const std::optional<std::string>& digest : source.digests) {
    if (!digest) {
      RefuseUnreadable();
    }
    ++balance[*digest];
  }
  const Side destination = Read(false);
  for (const std::optional<std::string>& digest : destination.digests) {
    --balance[digest.value_or("")];
  }
  bool same = true;
  for (const auto& entry : balance) {
    same = same && entry.second == 0;
  }
  const std::string counts = copy::Quantity(source.digests.size(), "row", "rows");
  if (same) {
    return {desc_.table, true, counts};
  }
  return {desc_.table, false,
          "source " + counts + ", destination " +
              copy::Quantity(destination.digests.size(), "row", "rows") + "; " +
              FirstDifference(source, destination, balance)};
}

// The records of the type and agency by key 0, read as the store holds them.
std::map<std::string, std::string> ReadApRecords(db::Connection& connection,
                                                 const std::string& record_type,
                                                 const std::string& agency_code) {
  std::map<std::string, std::string> records;
  db::Result result = connection.Query(recstore::ApReadStatement(record_type, agency_code));
  for (; !result.Eof(); result.Next()) {
    std::string data(result.Value(1));
    records.emplace(data.substr(0, recstore::kKeyLength), std::move(data));
  }
  return records;
}

VerifyLine VerifyApRecords(db::Connection& connection, const std::string& record_type,
                           const std::string& from_code, const std::string& to_code) {
  const std::string subject = "ap " + record_type;
  std::map<std::string, std::string> expected;
  // A destination code of fewer than two bytes cannot fill bytes 7 and 8: a correct copy
  // copies nothing then.
  if (to_code.size() >= recstore::kApAgencyLength) {
    for (auto& [key, data] : ReadApRecords(connection, record_type, from_code)) {
      std::string copy = data;
      recstore::ApSetAgency(reinterpret_cast<unsigned char*>(copy.data()), to_code);
      expected.emplace(copy.substr(0, recstore::kKeyLength), std::move(copy));
    }
  }
  std::map<std::string, std::string> found =
      ReadApRecords(connection, record_type, to_code.substr(0, recstore::kApAgencyLength));

  std::string difference;
  auto want = expected.begin();
  auto have = found.begin();
  while (difference.empty() && (want != expected.end() || have != found.end())) {
    if (have == found.end() || (want != expected.end() && want->first < have->first)) {
      difference =
          "record " + recstore::PrintableKey(want->first) + " is missing from the destination";
      if (want->second.size() > recstore::kApRecordLength) {
        difference +=
            " (it is longer than " + std::to_string(recstore::kApRecordLength) + " bytes)";
      }
    } else if (want == expected.end() || have->first < want->first) {
      difference = "record " + recstore::PrintableKey(have->first) + " is not in the source";
    } else if (want->second != have->second) {
      difference = "record " + recstore::PrintableKey(want->first) + " differs from its source";
    } else {
      ++want;
      ++have;
    }
  }
  if (difference.empty()) {
    return {subject, true, copy::Quantity(expected.size(), "record", "records")};
  }
  return {subject, false,
          "source " + copy::Quantity(expected.size(), "record", "records") + ", destination " +
              copy::Quantity(found.size(), "record", "records") + "; " + difference};
}

}  // namespace

std::vector<VerifyLine> VerifyRun(db::Connection& connection,
                                  const std::vector<copy::TableDesc>& tables,
                                  const std::string& from_code, const std::string& to_code) {
  std::vector<VerifyLine> lines;
  for (const copy::TableDesc& desc : tables) {
    lines.push_back(TableCheck(connection, desc, from_code, to_code).Run());
    if (!desc.ap_record_type.empty()) {
      lines.push_back(VerifyApRecords(connection, desc.ap_record_type, from_code, to_code));
    }
  }
  return lines;
}

std::string DescribeVerify(const VerifyLine& line) {
  return line.subject + (line.ok ? ": ok, " : ": DIFFERS, ") + line.detail;
}

}  // namespace compare
