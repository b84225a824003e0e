// The record inserts a store keeps back on a borrowed connection and sends in few statements.
#include "recstore/insert_queue.h"

#include <utility>

#include "db/bulk_insert.h"
#include "db/connection.h"
#include "db/error.h"
#include "db/multi_row_insert.h"
#include "db/sql_text.h"
#include "recstore/file_table.h"

namespace recstore {

namespace {

// Inserts sent per round trip (in one statement per file). A round trip costs far more than
// a record; past a few hundred rows a longer statement saves nothing measurable.
constexpr std::size_t kQueueLimit = 1000;
// The longest row of an insert, with its parentheses: "(" X'key' ", " X'record' ")".
constexpr std::size_t kLongestRow =
    1 + (3 + 2 * kKeyLength) + 2 + (3 + 2 * std::size_t{kMaxRecordLength}) + 1;
// The savepoint of a row-by-row resend.
constexpr const char* kSavepoint = "recstore_queue";

// The length of RowValues(key, record), without making it.
std::size_t RowBytes(std::string_view key, std::string_view record) {
  return (3 + 2 * key.size()) + 2 + (3 + 2 * record.size());
}

}  // namespace

bool InsertQueue::Holds(const std::string& table, std::string_view key) const {
  return keys_.count(std::make_pair(table, std::string(key))) != 0;
}

bool InsertQueue::Add(const std::string& table, std::string_view key, std::string_view record,
                      db::Connection& connection) {
  if (statement_bytes_ == 0) {
    statement_bytes_ = db::MultiRowLimit(connection);
  }
  queued_bytes_ += RowBytes(key, record) + db::kRowSeparator.size();
  queue_.push_back({table, std::string(key), std::string(record)});
  keys_.emplace(table, std::string(key));
  // Sent while the next record, however long, still fits the statement.
  return queue_.size() >= kQueueLimit || queued_bytes_ + kLongestRow > statement_bytes_;
}

// Sends the run of inserts into one table that starts at `first`, within the statement
// bound, and moves `first` past it.
void InsertQueue::SendRun(db::Connection& connection, bool arrays, std::size_t& first,
                          const std::vector<Entry>& queue) const {
  const std::string& table = queue[first].table;
  db::MultiRowInsert text(InsertHead(table) + "(", ")", statement_bytes_, kSavepoint);
  db::BulkInsert bulk(
      InsertHead(table) + "(",
      {db::InsertValue{db::ParamType::kBinary}, db::InsertValue{db::ParamType::kBinary}}, ")",
      statement_bytes_, kSavepoint);
  std::size_t last = first;
  for (; last < queue.size() && queue[last].table == table; ++last) {
    const Entry& insert = queue[last];
    if (arrays) {
      if (!bulk.Fits(insert.key.size() + insert.record.size())) {
        break;
      }
      bulk.Add({insert.key, insert.record});
    } else {
      const std::string values = RowValues(insert.key, insert.record);
      if (!text.Fits(values)) {
        break;
      }
      text.Add(values);
    }
  }
  try {
    if (arrays) {
      bulk.Send(connection);
    } else {
      text.Send(connection);
    }
  } catch (const db::RowError& error) {
    const Entry& failed = queue[first + error.row()];
    throw db::Error("the record with key " + db::HexLiteral(failed.key) + " was not written to " +
                        failed.table + ": " + error.what(),
                    error.code(), error.sqlstate(), error.statement());
  }
  first = last;
}

// The queue is emptied before the send: a failure loses every record of it that the server
// had not applied, which is remembered (lost_) so that a caller who saw status 0 for those
// inserts can find out.
void InsertQueue::Send(db::Connection& connection) {
  if (queue_.empty()) {
    return;
  }
  const std::vector<Entry> queue = std::exchange(queue_, {});
  keys_.clear();
  queued_bytes_ = 0;
  try {
    // Where the server takes them, the records go as arrays of bytes: nothing to write out
    // in hex on this side, nothing to parse on the server's.
    const bool arrays = queue.size() > 1 && connection.TakesBulkInserts();
    for (std::size_t first = 0; first < queue.size();) {
      SendRun(connection, arrays, first, queue);
    }
  } catch (const db::Error& error) {
    lost_ = true;
    throw db::Error("queued record inserts were not all written: " + std::string(error.what()),
                    error.code(), error.sqlstate(), error.statement());
  } catch (...) {
    lost_ = true;
    throw;
  }
}

}  // namespace recstore
