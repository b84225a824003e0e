// Rows inserted many to a prepared statement, their values as arrays.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"

namespace db {

// One value of an insert's row: a parameter, or a fixed text every row writes the same.
struct InsertValue {
  std::optional<ParamType> param;  // nullopt for fixed text
  std::string fixed = {};
};

// The rows of one insert, sent as one prepared statement with an array of values a column
// (Connection::ExecuteBulk) where the server parses nothing of the rows. Each row's
// single-row statement is head + its values as literals joined by ", " + tail, exactly as a
// statement text would write them: text quoted and escaped (QuotedText), numbers as given,
// bytes as hex literals, fixed texts as they stand.
//
// A failure is handled as MultiRowInsert handles a failed statement: the server rolled the
// bulk statement back whole, so the rows are sent again one by one as single-row statements
// inside a savepoint, and the culprit fails with its own statement (RowError); a deadlock,
// lock wait timeout or lost connection is rethrown as it came.
class BulkInsert {
 public:
  // `bound` limits what the rows' values take in bytes (see MultiRowLimit), so the request
  // fits in one packet; `savepoint` names the savepoint of the row-by-row resend.
  BulkInsert(std::string head, std::vector<InsertValue> values, std::string tail, std::size_t bound,
             std::string savepoint);

  std::size_t size() const { return rows_; }

  // Whether a row whose parameter values take `bytes` keeps the rows within the bound. An
  // empty insert takes any row.
  bool Fits(std::size_t bytes) const;

  // One row's parameter values, in the order of the parameters.
  void Add(const std::vector<std::string>& values);
  void Add(std::initializer_list<std::string_view> values);

  // Sends the rows added since the last send (a lone row as its single-row statement) and
  // starts afresh; returns how many rows went in. Throws RowError when a row's own statement
  // failed, db::Error otherwise. The rows are forgotten either way.
  std::size_t Send(Connection& connection);

  // The statement that is prepared: head + "?" for each parameter, the fixed texts + tail.
  const std::string& statement() const { return statement_; }

  // The value list of a row as its single-row statement holds it.
  std::string RowValues(std::size_t row) const;

 private:
  template <typename Values>
  void AddRow(const Values& values);
  std::string_view Value(std::size_t row, std::size_t param) const;
  void Clear();

  const std::string head_;
  const std::vector<InsertValue> values_;
  const std::string tail_;
  const std::size_t bound_;
  const std::string savepoint_;
  std::string statement_;
  std::size_t params_ = 0;
  // Every value of every row, one after the other, and where each starts.
  std::string data_;
  std::vector<std::size_t> starts_;
  std::size_t rows_ = 0;
};

}  // namespace db
