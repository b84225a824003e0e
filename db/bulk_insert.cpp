// Rows inserted many to a prepared statement, their values as arrays.
#include "db/bulk_insert.h"

#include <utility>

#include "db/multi_row_insert.h"
#include "db/sql_text.h"

namespace db {

namespace {

// What a row costs in the request beyond its values: a few bytes a value for its length
// and type, rounded up.
constexpr std::size_t kBytesPerValue = 9;

std::string Literal(ParamType type, std::string_view value) {
  switch (type) {
    case ParamType::kText:
      return QuotedText(std::string(value));
    case ParamType::kInteger:
    case ParamType::kDecimal:
      return std::string(value);
    case ParamType::kBinary:
      return HexLiteral(value);
  }
  return std::string(value);
}

}  // namespace

BulkInsert::BulkInsert(std::string head, std::vector<InsertValue> values, std::string tail,
                       std::size_t bound, std::string savepoint)
    : head_(std::move(head)),
      values_(std::move(values)),
      tail_(std::move(tail)),
      bound_(bound),
      savepoint_(std::move(savepoint)) {
  statement_ = head_;
  for (std::size_t i = 0; i < values_.size(); ++i) {
    statement_ += i == 0 ? "" : ", ";
    if (values_[i].param) {
      statement_ += '?';
      ++params_;
    } else {
      statement_ += values_[i].fixed;
    }
  }
  statement_ += tail_;
}

bool BulkInsert::Fits(std::size_t bytes) const {
  return rows_ == 0 ||
         statement_.size() + data_.size() + (starts_.size() + params_) * kBytesPerValue + bytes <=
             bound_;
}

template <typename Values>
void BulkInsert::AddRow(const Values& values) {
  if (values.size() != params_) {
    throw Error("A row of " + std::to_string(values.size()) + " values for " +
                    std::to_string(params_) + " parameters",
                0, "", statement_);
  }
  for (std::string_view value : values) {
    starts_.push_back(data_.size());
    data_ += value;
  }
  ++rows_;
}

void BulkInsert::Add(const std::vector<std::string>& values) {
  AddRow(values);
}

void BulkInsert::Add(std::initializer_list<std::string_view> values) {
  AddRow(values);
}

std::string_view BulkInsert::Value(std::size_t row, std::size_t param) const {
  const std::size_t at = row * params_ + param;
  const std::size_t end = at + 1 < starts_.size() ? starts_[at + 1] : data_.size();
  return std::string_view(data_).substr(starts_[at], end - starts_[at]);
}

std::string BulkInsert::RowValues(std::size_t row) const {
  std::string text;
  std::size_t param = 0;
  for (std::size_t i = 0; i < values_.size(); ++i) {
    text += i == 0 ? "" : ", ";
    if (values_[i].param) {
      text += Literal(*values_[i].param, Value(row, param++));
    } else {
      text += values_[i].fixed;
    }
  }
  return text;
}

void BulkInsert::Clear() {
  data_.clear();
  starts_.clear();
  rows_ = 0;
}

std::size_t BulkInsert::Send(Connection& connection) {
  if (rows_ == 0) {
    return 0;
  }
  const std::size_t count = rows_;
  // The rows as a text statement would write them, for a lone row and after a failure.
  const auto as_text = [this] {
    MultiRowInsert text(head_, tail_, static_cast<std::size_t>(-1), savepoint_);
    for (std::size_t row = 0; row < rows_; ++row) {
      text.Add(RowValues(row));
    }
    return text;
  };
  try {
    if (count == 1) {
      as_text().Send(connection);
    } else {
      std::vector<BulkColumn> columns;
      columns.reserve(params_);
      std::size_t param = 0;
      for (const InsertValue& value : values_) {
        if (!value.param) {
          continue;
        }
        BulkColumn column{*value.param, {}};
        column.values.reserve(rows_);
        for (std::size_t row = 0; row < rows_; ++row) {
          column.values.push_back(Value(row, param));
        }
        columns.push_back(std::move(column));
        ++param;
      }
      try {
        connection.ExecuteBulk(statement_, columns, rows_);
      } catch (const Error& error) {
        as_text().Failed(connection, error);
      }
    }
  } catch (...) {
    Clear();
    throw;
  }
  Clear();
  return count;
}

}  // namespace db
