// Stored query results and named statement objects over a Connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct st_mysql_res;

namespace db {

class Connection;

// How the server declared a column; decides how its text is read as a number or flag.
enum class FieldKind { kText, kInteger, kDecimal, kFloat, kBit, kBinary, kTemporal, kOther };

// A whole result held on the client. Starts on the first row. Movable, not copyable.
class Result {
 public:
  Result() = default;
  explicit Result(st_mysql_res* res);
  ~Result();
  Result(Result&& other) noexcept;
  Result& operator=(Result&& other) noexcept;
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;

  std::size_t RowCount() const { return row_count_; }

  std::size_t FieldCount() const { return names_.size(); }

  // True when past the last row (at once for an empty result).
  bool Eof() const { return row_ == nullptr; }

  void Next();

  // The column's index, found by name without regard to ASCII letter case.
  std::optional<std::size_t> FindField(std::string_view name) const;

  const std::string& FieldName(std::size_t index) const { return names_[index]; }

  FieldKind Kind(std::size_t index) const { return kinds_[index]; }

  // The current row's value as the server sent it; only valid while not Eof().
  bool IsNull(std::size_t index) const;
  std::string_view Value(std::size_t index) const;

 private:
  struct Deleter {
    void operator()(st_mysql_res* res) const;
  };

  std::unique_ptr<st_mysql_res, Deleter> res_;
  std::vector<std::string> names_;
  std::vector<FieldKind> kinds_;
  std::size_t row_count_ = 0;
  char** row_ = nullptr;
  unsigned long* lengths_ = nullptr;
};

class Query;

// One column of a Query's current row, read in the forms a copy needs. Every reader throws
// db::Error("Cannot access field 'X' as type T") when the value cannot be read in that form.
class Field {
 public:
  Field(const Result& result, std::size_t index) : result_(&result), index_(index) {}

  bool IsNull() const;

  const std::string& Name() const { return result_->FieldName(index_); }

  // NULL gives "". Text comes as the server sends it (utf8mb4 on our connections).
  std::string AsString() const;
  // NULL gives 0. Whole numbers within 32 bits only.
  int32_t AsInteger() const;
  // A currency amount: a signed count of ten-thousandths, parsed exactly from the decimal
  // text; more than four places are rounded half away from zero. NULL gives 0.
  int64_t AsCurrency() const;
  // Numbers are true when not zero; BIT columns when any bit is set; text accepts the usual
  // spellings (true/false, yes/no, y/n, t/f, on/off). NULL gives false.
  bool AsBoolean() const;

 private:
  [[noreturn]] void Refuse(const char* type_name) const;

  const Result* result_;
  std::size_t index_;
};

// A statement object with a name, like the window's FDQuery1 and AddQuery. Holds one
// statement text and, after Open(), its stored result.
class Query {
 public:
  Query(Connection& connection, std::string name);
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  const std::string& name() const { return name_; }

  Connection& connection() { return *connection_; }

  // Clears the statement text and sets it to this one line; discards any held result.
  void SetSql(std::string text);

  const std::string& sql() const { return sql_; }

  // Runs the statement, which returns no rows; returns the affected-row count.
  uint64_t ExecSQL();
  // Runs the statement and stands on the first row of its stored result.
  void Open();
  // Stands on the first row of `result`, which `sql` gave elsewhere (in a batch), as if
  // Open() had run it.
  void Hold(std::string sql, Result result);

  bool IsOpen() const { return open_; }

  bool Eof() const { return !open_ || result_.Eof(); }

  void Next() { result_.Next(); }

  std::size_t RecordCount() const { return result_.RowCount(); }

  const Result& result() const { return result_; }

  // The column of the current row, found without regard to letter case. Throws
  // db::Error("<name>: Field 'X' not found") when the result lacks it.
  Field FieldByName(std::string_view field_name) const;

 private:
  Connection* connection_;
  std::string name_;
  std::string sql_;
  Result result_;
  bool open_ = false;
};

// Exposed for tests: the readers' parsing of a value's text.
std::optional<int32_t> ParseInteger(std::string_view text);
std::optional<int64_t> ParseCurrency(std::string_view text);
std::optional<bool> ParseBoolean(std::string_view text);

// The whole number `sql` gives in the first column of its first row (a COUNT or a SUM);
// 0 when it gives no row or NULL. Throws db::Error when the value is no whole number.
uint64_t Count(Connection& connection, const std::string& sql);

// The text `sql` gives in the first column of its first row; "" when it gives no row or
// NULL.
std::string Scalar(Connection& connection, const std::string& sql);

}  // namespace db
