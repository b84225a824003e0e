// Rows inserted many to a statement, within the size the server takes.
#include "db/multi_row_insert.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <utility>

#include "db/connection.h"
#include "db/query.h"

namespace db {

namespace {

// Failures after which sending the rows again one by one would be wrong or useless.
bool LeavesNothingToResend(const Error& error) {
  return error.IsConnectionLost() || error.IsDeadlock() || error.IsLockWaitTimeout();
}

}  // namespace

std::size_t MaxAllowedPacket(Connection& connection) {
  const std::string text = connection.SessionConstant(kMaxPacketStatement);
  uint64_t packet = 0;
  if (std::from_chars(text.data(), text.data() + text.size(), packet).ec != std::errc() ||
      packet == 0) {
    throw Error("The server's max_allowed_packet cannot be read", 0, "", kMaxPacketStatement);
  }
  return static_cast<std::size_t>(packet);
}

std::size_t MultiRowLimit(Connection& connection) {
  return std::min(MaxAllowedPacket(connection) / 2, kMaxMultiRowBytes);
}

RowJoiner::RowJoiner(std::string head, std::string tail, std::size_t bound)
    : head_(std::move(head)), tail_(std::move(tail)), bound_(bound) {}

bool RowJoiner::Fits(std::string_view values) const {
  return rows_.empty() ||
         text_.size() + kRowSeparator.size() + values.size() + tail_.size() <= bound_;
}

void RowJoiner::Add(std::string_view values) {
  if (rows_.empty()) {
    text_ = head_;
  } else {
    text_ += kRowSeparator;
  }
  rows_.push_back({text_.size(), values.size()});
  text_ += values;
}

std::string RowJoiner::Statement() const {
  return rows_.empty() ? std::string() : text_ + tail_;
}

std::string RowJoiner::SingleRow(std::size_t index) const {
  std::string text = head_;
  text.append(text_, rows_[index].offset, rows_[index].length);
  text += tail_;
  return text;
}

std::string RowJoiner::Take() {
  std::string statement = Statement();
  rows_.clear();
  return statement;
}

MultiRowInsert::MultiRowInsert(std::string head, std::string tail, std::size_t bound,
                               std::string savepoint)
    : savepoint_(std::move(savepoint)), joiner_(head, tail, bound), started_(head, tail, bound) {}

std::size_t MultiRowInsert::Send(Connection& connection) {
  const std::size_t started = FinishStarted(connection);
  if (joiner_.size() == 0) {
    return started;
  }
  try {
    connection.Execute(Statement());
  } catch (const Error& error) {
    return started + Failed(connection, error);
  }
  return started + Sent();
}

std::size_t MultiRowInsert::Start(Connection& connection) {
  const std::size_t finished = FinishStarted(connection);
  if (joiner_.size() == 0) {
    return finished;
  }
  std::swap(joiner_, started_);
  joiner_.Clear();
  connection.Start(started_.Statement());
  return finished;
}

std::size_t MultiRowInsert::FinishStarted(Connection& connection) {
  if (started_.size() == 0) {
    return 0;
  }
  try {
    connection.FinishStarted();
  } catch (const Error& error) {
    // Handled as a failed Send of those rows; the rows gathered since wait meanwhile.
    std::swap(joiner_, started_);
    const auto put_back = [&] {
      std::swap(joiner_, started_);
      started_.Clear();
    };
    std::size_t count = 0;
    try {
      count = Failed(connection, error);
    } catch (...) {
      put_back();
      throw;
    }
    put_back();
    return count;
  }
  const std::size_t count = started_.size();
  started_.Clear();
  return count;
}

std::size_t MultiRowInsert::Sent() {
  const std::size_t count = joiner_.size();
  joiner_.Clear();
  return count;
}

std::size_t MultiRowInsert::Failed(Connection& connection, const Error& failure) {
  const std::size_t count = joiner_.size();
  try {
    // A lone row's statement is its single-row statement already.
    if (count == 1) {
      throw RowError(failure, 0);
    }
    if (LeavesNothingToResend(failure)) {
      throw failure;
    }
    SendOneByOne(connection, failure);
  } catch (...) {
    joiner_.Clear();
    throw;
  }
  joiner_.Clear();
  return count;
}

void MultiRowInsert::SendOneByOne(Connection& connection, const Error& failure) {
  try {
    connection.Execute("SAVEPOINT " + savepoint_);
  } catch (const Error&) {
    throw failure;
  }
  for (std::size_t i = 0; i < joiner_.size(); ++i) {
    try {
      connection.Execute(joiner_.SingleRow(i));
    } catch (const Error& error) {
      if (!LeavesNothingToResend(error)) {
        ReleaseSavepoint(connection);
      }
      throw RowError(error, i);
    }
  }
  ReleaseSavepoint(connection);
}

// Keeps the rows sent since the savepoint. Outside a transaction the savepoint went with its
// own statement, which is no failure; a lost connection is.
void MultiRowInsert::ReleaseSavepoint(Connection& connection) const {
  try {
    connection.Execute("RELEASE SAVEPOINT " + savepoint_);
  } catch (const Error& error) {
    if (error.IsConnectionLost()) {
      throw;
    }
  }
}

}  // namespace db
