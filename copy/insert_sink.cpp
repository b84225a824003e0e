// Where a table copy's rows go: one object for each way of sending the inserts.
#include "copy/insert_sink.h"

#include "db/connection.h"
#include "db/error.h"
#include "db/query.h"

namespace copy {

namespace {

constexpr const char* kSavepoint = "kelvane_rows";

}  // namespace

InsertCount::InsertCount(uint64_t selected, std::function<void(uint64_t, uint64_t)> progress)
    : selected_(selected), progress_(std::move(progress)) {}

void InsertCount::Add(uint64_t rows) {
  inserted_ += rows;
  Report(false);
}

void InsertCount::Last() {
  Report(true);
}

void InsertCount::Report(bool last) {
  const bool due = inserted_ >= next_report_ || (last && last_reported_ != inserted_);
  if (progress_ && due) {
    progress_(inserted_, selected_);
    last_reported_ = inserted_;
    next_report_ = (inserted_ / kProgressEvery + 1) * kProgressEvery;
  }
}

void CarriedInsert::Failed(db::Connection& connection, const db::Error& failure) {
  try {
    insert_->Failed(connection, failure);
  } catch (...) {
    insert_.reset();
    if (failed_) {
      failed_();
    }
    throw;
  }
  insert_.reset();
}

void CarriedInsert::Send(db::Connection& connection) {
  if (insert_.has_value()) {
    insert_->Send(connection);
    insert_.reset();
  }
}

void InsertSink::Begin(const TableDesc& table, const std::string& to_code, const db::Query& rows,
                       InsertCount& count) {
  table_ = &table;
  to_code_ = to_code;
  places_ = PlacesOf(table, rows);
  count_ = &count;
  rows_read_ = 0;
}

void InsertSink::Add(const db::Query& rows) {
  ++rows_read_;
  Take(rows);
}

void StepByStepSink::Take(const db::Query& rows) {
  insert_query_.SetSql(BuildInsert(table(), rows, to_code(), &places()));
  insert_query_.ExecSQL();
  count().Add(1);
}

void MultiRowSink::Begin(const TableDesc& table, const std::string& to_code, const db::Query& rows,
                         InsertCount& count) {
  InsertSink::Begin(table, to_code, rows, count);
  statement_.emplace(table.insert_text, table.closing_text, bound_, kSavepoint);
  started_rows_ = 0;
  // Only a batching request carries the statement: otherwise it would go alone anyway.
  leave_last_ = carried_ != nullptr && connection_.BatchesInOneRequest();
}

void MultiRowSink::Take(const db::Query& rows) {
  std::string values;
  try {
    values = BuildValues(table(), rows, to_code(), &places());
  } catch (...) {
    Flush();
    throw;
  }
  if (!statement_->Fits(values)) {
    Start();
  }
  statement_->Add(values);
  // Statements end where progress is due, so it comes as in single-row mode; the table's
  // last statement, to be carried, waits for End.
  const uint64_t gathered = count().inserted() + started_rows_ + statement_->size();
  if (gathered % InsertCount::kProgressEvery == 0 &&
      !(leave_last_ && rows_read() == count().selected())) {
    Start();
  }
}

void MultiRowSink::End() {
  if (leave_last_ && statement_->size() > 0) {
    Finish();
    // Counted now: should it fail, the run fails with it.
    count().Add(statement_->size());
    carried_->Hold(std::move(*statement_));
    statement_.reset();
  } else {
    Flush();
  }
}

void MultiRowSink::Start() {
  const uint64_t rows = statement_->size();
  count().Add(statement_->Start(connection_));
  started_rows_ = rows;
}

void MultiRowSink::Finish() {
  const std::size_t answered = statement_->FinishStarted(connection_);
  started_rows_ = 0;
  count().Add(answered);
}

void MultiRowSink::Flush() {
  Finish();
  count().Add(statement_->Send(connection_));
}

void BulkSink::Begin(const TableDesc& table, const std::string& to_code, const db::Query& rows,
                     InsertCount& count) {
  MultiRowSink::Begin(table, to_code, rows, count);
  bulk_.reset();
  bulk_until_ = 0;
  const uint64_t selected = count.selected();
  if (selected > InsertCount::kProgressEvery && connection().TakesBulkInserts()) {
    bulk_.emplace(table.insert_text, InsertValues(table, to_code), table.closing_text, bound(),
                  kSavepoint);
    // A lone last row rides along with the next request as text.
    bulk_until_ = selected % InsertCount::kProgressEvery == 1 ? selected - 1 : selected;
  }
}

void BulkSink::Take(const db::Query& rows) {
  if (rows_read() > bulk_until_) {
    MultiRowSink::Take(rows);
    return;
  }
  try {
    BuildParams(table(), rows, places(), params_);
  } catch (...) {
    SendBulk();
    throw;
  }
  std::size_t bytes = 0;
  for (const std::string& param : params_) {
    bytes += param.size();
  }
  if (!bulk_->Fits(bytes)) {
    SendBulk();
  }
  bulk_->Add(params_);
  // Ends where progress is due, as a multi-row statement does, and with the last row.
  if ((count().inserted() + bulk_->size()) % InsertCount::kProgressEvery == 0 ||
      rows_read() == bulk_until_) {
    SendBulk();
  }
}

void BulkSink::SendBulk() {
  count().Add(bulk_->Send(connection()));
}

}  // namespace copy
