// The one exception type of the database layer.
#pragma once

#include <stdexcept>
#include <string>

namespace db {

// Thrown by every failing database operation. what() is the server's (or the client
// library's) message text unchanged, or for a field access the text the caller sees
// ("FDQuery1: Field 'X' not found"). code() is mysql_errno() (0 when the failure did not
// come from the server), sqlstate() the SQLSTATE and statement() the text that failed.
class Error : public std::runtime_error {
 public:
  Error(const std::string& message, unsigned int code = 0, std::string sqlstate = "",
        std::string statement = "")
      : std::runtime_error(message),
        code_(code),
        sqlstate_(std::move(sqlstate)),
        statement_(std::move(statement)) {}

  unsigned int code() const { return code_; }

  const std::string& sqlstate() const { return sqlstate_; }

  const std::string& statement() const { return statement_; }

  // What the failure means, for callers that branch on it. These are the only rules on
  // server and client error numbers in the program; the numbers stay in db/error.cpp.

  // The session is gone or was never reached: the server or the network went away (also
  // when a read or write timed out), the server ended the session (KILL, its idle timeout),
  // or no connection could be made. A transaction it had open is lost, and whether a
  // statement in flight (a COMMIT) took effect cannot be known. The connection closes
  // itself on such a failure, so its next statement connects afresh.
  bool IsConnectionLost() const;
  // The server lost the session between statements ("gone away"): the failed statement
  // never reached it, so sending it again cannot apply it twice.
  bool IsGoneBeforeSending() const;
  // The server rolled back the whole transaction to break a deadlock; a cluster refuses a
  // write that conflicts with another node's (a failed certification) the same way.
  bool IsDeadlock() const;
  // A lock stayed held by another session for longer than the server waits.
  bool IsLockWaitTimeout() const;
  // A row with the same unique or primary key exists.
  bool IsDuplicateKey() const;
  // The table does not exist.
  bool IsNoSuchTable() const;
  // The user may not do this to the database or the table.
  bool IsAccessDenied() const;
  // The server does not know the system variable (a build without the feature).
  bool IsUnknownVariable() const;
  // The server does not support the statement in its present set-up.
  bool IsNotSupported() const;

 private:
  unsigned int code_;
  std::string sqlstate_;
  std::string statement_;
};

}  // namespace db
