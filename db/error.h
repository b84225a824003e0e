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

  // True for the client errors that mean the server went away or could not be reached.
  bool IsConnectionLost() const { return code_ >= 2000 && code_ < 2100; }

 private:
  unsigned int code_;
  std::string sqlstate_;
  std::string statement_;
};

}  // namespace db
