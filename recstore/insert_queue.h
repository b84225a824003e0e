// The record inserts a store keeps back on a borrowed connection and sends in few statements.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace db {
class Connection;
}  // namespace db

namespace recstore {

// Inserts waiting to be sent, in order, with what they will take of one statement. The
// rules of when and how they go are recstore::UseConnection's (recstore/recstore.h).
class InsertQueue {
 public:
  InsertQueue() = default;
  InsertQueue(const InsertQueue&) = delete;
  InsertQueue& operator=(const InsertQueue&) = delete;

  bool empty() const { return queue_.empty(); }

  // Whether an insert with key 0 `key` is queued for `table`.
  bool Holds(const std::string& table, std::string_view key) const;

  // Queues the insert of `record` (key 0 `key`) into `table`. The first insert after
  // ForgetStatementBound reads the statement bound from `connection`. True when the queue
  // must be sent now: it holds its limit of records, or a next record as long as a record
  // may be could not join the statement. Throws db::Error when the bound cannot be read.
  bool Add(const std::string& table, std::string_view key, std::string_view record,
           db::Connection& connection);

  // Sends every queued insert on `connection` and empties the queue, also when the send
  // fails: then the records the server did not apply are lost, lost() becomes true and
  // db::Error is thrown, naming the failing record's key and table when one record's own
  // insert failed.
  void Send(db::Connection& connection);

  // True when a send failed since the last ClearLost.
  bool lost() const { return lost_; }

  void ClearLost() { lost_ = false; }

  // The next Add reads the bound again: for a connection newly lent.
  void ForgetStatementBound() { statement_bytes_ = 0; }

 private:
  struct Entry {
    std::string table;
    std::string key;
    std::string record;
  };

  void SendRun(db::Connection& connection, bool arrays, std::size_t& first,
               const std::vector<Entry>& queue) const;

  std::vector<Entry> queue_;
  std::set<std::pair<std::string, std::string>> keys_;  // (table, key 0) of every entry
  std::size_t queued_bytes_ = 0;  // length of the entries' rows as text, with separators
  // Bound of one statement on the connection, read with the first Add after
  // ForgetStatementBound (0 until then).
  std::size_t statement_bytes_ = 0;
  bool lost_ = false;
};

}  // namespace recstore
