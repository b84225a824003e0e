// Where a table copy's rows go: one object for each way of sending the inserts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "copy/row_values.h"
#include "copy/table_desc.h"
#include "db/bulk_insert.h"
#include "db/multi_row_insert.h"

namespace db {
class Connection;
class Error;
class Query;
}  // namespace db

namespace copy {

// How many rows of a table went in, and the progress they make: reported when a thousand
// more went in since the last report, and once more after the last row unless that count
// was just reported. A sink ends its statements at every thousandth row, so the reports
// come as in single-row mode whichever way the rows travel.
class InsertCount {
 public:
  static constexpr uint64_t kProgressEvery = 1000;

  // `progress` (inserted so far, selected) may be empty.
  InsertCount(uint64_t selected, std::function<void(uint64_t, uint64_t)> progress);

  uint64_t inserted() const { return inserted_; }

  uint64_t selected() const { return selected_; }

  // `rows` more went in.
  void Add(uint64_t rows);
  // After the table's last row.
  void Last();

 private:
  void Report(bool last);

  const uint64_t selected_;
  const std::function<void(uint64_t, uint64_t)> progress_;
  uint64_t inserted_ = 0;
  uint64_t next_report_ = kProgressEvery;
  std::optional<uint64_t> last_reported_;
};

// A table's last multi-row insert held back to lead the next table's first request (one
// round trip less a table in a run inside one transaction). Its rows are counted by the
// table they came from, and so is its failure: `failed` is called before the error goes on
// (the caller may show that table's status again). The caller sends what is left after the
// last table.
class CarriedInsert {
 public:
  explicit CarriedInsert(std::function<void()> failed = nullptr) : failed_(std::move(failed)) {}

  bool empty() const { return !insert_.has_value(); }

  void Hold(db::MultiRowInsert&& insert) { insert_.emplace(std::move(insert)); }

  // The statement to lead the request; only when not empty().
  std::string Statement() const { return insert_->Statement(); }

  // It went in with the request.
  void Sent() { insert_.reset(); }

  // It failed in the request with `failure` (the server rolled it back whole): its rows go
  // again one by one as MultiRowInsert::Failed sends them. Returns when every row went in,
  // and nothing else of the request ran, so the request is to be sent again; otherwise
  // calls `failed` and throws the row's error. Empty afterwards either way.
  void Failed(db::Connection& connection, const db::Error& failure);

  // Sends it on its own (MultiRowInsert::Send, which throws RowError), if there is one.
  void Send(db::Connection& connection);

 private:
  std::optional<db::MultiRowInsert> insert_;
  std::function<void()> failed_;
};

// One table's rows on their way to the destination. CopyTable calls Begin once the select
// has run, Add for each of its rows, then End; a sink serves table after table. Throws
// db::Error at the first failing statement, or when a column cannot be read, once the rows
// read before that one went in (a failed copy leaves the same rows whichever way its
// inserts were sent).
class InsertSink {
 public:
  virtual ~InsertSink() = default;

  // Where this sink leaves a table's last insert for the next table's first request (a run
  // inside one transaction); nullptr when it leaves none. Only with one do a table's clears,
  // select and ap first read go as one request, and only on a connection that batches
  // (db::MultiStatements); otherwise they go one by one, after what it holds is sent.
  virtual CarriedInsert* carried() { return nullptr; }

  // The rows of `table` that follow are written for `to_code`; `rows` is the select,
  // standing on its first row; what goes in is counted on `count`. The three stay valid
  // until End.
  virtual void Begin(const TableDesc& table, const std::string& to_code, const db::Query& rows,
                     InsertCount& count);

  // The current row of the select.
  void Add(const db::Query& rows);

  // After the last row: sends what is left, or leaves it to be carried.
  virtual void End() = 0;

 protected:
  // The current row of the select, counted in rows_read() already.
  virtual void Take(const db::Query& rows) = 0;

  const TableDesc& table() const { return *table_; }

  const std::string& to_code() const { return to_code_; }

  const ColumnPlaces& places() const { return places_; }

  InsertCount& count() { return *count_; }

  uint64_t rows_read() const { return rows_read_; }

 private:
  const TableDesc* table_ = nullptr;
  std::string to_code_;
  ColumnPlaces places_;
  InsertCount* count_ = nullptr;
  uint64_t rows_read_ = 0;
};

// Each row as its own single-row statement on the insert query (the window's AddQuery),
// one round trip each: the original stream, byte for byte.
class StepByStepSink : public InsertSink {
 public:
  explicit StepByStepSink(db::Query& insert_query) : insert_query_(insert_query) {}

  void End() override {}

 protected:
  void Take(const db::Query& rows) override;

 private:
  db::Query& insert_query_;
};

// The rows in multi-row statements (db::MultiRowInsert) of at most `bound` bytes, between the
// table's insert_text and closing_text, each row's values exactly as its single-row statement
// holds them. A statement ends before the row that would take it past the bound (a row longer
// than the bound goes alone) and after every 1000th row of the table; it goes without waiting
// for the server (the next rows are made while it inserts these), and its answer is taken
// before anything else is sent. A failing statement's rows are sent again one by one inside a
// savepoint, so the error names the failing row's own single-row statement, and the rows
// before it stay in. Meant for a run inside one transaction on tables that roll back a failed
// statement whole. With `carried`, and when the connection batches (db::MultiStatements), a
// table's last statement is left there for the next table's first request.
class MultiRowSink : public InsertSink {
 public:
  MultiRowSink(db::Connection& connection, std::size_t bound, CarriedInsert* carried = nullptr)
      : connection_(connection), bound_(bound), carried_(carried) {}

  CarriedInsert* carried() override { return carried_; }

  void Begin(const TableDesc& table, const std::string& to_code, const db::Query& rows,
             InsertCount& count) override;
  void End() override;

 protected:
  void Take(const db::Query& rows) override;

  db::Connection& connection() { return connection_; }

  std::size_t bound() const { return bound_; }

 private:
  void Start();
  void Finish();
  void Flush();

  db::Connection& connection_;
  const std::size_t bound_;
  CarriedInsert* const carried_;
  std::optional<db::MultiRowInsert> statement_;
  uint64_t started_rows_ = 0;  // of the statement under way, not yet answered
  bool leave_last_ = false;
};

// As MultiRowSink, but a table of more rows than one statement takes goes, on a server that
// takes them (Connection::TakesBulkInserts), as prepared inserts with the rows' values as
// arrays (db::BulkInsert), which the server inserts without parsing them: the same rows to a
// statement, a failure named by the row's single-row statement as there. A table of fewer
// rows stays text, which a batching run carries into the next request (a bulk insert is a
// round trip of its own, worth it only for many rows), and so does a lone last row.
class BulkSink : public MultiRowSink {
 public:
  using MultiRowSink::MultiRowSink;

  void Begin(const TableDesc& table, const std::string& to_code, const db::Query& rows,
             InsertCount& count) override;

 protected:
  void Take(const db::Query& rows) override;

 private:
  void SendBulk();

  std::optional<db::BulkInsert> bulk_;
  uint64_t bulk_until_ = 0;  // rows read up to this one go in bulk
  std::vector<std::string> params_;
};

}  // namespace copy
