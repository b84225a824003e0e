// The client option files: which groups and keys count, in which order settings win, and
// includes.
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "settings/client_options.h"
#include "tests/test_support_cli.h"

namespace {

namespace fs = std::filesystem;
using db::Transport;

Transport Parse(const std::string& text) {
  Transport transport;
  settings::ApplyOptionText(text, "test.cnf", transport);
  return transport;
}

TEST(ClientOptions, ReadsOnlyTheClientGroupsAndTransportKeys) {
  const Transport transport = Parse(
      "# a comment\n"
      "[mysqld]\nport = 1111\nsocket = /server.sock\n"
      "[client]\nport=3307\nuser = someone\npassword = secret\n"
      "[mysqldump]\nssl-ca = /dump-ca.pem\n"
      "[Client-Server]\r\nsocket = \"/run/my sql.sock\"  \r\n"
      "[kelvane]\nssl_ca = /etc/ca.pem # the office CA\nloose-ssl-verify-server-cert\n");
  EXPECT_EQ(3307u, transport.port);
  EXPECT_EQ("/run/my sql.sock", transport.socket);
  EXPECT_EQ("/etc/ca.pem", transport.ssl_ca);
  EXPECT_TRUE(transport.ssl_verify_server_cert);
  EXPECT_EQ(Transport::Tls::kRequired, transport.tls);
}

TEST(ClientOptions, LaterSettingsWinAndTlsCanBeTurnedOff) {
  Transport transport = Parse(
      "[kelvane]\nport = 1\nssl-verify-server-cert = 1\n[client]\nport = 2\n"
      "ssl-verify-server-cert = OFF\n");
  EXPECT_EQ(2u, transport.port);
  EXPECT_FALSE(transport.ssl_verify_server_cert);
  EXPECT_EQ(Transport::Tls::kPreferred, transport.tls);  // nothing said: when offered
  EXPECT_EQ(Transport::Tls::kOff, Parse("[client]\nssl-ca = /ca.pem\nskip-ssl\n").tls);
  EXPECT_EQ(Transport::Tls::kOff, Parse("[client]\nssl = 0\n").tls);
  EXPECT_EQ(Transport::Tls::kRequired, Parse("[client]\nssl\n").tls);
  EXPECT_THROW(Parse("[client]\nport = 33o6\n"), std::runtime_error);
}

TEST(ClientOptions, FollowsIncludesInPlaceAndSkipsMissingFiles) {
  const fs::path dir = testing_support::MakeTempDir("kelvane-options");
  fs::create_directory(dir / "conf.d");
  testing_support::WriteFile(dir / "conf.d" / "20-b.cnf", "[client]\nport = 20\n");
  testing_support::WriteFile(dir / "conf.d" / "10-a.cnf", "[client]\nport = 10\nsocket = /a\n");
  testing_support::WriteFile(dir / "conf.d" / "30-c.txt", "[client]\nport = 30\n");
  testing_support::WriteFile(dir / "extra.cnf", "[kelvane]\nssl-key = /key.pem\n");
  testing_support::WriteFile(dir / "my.cnf", "[client]\nport = 1\n!includedir " +
                                                 (dir / "conf.d").string() + "\n!include " +
                                                 (dir / "extra.cnf").string() +
                                                 "\n!include /nonexistent/x.cnf\n");
  Transport transport;
  settings::ApplyOptionFile((dir / "my.cnf").string(), transport);
  settings::ApplyOptionFile((dir / "missing.cnf").string(), transport);
  EXPECT_EQ(20u, transport.port);  // the directory's files in name order, .cnf only
  EXPECT_EQ("/a", transport.socket);
  EXPECT_EQ("/key.pem", transport.ssl_key);

  // A file that includes itself is refused rather than read for ever.
  testing_support::WriteFile(dir / "loop.cnf", "!include " + (dir / "loop.cnf").string() + "\n");
  EXPECT_THROW(settings::ApplyOptionFile((dir / "loop.cnf").string(), transport),
               std::runtime_error);
  fs::remove_all(dir);
}

TEST(ClientOptions, TheEnvironmentWinsOverTheFiles) {
  EXPECT_EQ((std::vector<std::string>{"/etc/my.cnf", "/etc/mysql/my.cnf", "/mh/my.cnf",
                                      "/home/u/.my.cnf"}),
            settings::OptionFilePaths("/home/u", "/mh", ""));
  EXPECT_EQ("/mariadb/my.cnf", settings::OptionFilePaths("", "/mh", "/mariadb").back());

  const fs::path home = testing_support::MakeTempDir("kelvane-home");
  testing_support::WriteFile(home / ".my.cnf", "[client]\nport = 4000\nsocket = /from/file.sock\n");
  const std::string old_home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  const std::string old_socket =
      std::getenv("MYSQL_UNIX_PORT") != nullptr ? std::getenv("MYSQL_UNIX_PORT") : "";
  setenv("HOME", home.c_str(), 1);
  unsetenv("MYSQL_UNIX_PORT");
  unsetenv("MYSQL_TCP_PORT");
  Transport transport = settings::ReadTransport();
  EXPECT_EQ(4000u, transport.port);
  EXPECT_EQ("/from/file.sock", transport.socket);
  setenv("MYSQL_UNIX_PORT", "/from/env.sock", 1);
  setenv("MYSQL_TCP_PORT", "4001", 1);
  transport = settings::ReadTransport();
  EXPECT_EQ(4001u, transport.port);
  EXPECT_EQ("/from/env.sock", transport.socket);
  unsetenv("MYSQL_TCP_PORT");
  setenv("HOME", old_home.c_str(), 1);
  if (old_socket.empty()) {
    unsetenv("MYSQL_UNIX_PORT");
  } else {
    setenv("MYSQL_UNIX_PORT", old_socket.c_str(), 1);
  }
  fs::remove_all(home);
}

}  // namespace
