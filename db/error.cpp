// What server and client error numbers mean to the program: the one place that knows them.
#include "db/error.h"

#include <errmsg.h>
#include <mysqld_error.h>

namespace db {

namespace {

// Sent by MySQL servers that end a session idle for longer than they wait; MariaDB's
// headers do not name it.
constexpr unsigned int kClientInteractionTimeout = 4031;

}  // namespace

bool Error::IsConnectionLost() const {
  switch (code_) {
    case CR_SOCKET_CREATE_ERROR:
    case CR_CONNECTION_ERROR:
    case CR_CONN_HOST_ERROR:
    case CR_IPSOCK_ERROR:
    case CR_UNKNOWN_HOST:
    case CR_SERVER_GONE_ERROR:
    case CR_SERVER_HANDSHAKE_ERR:
    case CR_SERVER_LOST:
    case CR_SSL_CONNECTION_ERROR:
    case CR_SERVER_LOST_EXTENDED:
    case ER_CONNECTION_KILLED:
    case kClientInteractionTimeout:
      return true;
    default:
      return false;
  }
}

bool Error::IsGoneBeforeSending() const {
  return code_ == CR_SERVER_GONE_ERROR;
}

bool Error::IsDeadlock() const {
  return code_ == ER_LOCK_DEADLOCK;
}

bool Error::IsLockWaitTimeout() const {
  return code_ == ER_LOCK_WAIT_TIMEOUT;
}

bool Error::IsDuplicateKey() const {
  return code_ == ER_DUP_ENTRY || code_ == ER_DUP_ENTRY_WITH_KEY_NAME;
}

bool Error::IsNoSuchTable() const {
  return code_ == ER_NO_SUCH_TABLE;
}

bool Error::IsAccessDenied() const {
  return code_ == ER_DBACCESS_DENIED_ERROR || code_ == ER_TABLEACCESS_DENIED_ERROR;
}

bool Error::IsUnknownVariable() const {
  return code_ == ER_UNKNOWN_SYSTEM_VARIABLE;
}

bool Error::IsNotSupported() const {
  return code_ == ER_NOT_SUPPORTED_YET;
}

}  // namespace db
