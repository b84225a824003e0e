// Stored query results and named statement objects over a Connection.
#include "db/query.h"

#include <mysql.h>

#include <algorithm>
#include <charconv>
#include <limits>
#include <utility>

#include "db/ascii.h"
#include "db/connection.h"
#include "db/error.h"

namespace db {

namespace {

constexpr unsigned int kBinaryCharset = 63;

FieldKind KindOf(const MYSQL_FIELD& field) {
  switch (field.type) {
    case MYSQL_TYPE_TINY:
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_LONG:
    case MYSQL_TYPE_INT24:
    case MYSQL_TYPE_LONGLONG:
    case MYSQL_TYPE_YEAR:
      return FieldKind::kInteger;
    case MYSQL_TYPE_DECIMAL:
    case MYSQL_TYPE_NEWDECIMAL:
      return FieldKind::kDecimal;
    case MYSQL_TYPE_FLOAT:
    case MYSQL_TYPE_DOUBLE:
      return FieldKind::kFloat;
    case MYSQL_TYPE_BIT:
      return FieldKind::kBit;
    case MYSQL_TYPE_STRING:
    case MYSQL_TYPE_VAR_STRING:
    case MYSQL_TYPE_VARCHAR:
    case MYSQL_TYPE_TINY_BLOB:
    case MYSQL_TYPE_MEDIUM_BLOB:
    case MYSQL_TYPE_LONG_BLOB:
    case MYSQL_TYPE_BLOB:
      return field.charsetnr == kBinaryCharset ? FieldKind::kBinary : FieldKind::kText;
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_TIME:
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_TIMESTAMP:
    case MYSQL_TYPE_NEWDATE:
    case MYSQL_TYPE_TIME2:
    case MYSQL_TYPE_DATETIME2:
    case MYSQL_TYPE_TIMESTAMP2:
      return FieldKind::kTemporal;
    case MYSQL_TYPE_ENUM:
    case MYSQL_TYPE_SET:
    case MYSQL_TYPE_JSON:
      return FieldKind::kText;
    case MYSQL_TYPE_NULL:
    case MYSQL_TYPE_GEOMETRY:
    case MAX_NO_FIELD_TYPES:
      break;
  }
  return FieldKind::kOther;
}

// A BIT value arrives as raw big-endian bytes.
uint64_t BitValue(std::string_view bytes) {
  uint64_t value = 0;
  for (char c : bytes) {
    value = (value << 8) | static_cast<unsigned char>(c);
  }
  return value;
}

}  // namespace

std::optional<int32_t> ParseInteger(std::string_view text) {
  text = Trim(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > 12) {
    return std::nullopt;
  }
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + (c - '0');
  }
  if (negative) {
    value = -value;
  }
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<int32_t>(value);
}

std::optional<int64_t> ParseCurrency(std::string_view text) {
  // Digits are collected as a decimal string and scaled by the exponent, so the amount
  // is exact: no floating point is involved on the way in.
  text = Trim(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  std::string digits;
  int point_position = -1;
  std::size_t i = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c >= '0' && c <= '9') {
      digits += c;
    } else if (c == '.' && point_position < 0) {
      point_position = static_cast<int>(digits.size());
    } else {
      break;
    }
  }
  if (digits.empty()) {
    return std::nullopt;
  }
  int exponent = 0;
  if (i < text.size()) {
    if (text[i] != 'e' && text[i] != 'E') {
      return std::nullopt;
    }
    std::optional<int32_t> e = ParseInteger(text.substr(i + 1));
    if (!e || *e > 400 || *e < -400) {
      return std::nullopt;
    }
    exponent = *e;
  }
  if (point_position < 0) {
    point_position = static_cast<int>(digits.size());
  }
  // Value = 0.digits * 10^(point_position + exponent); we want it times 10^4.
  int integer_digits = point_position + exponent + 4;
  uint64_t value = 0;
  // A negative amount may reach one more than the largest positive one: the smallest
  // 64-bit count is a valid amount (-922337203685477.5808).
  const uint64_t limit =
      static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + (negative ? 1u : 0u);
  for (int k = 0; k < integer_digits; ++k) {
    uint64_t digit = k < static_cast<int>(digits.size())
                         ? static_cast<uint64_t>(digits[static_cast<std::size_t>(k)] - '0')
                         : 0;
    if (value > (limit - digit) / 10) {
      return std::nullopt;
    }
    value = value * 10 + digit;
  }
  // Round half away from zero on the first dropped digit.
  int next_index = std::max(integer_digits, 0);
  if (integer_digits >= 0 && next_index < static_cast<int>(digits.size()) &&
      digits[static_cast<std::size_t>(next_index)] >= '5') {
    if (value == limit) {
      return std::nullopt;
    }
    ++value;
  }
  // Negated as unsigned: the smallest count has no positive counterpart in int64_t.
  return static_cast<int64_t>(negative ? 0 - value : value);
}

std::optional<bool> ParseBoolean(std::string_view text) {
  text = Trim(text);
  static constexpr std::string_view kTrue[] = {"true", "t", "yes", "y", "on"};
  static constexpr std::string_view kFalse[] = {"false", "f", "no", "n", "off"};
  for (std::string_view word : kTrue) {
    if (EqualsIgnoringCase(text, word)) {
      return true;
    }
  }
  for (std::string_view word : kFalse) {
    if (EqualsIgnoringCase(text, word)) {
      return false;
    }
  }
  if (std::optional<int64_t> number = ParseCurrency(text)) {
    return *number != 0;
  }
  return std::nullopt;
}

void Result::Deleter::operator()(st_mysql_res* res) const {
  mysql_free_result(res);
}

Result::Result(st_mysql_res* res) : res_(res) {
  unsigned int count = mysql_num_fields(res);
  MYSQL_FIELD* fields = mysql_fetch_fields(res);
  names_.reserve(count);
  kinds_.reserve(count);
  for (unsigned int i = 0; i < count; ++i) {
    names_.emplace_back(fields[i].name, fields[i].name_length);
    kinds_.push_back(KindOf(fields[i]));
  }
  row_count_ = static_cast<std::size_t>(mysql_num_rows(res));
  Next();
}

Result::~Result() = default;

Result::Result(Result&& other) noexcept
    : res_(std::move(other.res_)),
      names_(std::move(other.names_)),
      kinds_(std::move(other.kinds_)),
      row_count_(std::exchange(other.row_count_, 0)),
      row_(std::exchange(other.row_, nullptr)),
      lengths_(std::exchange(other.lengths_, nullptr)) {}

Result& Result::operator=(Result&& other) noexcept {
  if (this != &other) {
    res_ = std::move(other.res_);
    names_ = std::move(other.names_);
    kinds_ = std::move(other.kinds_);
    row_count_ = std::exchange(other.row_count_, 0);
    row_ = std::exchange(other.row_, nullptr);
    lengths_ = std::exchange(other.lengths_, nullptr);
  }
  return *this;
}

void Result::Next() {
  if (!res_) {
    row_ = nullptr;
    return;
  }
  row_ = mysql_fetch_row(res_.get());
  lengths_ = row_ != nullptr ? mysql_fetch_lengths(res_.get()) : nullptr;
}

std::optional<std::size_t> Result::FindField(std::string_view name) const {
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (EqualsIgnoringCase(names_[i], name)) {
      return i;
    }
  }
  return std::nullopt;
}

bool Result::IsNull(std::size_t index) const {
  return row_[index] == nullptr;
}

std::string_view Result::Value(std::size_t index) const {
  if (row_[index] == nullptr) {
    return {};
  }
  return std::string_view(row_[index], lengths_[index]);
}

bool Field::IsNull() const {
  return result_->IsNull(index_);
}

void Field::Refuse(const char* type_name) const {
  throw Error("Cannot access field '" + Name() + "' as type " + type_name);
}

std::string Field::AsString() const {
  return std::string(result_->Value(index_));
}

int32_t Field::AsInteger() const {
  if (IsNull()) {
    return 0;
  }
  std::string_view text = result_->Value(index_);
  switch (result_->Kind(index_)) {
    case FieldKind::kBit: {
      uint64_t value = BitValue(text);
      if (value > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
        Refuse("Integer");
      }
      return static_cast<int32_t>(value);
    }
    case FieldKind::kDecimal:
    case FieldKind::kFloat: {
      // A fractional amount is brought to the nearest whole number, half away from zero.
      std::optional<int64_t> amount = ParseCurrency(text);
      if (!amount) {
        Refuse("Integer");
      }
      int64_t whole = (*amount >= 0 ? *amount + 5000 : *amount - 5000) / 10000;
      if (whole < std::numeric_limits<int32_t>::min() ||
          whole > std::numeric_limits<int32_t>::max()) {
        Refuse("Integer");
      }
      return static_cast<int32_t>(whole);
    }
    case FieldKind::kText:
    case FieldKind::kInteger:
    case FieldKind::kBinary:
    case FieldKind::kTemporal:
    case FieldKind::kOther:
      break;
  }
  std::optional<int32_t> value = ParseInteger(text);
  if (!value) {
    Refuse("Integer");
  }
  return *value;
}

int64_t Field::AsCurrency() const {
  if (IsNull()) {
    return 0;
  }
  std::string_view text = result_->Value(index_);
  if (result_->Kind(index_) == FieldKind::kBit) {
    uint64_t value = BitValue(text);
    if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max() / 10000)) {
      Refuse("Currency");
    }
    return static_cast<int64_t>(value) * 10000;
  }
  std::optional<int64_t> value = ParseCurrency(text);
  if (!value) {
    Refuse("Currency");
  }
  return *value;
}

bool Field::AsBoolean() const {
  if (IsNull()) {
    return false;
  }
  std::string_view text = result_->Value(index_);
  if (result_->Kind(index_) == FieldKind::kBit) {
    return BitValue(text) != 0;
  }
  std::optional<bool> value = ParseBoolean(text);
  if (!value) {
    Refuse("Boolean");
  }
  return *value;
}

Query::Query(Connection& connection, std::string name)
    : connection_(&connection), name_(std::move(name)) {}

void Query::SetSql(std::string text) {
  result_ = Result();
  open_ = false;
  sql_ = std::move(text);
}

uint64_t Query::ExecSQL() {
  result_ = Result();
  open_ = false;
  return connection_->Execute(sql_);
}

void Query::Open() {
  result_ = Result();
  open_ = false;
  result_ = connection_->Query(sql_);
  open_ = true;
}

void Query::Hold(std::string sql, Result result) {
  sql_ = std::move(sql);
  result_ = std::move(result);
  open_ = true;
}

Field Query::FieldByName(std::string_view field_name) const {
  std::optional<std::size_t> index = open_ ? result_.FindField(field_name) : std::nullopt;
  if (!index) {
    throw Error(name_ + ": Field '" + std::string(field_name) + "' not found");
  }
  return Field(result_, *index);
}

uint64_t Count(Connection& connection, const std::string& sql) {
  Result result = connection.Query(sql);
  if (result.Eof() || result.IsNull(0)) {
    return 0;
  }
  const std::string_view text = result.Value(0);
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) {
    throw Error("The server's answer \"" + std::string(text) + "\" is not a count", 0, "", sql);
  }
  return value;
}

std::string Scalar(Connection& connection, const std::string& sql) {
  Result result = connection.Query(sql);
  if (result.Eof() || result.IsNull(0)) {
    return "";
  }
  return std::string(result.Value(0));
}

}  // namespace db
