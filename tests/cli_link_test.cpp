// The link to the server: a workstation frozen in the middle of a run (its process stopped,
// its sessions silent) does not keep the agency, and TLS as the client option files set it
// up, on a private server of the test's own on 127.0.0.1.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "db/connection.h"
#include "db/error.h"
#include "db/query.h"
#include "tests/test_db.h"
#include "tests/test_support_cli.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::MakeTempDir;
using testing_support::ReadFile;
using testing_support::ScratchDatabase;
using testing_support::ShellQuoted;
using testing_support::WriteFile;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string Value(db::Connection& connection, const std::string& sql) {
  db::Result result = connection.Query(sql);
  return result.Eof() ? "" : std::string(result.Value(0));
}

// The destination's rows of every copied table, counted and summed, as one text.
std::string Fingerprint(db::Connection& connection, const std::string& code) {
  std::string text;
  for (const char* table : {"Bank", "ClassTypes", "Company", "CmpCont", "Department", "GLCodes",
                            "Producer", "Trans", "Vendor", "AddInt2", "DLNAIC", "DLLines"}) {
    text += Value(connection, std::string("SELECT COUNT(*) FROM ") + table + " WHERE AgyCode = '" +
                                  code + "'") +
            ",";
  }
  // The records with their agency code (characters 7 and 8) left out, so a copy matches.
  return text + Value(connection,
                      "SELECT CONCAT(COUNT(*), '/', COALESCE(SUM(CRC32(CONCAT(LEFT(RecData, 6), "
                      "SUBSTRING(RecData, 9)))), 0)) FROM zz_data_ap WHERE SUBSTRING(RecData, 7, "
                      "2) = '" +
                          code + "'");
}

// `kelvane args...` started in `dir`/work with the configuration of `settings`, not waited
// for: the test stops and continues it.
pid_t StartKelvane(const fs::path& dir, const db::ConnectionSettings& settings,
                   const std::vector<std::string>& args, const std::vector<std::string>& env) {
  testing_support::WriteConfigFile((dir / "zarfiles.ini").string(), settings);
  const char* bin = std::getenv("KELVANE_BIN");
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::dup2(null, 0);
    if (::chdir((dir / "work").c_str()) != 0) {
      ::_exit(127);
    }
    ::setenv("KELVANE_CONFIG", (dir / "zarfiles.ini").c_str(), 1);
    for (const std::string& setting : env) {
      const std::size_t equals = setting.find('=');
      ::setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
    }
    std::vector<std::string> text = {bin != nullptr ? bin : "kelvane"};
    text.insert(text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : text) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

class LinkTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, std::getenv("KELVANE_BIN")) << "KELVANE_BIN names the built program";
    dir_ = MakeTempDir("kelvane-link");
    for (const char* name : {"first", "second"}) {
      fs::create_directories(dir_ / name / "work");
    }
  }

  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  fs::path dir_;
  testing_support::BackupFolder backups_;
};

// A run frozen while the server works for it: another workstation's run of the same codes
// succeeds once the server has ended the silent sessions, and leaves the exact copy; the
// frozen run, continued, changes nothing more.
TEST_F(LinkTest, AFrozenWorkstationDoesNotKeepTheAgency) {
  ScratchDatabase database("kfrozen");
  database.Run(testing_support::DemoSql());
  database.Run("INSERT INTO DLLines (AgyCode) VALUES ('02')");
  db::Connection watch(database.settings());

  // Holding a destination row makes the run wait inside the server, so it is surely mid-run
  // when it is stopped.
  db::Connection blocker(database.settings());
  blocker.Execute("START TRANSACTION");
  blocker.Query("SELECT * FROM DLLines WHERE AgyCode = '02' FOR UPDATE");
  const pid_t frozen =
      StartKelvane(dir_ / "first", database.settings(), {"--from", "01", "--to", "02"},
                   {"KELVANE_TEST_SILENCE_LIMIT=3"});
  bool waiting = false;
  for (int i = 0; i < 600 && !waiting; ++i) {
    waiting = Value(watch,
                    "SELECT COUNT(*) FROM information_schema.INNODB_TRX WHERE "
                    "trx_state = 'LOCK WAIT'") != "0";
    if (!waiting) {
      std::this_thread::sleep_for(100ms);
    }
  }
  ASSERT_TRUE(waiting) << ReadFile(dir_ / "first" / "err");
  ASSERT_EQ(0, ::kill(frozen, SIGSTOP));
  const auto freeze = std::chrono::steady_clock::now();
  blocker.Execute("ROLLBACK");

  // Tried the way a user would, again and again, until the agency is free.
  testing_support::CliOutcome second;
  do {
    second = testing_support::RunKelvane(dir_ / "second", database.settings(), "--from 01 --to 02");
    if (second.status != 0) {
      EXPECT_TRUE(Contains(second.err, "in use by another Kelvane run")) << second.err;
      std::this_thread::sleep_for(1s);
    }
  } while (second.status != 0 && std::chrono::steady_clock::now() - freeze < 120s);
  ASSERT_EQ(0, second.status) << second.err;
  EXPECT_LT(std::chrono::steady_clock::now() - freeze, 120s);
  const testing_support::CliOutcome verify = testing_support::RunKelvane(
      dir_ / "second", database.settings(), "--from 01 --to 02 --verify");
  EXPECT_EQ(0, verify.status) << verify.out << verify.err;
  const std::string copied = Fingerprint(watch, "02");
  EXPECT_EQ(Fingerprint(watch, "01"), copied);

  // The link heals: the frozen run finds its sessions gone and stops.
  ::kill(frozen, SIGCONT);
  int raw = 0;
  ASSERT_EQ(frozen, ::waitpid(frozen, &raw, 0));
  EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 1) << ReadFile(dir_ / "first" / "err");
  EXPECT_EQ(copied, Fingerprint(watch, "02"));
  EXPECT_EQ("0", Value(watch, "SELECT COUNT(*) FROM kelvane_run_lock"));
}

// A MariaDB server of the test's own on 127.0.0.1 with a certificate of a CA the test makes.
class TlsServer {
 public:
  explicit TlsServer(const fs::path& dir) : dir_(dir) {
    fs::create_directories(dir_);
    const std::string d = ShellQuoted(dir_.string());
    const std::string make_certs =
        "(cd " + d +
        " && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2"
        " -subj '/CN=Kelvane test CA'"
        " && openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr"
        " -subj '/CN=localhost'"
        " && printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > ext.cnf"
        " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial"
        " -out server.pem -days 2 -extfile ext.cnf"
        " && openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem"
        " -days 2 -subj '/CN=Some other CA'"
        // A revocation list of the CA that revokes the server's certificate, and the
        // fingerprints a client may pin.
        " && touch index.txt"
        " && printf '[ca]\\ndefault_ca = test\\n[test]\\ndatabase = index.txt\\n"
        "default_md = sha256\\ndefault_crl_days = 2\\n' > ca.cnf"
        " && openssl ca -config ca.cnf -keyfile ca.key -cert ca.pem -revoke server.pem"
        " && openssl ca -config ca.cnf -keyfile ca.key -cert ca.pem -gencrl -out revoked.pem"
        " && openssl x509 -in server.pem -noout -fingerprint -sha1 | cut -d= -f2 > server.fp"
        " && openssl x509 -in other.pem -noout -fingerprint -sha1 | cut -d= -f2 > other.fp"
        " && mariadb-install-db --no-defaults --datadir=" +
        ShellQuoted((dir_ / "data").string()) +
        " --skip-test-db"
        " --auth-root-authentication-method=socket"
        " --skip-name-resolve" +
        std::string(::geteuid() == 0 ? " --user=root" : "") + ") >" +
        ShellQuoted((dir_ / "setup.log").string()) + " 2>&1";
    ready_ = std::system(make_certs.c_str()) == 0;
    port_ = FreePort();
    pid_ = ::fork();
    if (pid_ == 0) {
      const int log = ::open((dir_ / "server.out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      ::dup2(log, 1);
      ::dup2(log, 2);
      std::vector<std::string> args = {"mariadbd",
                                       "--no-defaults",
                                       "--datadir=" + (dir_ / "data").string(),
                                       "--socket=" + socket(),
                                       "--bind-address=127.0.0.1",
                                       "--port=" + std::to_string(port_),
                                       "--pid-file=" + (dir_ / "mysqld.pid").string(),
                                       "--log-error=" + (dir_ / "error.log").string(),
                                       "--ssl-ca=" + (dir_ / "ca.pem").string(),
                                       "--ssl-cert=" + (dir_ / "server.pem").string(),
                                       "--ssl-key=" + (dir_ / "server.key").string(),
                                       "--innodb-buffer-pool-size=32M"};
      if (::geteuid() == 0) {
        args.emplace_back("--user=root");
      }
      std::vector<char*> argv;
      for (std::string& arg : args) {
        argv.push_back(arg.data());
      }
      argv.push_back(nullptr);
      ::execvp("mariadbd", argv.data());
      ::_exit(127);
    }
    // Only bounds how long a server that never comes up is waited for.
    bool up = false;
    for (int i = 0; i < 600 && ready_ && !up; ++i) {
      up = Admin("SELECT 1");
      if (!up) {
        std::this_thread::sleep_for(100ms);
      }
    }
    ready_ = up &&
             Admin(
                 "CREATE USER 'kelvane'@'127.0.0.1' IDENTIFIED BY 'kelvane';"
                 "GRANT ALL ON *.* TO 'kelvane'@'127.0.0.1';"
                 "CREATE DATABASE ktls CHARACTER SET utf8mb4;") &&
             Admin(testing_support::SchemaSql(), "ktls") &&
             Admin(testing_support::DemoSql(), "ktls");
  }

  ~TlsServer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  TlsServer(const TlsServer&) = delete;
  TlsServer& operator=(const TlsServer&) = delete;

  bool ready() const { return ready_; }

  unsigned int port() const { return port_; }

  std::string socket() const { return (dir_ / "mysqld.sock").string(); }

  std::string log() const { return ReadFile(dir_ / "setup.log") + ReadFile(dir_ / "error.log"); }

  bool Admin(const std::string& sql, const std::string& database = "") const {
    WriteFile(dir_ / "admin.sql", sql);
    const char* login = std::getenv("USER");
    const std::string user = ::geteuid() == 0 || login == nullptr ? "root" : login;
    const std::string command = "mariadb --no-defaults --socket=" + ShellQuoted(socket()) + " -u" +
                                ShellQuoted(user) + " " + database + " <" +
                                ShellQuoted((dir_ / "admin.sql").string()) + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  }

  db::ConnectionSettings Settings() const {
    db::ConnectionSettings settings;
    settings.host = "127.0.0.1";
    settings.user = "kelvane";
    settings.password = "kelvane";
    settings.database = "ktls";
    settings.transport.port = port_;
    return settings;
  }

 private:
  static unsigned int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    unsigned int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
  }

  fs::path dir_;
  bool ready_ = false;
  unsigned int port_ = 0;
  pid_t pid_ = -1;
};

// The cipher of a session of `server` ("" on a plain link), opened with `my_cnf` as the
// user's option file, which the client library reads while connecting.
std::string CipherWith(const fs::path& home, const std::string& my_cnf, const TlsServer& server) {
  WriteFile(home / ".my.cnf", my_cnf);
  const std::string old_home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  setenv("HOME", home.c_str(), 1);
  std::string cipher;
  try {
    db::Connection connection(server.Settings());
    cipher = connection.Query("SHOW SESSION STATUS LIKE 'Ssl_cipher'").Value(1);
  } catch (const db::Error& e) {
    ADD_FAILURE() << e.what();
  }
  setenv("HOME", old_home.c_str(), 1);
  return cipher;
}

TEST_F(LinkTest, TlsAsTheOptionFilesSetItUp) {
  TlsServer server(dir_ / "server");
  ASSERT_TRUE(server.ready()) << server.log();
  const fs::path home = dir_ / "home";
  fs::create_directories(home);
  db::ConnectionSettings settings = server.Settings();

  // Verified against the option file's CA: encrypted.
  EXPECT_NE("", CipherWith(home,
                           "[client]\nssl-ca = " + (dir_ / "server" / "ca.pem").string() +
                               "\n[kelvane]\nssl_verify_server_cert\n",
                           server));
  // Nothing said: TLS all the same, since the server offers it.
  EXPECT_NE("", CipherWith(home, "", server));

  // Another CA with verification: the run is refused before anything is read or written.
  db::Connection check(settings);
  const std::string before = Fingerprint(check, "02");
  ASSERT_NE(Fingerprint(check, "01"), before);
  WriteFile(home / ".my.cnf", "[kelvane]\nssl-ca = " + (dir_ / "server" / "other.pem").string() +
                                  "\nssl-verify-server-cert = 1\n");
  const testing_support::CliOutcome refused =
      testing_support::RunKelvane(dir_ / "second", server.Settings(), "--from 01 --to 02",
                                  "-u MYSQL_UNIX_PORT HOME=" + ShellQuoted(home.string()) +
                                      " MYSQL_TCP_PORT=" + std::to_string(server.port()));
  EXPECT_EQ(1, refused.status) << refused.out << refused.err;
  EXPECT_TRUE(Contains(refused.err, "certificate")) << refused.err;
  EXPECT_TRUE(Contains(refused.err, "ssl-verify-server-cert")) << refused.err;
  EXPECT_EQ(before, Fingerprint(check, "02"));
  EXPECT_EQ("0", Value(check, "SELECT COUNT(*) FROM kelvane_run_lock"));
}

// The option files' TLS checks protect a run from the command line: it goes ahead encrypted
// (the account takes no plain session) or is refused with nothing changed. Every file also
// names another port, user, pass phrase, database and character set, which the environment
// and the suite's configuration override.
TEST_F(LinkTest, TheOptionFilesTlsChecksDecideWhetherARunGoesAhead) {
  TlsServer server(dir_ / "server");
  ASSERT_TRUE(server.ready()) << server.log();
  ASSERT_TRUE(server.Admin("ALTER USER 'kelvane'@'127.0.0.1' REQUIRE SSL"));
  const fs::path certs = dir_ / "server";
  const std::string ca = "ssl-ca = " + (certs / "ca.pem").string() + "\n";
  const auto pin = [&certs](const char* file) {
    const std::string fingerprint = ReadFile(certs / file);
    return "ssl-fp = " + fingerprint.substr(0, fingerprint.find('\n')) + "\n";
  };

  struct Case {
    std::string options;
    std::string refusal;  // what the refusal says; empty: the run goes ahead
  };

  const std::vector<Case> cases = {
      {ca + "ssl-crl = " + (certs / "revoked.pem").string() + "\nssl-verify-server-cert = 1\n",
       "revoked"},
      {ca + "ssl-verify-server-cert = 1\n", ""},
      {pin("server.fp"), ""},
      {pin("other.fp"), "Fingerprint verification"},
      {"ssl-enforce = 0\n", "Access denied"},
  };
  const fs::path home = dir_ / "home";
  fs::create_directories(home);
  db::Connection check(server.Settings());
  const std::string source = Fingerprint(check, "01");
  ASSERT_NE(source, Fingerprint(check, "02"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    WriteFile(home / ".my.cnf",
              "[client]\nport = 1\nuser = nobody\npassword = wrong\ndatabase = nowhere\n"
              "default-character-set = latin1\n" +
                  c.options);
    const std::string before = Fingerprint(check, "02");
    const testing_support::CliOutcome run =
        testing_support::RunKelvane(dir_ / "second", server.Settings(), "--from 01 --to 02",
                                    "-u MYSQL_UNIX_PORT HOME=" + ShellQuoted(home.string()) +
                                        " MYSQL_TCP_PORT=" + std::to_string(server.port()));
    if (c.refusal.empty()) {
      EXPECT_EQ(0, run.status) << run.out << run.err;
      EXPECT_EQ(source, Fingerprint(check, "02"));
    } else {
      EXPECT_EQ(1, run.status) << run.out << run.err;
      EXPECT_TRUE(Contains(run.err, c.refusal)) << run.err;
      EXPECT_EQ(before, Fingerprint(check, "02"));
    }
    EXPECT_EQ("0", Value(check, "SELECT COUNT(*) FROM kelvane_run_lock"));
  }
}

}  // namespace
