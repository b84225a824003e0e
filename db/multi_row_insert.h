// Rows inserted many to a statement, within the size the server takes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "db/error.h"

namespace db {

class Connection;

// The largest bound MultiRowLimit gives: past a few hundred rows a longer statement saves
// nothing measurable, and the text is held on the client while it is built.
inline constexpr std::size_t kMaxMultiRowBytes = std::size_t{2} << 20;

// The session's max_allowed_packet on `connection`: the server takes a packet (a statement
// and the byte that says it is one) only when it is shorter than this. Asked once per
// session (see kMaxPacketStatement); throws db::Error.
std::size_t MaxAllowedPacket(Connection& connection);

// A bound for the statements of a MultiRowInsert sent on `connection`: half the server's
// max_allowed_packet (a statement must fit in one packet; half leaves room to spare), at
// most kMaxMultiRowBytes. Runs one query; throws db::Error.
std::size_t MultiRowLimit(Connection& connection);
// What MultiRowLimit asks, once per session (Connection::SessionConstant).
inline constexpr const char* kMaxPacketStatement = "SELECT @@max_allowed_packet";

// Thrown by MultiRowInsert::Send when one row's own single-row statement failed: the
// failure as the server gave it, and which of the rows added since the last send it was.
class RowError : public Error {
 public:
  RowError(const Error& error, std::size_t row) : Error(error), row_(row) {}

  std::size_t row() const { return row_; }

 private:
  std::size_t row_;
};

// What goes between two rows of a multi-row insert: the end of one row's values and the
// start of the next, as the head and the tail frame the first and the last.
inline constexpr std::string_view kRowSeparator = "), (";

// Rows joined into one statement within a bound, for every program part that writes
// multi-row inserts (the copy, the record store's queue, the backup file and the restore).
// A row is given as its value list, the text between the parentheses; the statement is head,
// the rows' value lists joined by "), (", then tail, where head ends with the first row's
// opening "(" and tail starts with the last row's closing ")". So the single-row statement of
// a row is head + values + tail, and each row's values are exactly those of that statement.
class RowJoiner {
 public:
  // `bound` is the longest statement in bytes: a row that would take the statement past it
  // does not fit.
  RowJoiner(std::string head, std::string tail, std::size_t bound);

  const std::string& head() const { return head_; }

  // The rows joined since the last Clear or Take.
  std::size_t size() const { return rows_.size(); }

  // Whether a row with these values keeps the statement within the bound. An empty
  // statement takes any row: a row longer than the bound goes alone.
  bool Fits(std::string_view values) const;

  void Add(std::string_view values);

  // The statement of the rows joined; "" when there are none.
  std::string Statement() const;

  // The single-row statement of the row at `index` (below size()).
  std::string SingleRow(std::size_t index) const;

  // Forgets the rows.
  void Clear() { rows_.clear(); }

  // The statement, and the rows forgotten.
  std::string Take();

 private:
  struct Span {
    std::size_t offset;
    std::size_t length;
  };

  std::string head_;
  std::string tail_;
  std::size_t bound_;
  std::string text_;  // head and the rows' values so far, without the tail
  std::vector<Span> rows_;
};

// One multi-row insert being gathered and sent, its rows joined by a RowJoiner.
//
// When a multi-row statement fails, the server has rolled it back whole; its rows are sent
// again one by one inside a savepoint, so those before the culprit go in and the culprit
// fails with its own statement, as if the rows had been sent one by one from the start
// (when all go in, whatever failed the statement has passed). A deadlock, a lock wait
// timeout or a lost connection is rethrown as it came: the first ends the transaction, so
// rows sent now would land outside it; the second would only be waited for again, row by
// row. Meant for tables that roll back a failed statement whole: on one that cannot, the
// rows a failed statement wrote before its failing row would be written twice.
class MultiRowInsert {
 public:
  // `bound` is the longest statement in bytes (see MultiRowLimit); `savepoint` names the
  // savepoint of the row-by-row resend.
  MultiRowInsert(std::string head, std::string tail, std::size_t bound, std::string savepoint);

  std::size_t size() const { return joiner_.size(); }

  const std::string& head() const { return joiner_.head(); }

  // Whether a row with these values keeps the statement within the bound (RowJoiner::Fits).
  bool Fits(std::string_view values) const { return joiner_.Fits(values); }

  void Add(std::string_view values) { joiner_.Add(values); }

  // Takes the answer of a statement started before (FinishStarted), then sends the rows added
  // since the last send as one statement (a lone row as its single-row statement) and starts
  // afresh; returns how many rows went in, both counted. Throws RowError when a
  // row's own statement failed (a lone row's, or one of the resend), db::Error otherwise.
  // The rows are forgotten either way.
  std::size_t Send(Connection& connection);

  // Sends the rows added since the last send as one statement without waiting for the
  // server (Connection::Start), and starts gathering afresh, so the next rows are made while
  // the server inserts these. Takes the answer of a statement started before first, and
  // returns how many of its rows went in (see FinishStarted).
  std::size_t Start(Connection& connection);
  // The answer of the statement Start sent: how many rows went in (0 when none is under way).
  // A failure is handled as Send handles it, and the rows gathered since are kept.
  std::size_t FinishStarted(Connection& connection);

  // For a caller that sends the statement itself, in a request with others: the statement
  // of the rows added since the last send, kept until Sent or Failed says how it went.
  std::string Statement() const { return joiner_.Statement(); }

  // It went in: starts afresh; returns how many rows went in.
  std::size_t Sent();
  // It failed with `failure`, rolled back whole: does what Send does then (the rows again
  // one by one inside a savepoint) and throws as Send throws; returns, with the count, only
  // when every row went in this time. The rows are forgotten either way.
  std::size_t Failed(Connection& connection, const Error& failure);

 private:
  void SendOneByOne(Connection& connection, const Error& failure);
  void ReleaseSavepoint(Connection& connection) const;

  const std::string savepoint_;
  RowJoiner joiner_;
  // The statement Start sent, its answer not yet taken.
  RowJoiner started_;
};

}  // namespace db
