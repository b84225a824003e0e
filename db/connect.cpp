// Opening a session: the program's own options, the client option files, and the checks.
#include "db/connect.h"

#include <errmsg.h>
#include <mysql.h>

#include <string>
#include <string_view>
#include <tuple>

#include "db/connection.h"
#include "db/error.h"
#include "db/plugin_folder.h"

namespace db {

namespace {

// Kelvane's own group of the option files, read after the stock clients' groups.
constexpr char kOptionGroup[] = "kelvane";

std::string CannotConnect(const ConnectionSettings& settings) {
  return "Cannot connect to database '" + settings.database + "' on host '" + settings.host +
         "' as user '" + settings.user + "': ";
}

[[noreturn]] void Refuse(MYSQL* mysql, const std::string& message, unsigned int code,
                         const std::string& sqlstate) {
  mysql_close(mysql);
  throw Error(message, code, sqlstate);
}

// What the handle holds for a text option, the files' value where they gave one ("": none).
std::string TextOption(MYSQL* mysql, mysql_option option) {
  const char* value = nullptr;
  mysql_get_optionv(mysql, option, &value);
  return value != nullptr ? value : "";
}

bool VerifiesServerCertificate(MYSQL* mysql) {
  my_bool verify = 0;
  mysql_get_optionv(mysql, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &verify);
  return verify != 0;
}

// Whether the option files ask for TLS. The library refuses a plain link by itself only for
// verification or a fingerprint; with a CA, certificate, key, revocation list or cipher it
// falls back to one when the server offers no TLS (measured).
bool AsksForTls(MYSQL* mysql) {
  for (mysql_option option : {MYSQL_OPT_SSL_CA, MYSQL_OPT_SSL_CAPATH, MYSQL_OPT_SSL_CERT,
                              MYSQL_OPT_SSL_KEY, MYSQL_OPT_SSL_CRL, MYSQL_OPT_SSL_CRLPATH,
                              MYSQL_OPT_SSL_CIPHER, MARIADB_OPT_SSL_FP, MARIADB_OPT_SSL_FP_LIST}) {
    if (!TextOption(mysql, option).empty()) {
      return true;
    }
  }
  return VerifiesServerCertificate(mysql);
}

// The library's TLS texts say what failed, not what was checked against what.
std::string TlsHint(MYSQL* mysql) {
  if (mysql_errno(mysql) != CR_SSL_CONNECTION_ERROR || !VerifiesServerCertificate(mysql)) {
    return "";
  }
  return " (ssl-verify-server-cert is set in the client option files: the server's certificate "
         "must be signed by the CA in '" +
         TextOption(mysql, MYSQL_OPT_SSL_CA) + "' and name the host; no statement was sent)";
}

// The options the files may still change: the files are read after them, inside
// mysql_real_connect.
void SetOptions(MYSQL* mysql) {
  mysql_optionsv(mysql, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  unsigned int connect_timeout = kConnectTimeoutSeconds;
  unsigned int read_timeout = kReadTimeoutSeconds;
  unsigned int write_timeout = kWriteTimeoutSeconds;
  mysql_optionsv(mysql, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout);
  mysql_optionsv(mysql, MYSQL_OPT_READ_TIMEOUT, &read_timeout);
  mysql_optionsv(mysql, MYSQL_OPT_WRITE_TIMEOUT, &write_timeout);
  // This library's "enforce" asks for TLS whenever the server offers it and falls back to a
  // plain link otherwise (measured); a file's ssl-enforce = 0 turns it off.
  my_bool use_tls = 1;
  mysql_optionsv(mysql, MYSQL_OPT_SSL_ENFORCE, &use_tls);
  if (const std::string plugins = ClientPluginFolder(); !plugins.empty()) {
    mysql_optionsv(mysql, MYSQL_PLUGIN_DIR, plugins.c_str());
  }
  mysql_optionsv(mysql, MYSQL_READ_DEFAULT_GROUP, kOptionGroup);
}

// What the files may have set that the program's sessions cannot have, refused or put back
// before the caller sends anything.
void Settle(MYSQL* mysql, const ConnectionSettings& settings, bool multi_statements) {
  if (mysql_get_ssl_cipher(mysql) == nullptr && AsksForTls(mysql)) {
    Refuse(mysql,
           CannotConnect(settings) +
               "the client option files ask for TLS, and the server does not offer it",
           CR_SSL_CONNECTION_ERROR, "HY000");
  }
  // The library takes a file's user or database where the argument is empty.
  for (auto [info, ours, what] :
       {std::tuple{MARIADB_CONNECTION_USER, &settings.user, "a user"},
        std::tuple{MARIADB_CONNECTION_SCHEMA, &settings.database, "a database"}}) {
    const char* used = nullptr;
    mariadb_get_infov(mysql, info, &used);
    if (ours->empty() && used != nullptr && *used != '\0') {
      Refuse(mysql,
             CannotConnect(settings) + "the client option files name " + what + " ('" + used +
                 "') and the configuration none; no statement was sent",
             0, "HY000");
    }
  }
  // A session the library opened again by itself would lack the set-up, and the run's
  // transaction and locks (see SessionHold).
  my_bool reconnect = 0;
  mysql_optionsv(mysql, MYSQL_OPT_RECONNECT, &reconnect);
  // Outside a MultiStatements guard a text holding two statements is refused.
  unsigned long client_flags = 0;
  mariadb_get_infov(mysql, MARIADB_CONNECTION_CLIENT_CAPABILITIES, &client_flags);
  if (!multi_statements && (client_flags & CLIENT_MULTI_STATEMENTS) != 0 &&
      mysql_set_server_option(mysql, MYSQL_OPTION_MULTI_STATEMENTS_OFF) != 0) {
    Refuse(mysql, CannotConnect(settings) + mysql_error(mysql), mysql_errno(mysql),
           mysql_sqlstate(mysql));
  }
  // A file's default-character-set; should the server refuse utf8mb4, the set-up says so.
  if (std::string_view(mysql_character_set_name(mysql)) != "utf8mb4") {
    mysql_set_character_set(mysql, "utf8mb4");
  }
}

}  // namespace

MYSQL* Connect(const ConnectionSettings& settings, bool multi_statements) {
  MYSQL* mysql = mysql_init(nullptr);
  if (mysql == nullptr) {
    throw Error("Out of memory opening a MySQL connection");
  }
  SetOptions(mysql);
  const Transport& transport = settings.transport;
  // An empty host would let a file's in; the library's own default is the same "localhost".
  const char* host = settings.host.empty() ? "localhost" : settings.host.c_str();
  const char* socket = transport.socket.empty() ? nullptr : transport.socket.c_str();
  const char* database = settings.database.empty() ? nullptr : settings.database.c_str();
  // The options outlive a failure, so TlsHint can read what the files asked for.
  const unsigned long flags =
      CLIENT_REMEMBER_OPTIONS | (multi_statements ? CLIENT_MULTI_STATEMENTS : 0);
  if (mysql_real_connect(mysql, host, settings.user.c_str(), settings.password.c_str(), database,
                         transport.port, socket, flags) == nullptr) {
    Refuse(mysql, CannotConnect(settings) + mysql_error(mysql) + TlsHint(mysql), mysql_errno(mysql),
           mysql_sqlstate(mysql));
  }
  Settle(mysql, settings, multi_statements);
  return mysql;
}

}  // namespace db
