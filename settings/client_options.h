// How to reach the server: the client option files every client of the server reads, and the
// environment. The one place the program reads the transport's environment.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "db/settings.h"

namespace settings {

// The option files read, in this order, as the stock clients read them: "/etc/my.cnf",
// "/etc/mysql/my.cnf", "$MARIADB_HOME/my.cnf" (else "$MYSQL_HOME/my.cnf") when set, and
// "$HOME/.my.cnf" when HOME is set. Empty arguments stand for unset variables.
std::vector<std::string> OptionFilePaths(const std::string& home, const std::string& mysql_home,
                                         const std::string& mariadb_home);

// Applies the option file text to `transport`: the groups [client], [client-server],
// [client-mariadb] and [kelvane], keys port, socket, ssl, ssl-ca, ssl-cert, ssl-key and
// ssl-verify-server-cert ("_" and "-" alike, a "loose-" prefix and letter case of group
// names ignored, "skip-ssl" turning TLS off, values optionally quoted); a later setting wins
// over an earlier one. "!include FILE" and "!includedir DIR" (its *.cnf files in name order)
// are read where they stand; missing files are skipped. Other groups and keys are ignored,
// the suite's configuration file giving host, user, pass phrase and database. `name` names
// the text in errors. Throws std::runtime_error for a port that is not a number.
void ApplyOptionText(std::string_view text, const std::string& name, db::Transport& transport);

// ApplyOptionText of the file at `path`; a file that is not there is skipped.
void ApplyOptionFile(const std::string& path, db::Transport& transport);

// The transport of every connection the program opens: the option files of
// OptionFilePaths in order, then MYSQL_UNIX_PORT and MYSQL_TCP_PORT where set (they win
// over the files, as for the stock clients). KELVANE_TEST_SILENCE_LIMIT (seconds), only for
// tests, shortens how long the server keeps a silent session. ssl-ca, ssl-cert, ssl-key or
// ssl=1 ask for TLS (no session without it); with none of them TLS is used whenever the
// server offers it.
db::Transport ReadTransport();

}  // namespace settings
