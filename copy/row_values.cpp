// How a source row becomes the values of its insert, in each column's value form.
#include "copy/row_values.h"

#include <optional>
#include <utility>
#include <vector>

#include "db/query.h"
#include "db/sql_text.h"

namespace copy {

std::string FormatCurrency(int64_t ten_thousandths) {
  // Integer arithmetic only: the amount is exact, whatever its size, and the decimal
  // separator is a full stop whatever the locale says (a comma would split the value).
  bool negative = ten_thousandths < 0;
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(ten_thousandths)
                                : static_cast<uint64_t>(ten_thousandths);
  std::string text = negative ? "-" : "";
  text += std::to_string(magnitude / 10000);
  uint64_t fraction = magnitude % 10000;
  if (fraction != 0) {
    std::string digits = std::to_string(fraction);
    digits.insert(0, 4 - digits.size(), '0');
    digits.erase(digits.find_last_not_of('0') + 1);
    text += '.';
    text += digits;
  }
  return text;
}

namespace {

// The column of the current row at `place`, or found by name (which throws when missing).
db::Field FieldAt(const ColumnDesc& column, const db::Query& row,
                  const std::optional<std::size_t>& place) {
  return place ? db::Field(row.result(), *place) : row.FieldByName(column.source_name);
}

// The value a column reads from the row, before it is written as a literal ("" for the
// destination code and the literals, which read nothing).
std::string RawAt(const ColumnDesc& column, const db::Query& row,
                  const std::optional<std::size_t>& place) {
  switch (column.form) {
    case ValueForm::kQuoted:
    case ValueForm::kEscaped:
      return FieldAt(column, row, place).AsString();
    case ValueForm::kInteger:
      return std::to_string(FieldAt(column, row, place).AsInteger());
    case ValueForm::kFloat:
      return FormatCurrency(FieldAt(column, row, place).AsCurrency());
    case ValueForm::kFlag:
      return FieldAt(column, row, place).AsBoolean() ? "1" : "0";
    case ValueForm::kDestCode:
    case ValueForm::kLiteral:
      break;
  }
  return {};
}

std::string FormatAt(const ColumnDesc& column, const db::Query& row, const std::string& to_code,
                     const std::optional<std::size_t>& place) {
  switch (column.form) {
    case ValueForm::kDestCode:
      return db::QuotedText(to_code);
    case ValueForm::kQuoted:
    case ValueForm::kEscaped:
      // Quoted text is escaped too: the columns so formed should hold no quote, but one
      // that does must not leave the statement malformed.
      return db::QuotedText(RawAt(column, row, place));
    case ValueForm::kLiteral:
      return column.literal;
    case ValueForm::kInteger:
    case ValueForm::kFloat:
    case ValueForm::kFlag:
      break;
  }
  return RawAt(column, row, place);
}

// How a column's value travels in a prepared insert: as the literal it is written as.
std::optional<db::ParamType> ParamOf(ValueForm form) {
  switch (form) {
    case ValueForm::kQuoted:
    case ValueForm::kEscaped:
      return db::ParamType::kText;
    case ValueForm::kInteger:
    case ValueForm::kFlag:
      return db::ParamType::kInteger;
    case ValueForm::kFloat:
      return db::ParamType::kDecimal;
    case ValueForm::kDestCode:
    case ValueForm::kLiteral:
      break;
  }
  return std::nullopt;
}

}  // namespace

std::string RawValue(const ColumnDesc& column, const db::Query& row,
                     const std::optional<std::size_t>& place) {
  return RawAt(column, row, place);
}

ColumnPlaces PlacesOf(const TableDesc& table, const db::Query& row) {
  ColumnPlaces places;
  places.reserve(table.columns.size());
  for (const ColumnDesc& column : table.columns) {
    places.push_back(row.IsOpen() ? row.result().FindField(column.source_name) : std::nullopt);
  }
  return places;
}

std::string BuildValues(const TableDesc& table, const db::Query& row, const std::string& to_code,
                        const ColumnPlaces* places) {
  const auto place = [places](std::size_t i) {
    return places != nullptr ? (*places)[i] : std::nullopt;
  };
  // The flags are read before any other column of the row, so that when a column is
  // missing, a missing flag column is the one the error names.
  std::vector<std::string> values(table.columns.size());
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    if (table.columns[i].form == ValueForm::kFlag) {
      values[i] = FormatAt(table.columns[i], row, to_code, place(i));
    }
  }
  std::string text;
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    if (i > 0) {
      text += ", ";
    }
    if (table.columns[i].form != ValueForm::kFlag) {
      values[i] = FormatAt(table.columns[i], row, to_code, place(i));
    }
    text += values[i];
  }
  return text;
}

std::vector<db::InsertValue> InsertValues(const TableDesc& table, const std::string& to_code) {
  std::vector<db::InsertValue> values;
  values.reserve(table.columns.size());
  for (const ColumnDesc& column : table.columns) {
    if (const auto param = ParamOf(column.form)) {
      values.push_back(db::InsertValue{param});
    } else {
      values.push_back(db::InsertValue{std::nullopt, column.form == ValueForm::kDestCode
                                                         ? db::QuotedText(to_code)
                                                         : column.literal});
    }
  }
  return values;
}

void BuildParams(const TableDesc& table, const db::Query& row, const ColumnPlaces& places,
                 std::vector<std::string>& params) {
  params.clear();
  std::vector<std::size_t> param_of(table.columns.size());
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    if (ParamOf(table.columns[i].form)) {
      param_of[i] = params.size();
      params.emplace_back();
    }
  }
  // In BuildValues' order, so a missing column gives the same error.
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    if (table.columns[i].form == ValueForm::kFlag) {
      params[param_of[i]] = RawAt(table.columns[i], row, places[i]);
    }
  }
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    if (table.columns[i].form != ValueForm::kFlag && ParamOf(table.columns[i].form)) {
      params[param_of[i]] = RawAt(table.columns[i], row, places[i]);
    }
  }
}

std::string BuildInsert(const TableDesc& table, const db::Query& row, const std::string& to_code,
                        const ColumnPlaces* places) {
  return table.insert_text + BuildValues(table, row, to_code, places) + table.closing_text;
}

}  // namespace copy
