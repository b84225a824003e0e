// Fault tests: a server killed in the middle of a run, connections that cannot open, a
// working directory that takes no file, a missing ap table and broken configuration files.
// Each asserts what the user is shown and what the database holds afterwards.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>

#include <gtest/gtest.h>

#include "app/globals.h"
#include "app/main_form.h"
#include "app/text.h"
#include "recstore/recstore.h"
#include "tests/test_db.h"
#include "tests/test_support_cli.h"
#include "tests/test_support_form.h"
#include "tests/test_support_server.h"

namespace {

namespace fs = std::filesystem;
using testing_support::kStatusTexts;
using testing_support::MakeTempDir;
using testing_support::PrivateServer;
using testing_support::ReadFile;
using testing_support::ScratchDatabase;
using testing_support::WriteFile;

constexpr int kBigRows = 5000;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// The status lines a run prints on stdout: those before the first empty line (a summary
// may follow it).
std::vector<std::string> StatusLines(const std::string& out) {
  std::vector<std::string> lines = Lines(out);
  lines.erase(std::find(lines.begin(), lines.end(), ""), lines.end());
  return lines;
}

// True when `lines` are the first status texts of a run, in order.
bool IsRunPrefix(const std::vector<std::string>& lines) {
  return lines.size() <= kStatusTexts.size() &&
         std::equal(lines.begin(), lines.end(), kStatusTexts.begin());
}

// A server message about a connection that is gone or cannot be made.
bool NamesLostConnection(const std::string& text) {
  return Contains(text, "Lost connection") || Contains(text, "gone away") ||
         Contains(text, "Can't connect") || Contains(text, "Cannot connect");
}

// The program run without a window, as a child process.
class Child {
 public:
  using Outcome = testing_support::CliOutcome;

  // Starts `kelvane args...` in `work_dir` with `env` (NAME=value) added to the environment;
  // stdout comes back through a pipe, stderr goes to a file.
  Child(const fs::path& work_dir, const std::vector<std::string>& args,
        const std::vector<std::string>& env)
      : err_path_(work_dir.parent_path() / (work_dir.filename().string() + ".err")) {
    const char* bin = std::getenv("KELVANE_BIN");
    EXPECT_NE(nullptr, bin) << "KELVANE_BIN names the built program";
    int fds[2];
    EXPECT_EQ(0, ::pipe(fds));
    std::vector<std::string> argv_text = {bin != nullptr ? bin : "kelvane"};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      ::dup2(fds[1], 1);
      const int err = ::open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(err, 2);
      const int null = ::open("/dev/null", O_RDONLY);
      ::dup2(null, 0);
      if (::chdir(work_dir.c_str()) != 0) {
        ::_exit(127);
      }
      for (const std::string& setting : env) {
        const std::size_t equals = setting.find('=');
        ::setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
      }
      std::vector<char*> argv;
      for (std::string& arg : argv_text) {
        argv.push_back(arg.data());
      }
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    out_ = ::fdopen(fds[0], "r");
  }

  ~Child() {
    if (out_ != nullptr) {
      std::fclose(out_);
    }
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    fs::remove(err_path_, ignored);
  }

  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The next line of stdout without its newline; false at its end.
  bool ReadLine(std::string& line) {
    char* buffer = nullptr;
    std::size_t capacity = 0;
    const ssize_t length = ::getline(&buffer, &capacity, out_);
    if (length >= 0) {
      line.assign(buffer, static_cast<std::size_t>(length));
      if (!line.empty() && line.back() == '\n') {
        line.pop_back();
      }
      out_text_ += line + "\n";
    }
    std::free(buffer);
    return length >= 0;
  }

  // Reads the rest of stdout and waits for the exit.
  Outcome Finish() {
    for (std::string line; ReadLine(line);) {
    }
    int raw = 0;
    ::waitpid(pid_, &raw, 0);
    reaped_ = true;
    Outcome outcome;
    outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    outcome.out = out_text_;
    outcome.err = ReadFile(err_path_);
    return outcome;
  }

 private:
  fs::path err_path_;
  pid_t pid_ = -1;
  bool reaped_ = false;
  std::FILE* out_ = nullptr;
  std::string out_text_;
};

// Common ground: a fresh working directory and a configuration folder per test.
class FaultTest : public testing_support::FormTest {
 protected:
  static void SetUpTestSuite() { QGuiApplication::setQuitOnLastWindowClosed(false); }

  void SetUp() override {
    old_dir_ = fs::current_path();
    work_dir_ = MakeTempDir("kelvane-fault-work");
    config_path_ = work_dir_.string() + ".ini";
    const char* socket = std::getenv("MYSQL_UNIX_PORT");
    old_socket_ = socket != nullptr ? socket : "";
  }

  void TearDown() override {
    fs::current_path(old_dir_);
    std::error_code ignored;
    fs::remove_all(work_dir_, ignored);
    fs::remove_all(config_path_, ignored);
    setenv("MYSQL_UNIX_PORT", old_socket_.c_str(), 1);
    unsetenv("KELVANE_CONFIG");
    EXPECT_EQ(0u, recstore::OpenHandleCount());
  }

  void WriteConfig(const db::ConnectionSettings& settings) {
    testing_support::WriteConfigFile(config_path_, settings);
  }

  Child::Outcome RunCli(const std::string& socket,
                        std::vector<std::string> args = {"--from", "01", "--to", "02"}) {
    Child child(work_dir_, args,
                {"KELVANE_CONFIG=" + config_path_, "MYSQL_UNIX_PORT=" + socket,
                 "QT_QPA_PLATFORM=offscreen"});
    return child.Finish();
  }

  // A window created in the working directory with the configuration at config_path_, its
  // connection going to `socket`.
  std::unique_ptr<TForm1> MakeForm(const std::string& socket, bool enter_work_dir = true) {
    if (enter_work_dir) {
      fs::current_path(work_dir_);
    }
    setenv("KELVANE_CONFIG", config_path_.c_str(), 1);
    setenv("MYSQL_UNIX_PORT", socket.c_str(), 1);
    return FormTest::MakeForm();
  }

  static std::string SharedSocket() {
    testing_support::ServerSettings();  // fails the program clearly when unset
    return std::getenv("MYSQL_UNIX_PORT");
  }

  fs::path old_dir_;
  fs::path work_dir_;
  std::string config_path_;
  std::string old_socket_;
};

// ---------------------------------------------------------------------------------------
// The server killed in the middle of a large run.

class ServerKillTest : public FaultTest {
 protected:
  static void SetUpTestSuite() {
    FaultTest::SetUpTestSuite();
    server_ = std::make_unique<PrivateServer>();
    ASSERT_TRUE(server_->Start()) << server_->log();
    ASSERT_TRUE(server_->Admin("CREATE DATABASE kfault CHARACTER SET utf8mb4"));
    ASSERT_TRUE(server_->Admin(testing_support::SchemaSql(), "kfault"));
  }

  static void TearDownTestSuite() { server_.reset(); }

  void SetUp() override {
    FaultTest::SetUp();
    if (!server_->running()) {
      ASSERT_TRUE(server_->Start()) << server_->log();
    }
    // Agency 01 has a large additional-interest table, text with quotes and backslashes in
    // it; agency 02 has stale rows that a run must replace, and a download line that only
    // a finished run replaces.
    ASSERT_TRUE(server_->Admin(
        "DELETE FROM Agency; DELETE FROM Bank; DELETE FROM AddInt2; DELETE FROM DLLines;"
        "DELETE FROM zz_data_ap;"
        "INSERT INTO Agency VALUES ('01', 'Source'), ('02', 'Destination');"
        "INSERT INTO Bank (AgyCode, Number, Name) VALUES ('01', 'B1', 'First'), "
        "('01', 'B2', 'Second');"
        "INSERT INTO AddInt2 (AgyCode, Number, AlphaCode, Name, Contact, Address1, Address2, "
        "Address3, Address4, Address5, City, State, Zip, Phone, Fax, Email) "
        "SELECT '01', CONCAT('N', seq), CONCAT('A', seq MOD 97), "
        "CONCAT('O''Neil \\\\ Sons ', seq), 'Contact', CONCAT(seq, ' Main St'), '', 'Suite \"9\"',"
        "'', '', 'Springfield', 'IL', LPAD(seq, 5, '0'), '555-0100', '', "
        "CONCAT('a', seq, '@example.com') FROM seq_1_to_" +
            std::to_string(kBigRows) +
            ";"
            "INSERT INTO AddInt2 (AgyCode, Number, Name) SELECT '02', CONCAT('stale', seq), "
            "'Stale' FROM seq_1_to_5;"
            "INSERT INTO DLLines (AgyCode) VALUES ('02');"
            "INSERT INTO zz_data_ap (Index0Col, RecData) SELECT LEFT(rec, 16), rec FROM ("
            "SELECT CAST(RPAD(CONCAT('00900001', LPAD(seq, 6, '0'), 'Bank record'), 150, ' ') "
            "AS BINARY) AS rec FROM seq_1_to_3) AS r;",
        "kfault"));
    db::ConnectionSettings settings;
    settings.host = "localhost";
    settings.user = "kelvane";
    settings.password = "kelvane";
    settings.database = "kfault";
    WriteConfig(settings);
  }

  // A statement's one value, read over the private server's socket.
  static std::string Scalar(const std::string& sql) { return server_->Scalar(sql, "kfault"); }

  // Row count and two checksums of the copied columns of one agency's additional interests.
  static std::string AddIntFingerprint(const std::string& code) {
    return Scalar(
        "SELECT CONCAT(COUNT(*), '/', SUM(CRC32(h)), '/', BIT_XOR(CRC32(h))) FROM (SELECT "
        "CONCAT_WS('|', Number, AlphaCode, Name, Contact, Address1, Address2, Address3, "
        "Address4, Address5, City, State, Zip, Phone, Fax, Email) AS h FROM AddInt2 WHERE "
        "AgyCode = '" +
        code + "') AS t");
  }

  // What a complete and exact copy leaves.
  static void ExpectExactCopy() {
    EXPECT_EQ(std::to_string(kBigRows),
              Scalar("SELECT COUNT(*) FROM AddInt2 WHERE AgyCode = '02'"));
    EXPECT_EQ(AddIntFingerprint("01"), AddIntFingerprint("02"));
    EXPECT_EQ("0", Scalar("SELECT COUNT(*) FROM AddInt2 WHERE Number LIKE 'stale%'"));
    EXPECT_EQ("2", Scalar("SELECT COUNT(*) FROM Bank WHERE AgyCode = '02'"));
    EXPECT_EQ("0", Scalar("SELECT COUNT(*) FROM DLLines WHERE AgyCode = '02'"));
    EXPECT_EQ("3", Scalar("SELECT COUNT(*) FROM zz_data_ap WHERE Index0Col LIKE '00900002%'"));
  }

  // Runs the program with `extra` options and kills the server once the additional-interest
  // step has begun: after its first copied row when `wait_for_rows` (rows of a run that is
  // not one transaction are visible at once), else right at its status line.
  Child::Outcome RunKilledInAdditionalInterests(const std::vector<std::string>& extra,
                                                bool wait_for_rows) {
    std::vector<std::string> args = {"--from", "01", "--to", "02"};
    args.insert(args.end(), extra.begin(), extra.end());
    Child child(work_dir_, args,
                {"KELVANE_CONFIG=" + config_path_, "MYSQL_UNIX_PORT=" + server_->socket(),
                 "QT_QPA_PLATFORM=offscreen"});
    for (std::string line; child.ReadLine(line);) {
      if (line == "Additional Interests") {
        // The bound only ends the wait for a run that failed before copying anything.
        for (int i = 0; wait_for_rows && i < 10000 &&
                        Scalar("SELECT COUNT(*) FROM AddInt2 WHERE AgyCode = '02' AND Number "
                               "LIKE 'N%'") == "0";
             ++i) {
        }
        server_->Kill();
        break;
      }
    }
    return child.Finish();
  }

  static std::unique_ptr<PrivateServer> server_;
};

std::unique_ptr<PrivateServer> ServerKillTest::server_;

TEST_F(ServerKillTest, CommandLineFailsClearlyAndASecondRunCopiesExactly) {
  const Child::Outcome outcome = RunKilledInAdditionalInterests({"--step-by-step"}, true);
  EXPECT_EQ(1, outcome.status) << outcome.err;
  const std::vector<std::string> status_lines = StatusLines(outcome.out);
  EXPECT_TRUE(IsRunPrefix(status_lines)) << outcome.out;
  EXPECT_LE(10u, status_lines.size()) << outcome.out;
  EXPECT_TRUE(Contains(outcome.err, "error: ")) << outcome.err;
  EXPECT_TRUE(NamesLostConnection(outcome.err)) << outcome.err;

  ASSERT_TRUE(server_->Start()) << server_->log();
  // Nothing undone: the steps before are copied, the killed table is cleared and partly
  // refilled, and the last table was never reached.
  EXPECT_EQ("2", Scalar("SELECT COUNT(*) FROM Bank WHERE AgyCode = '02'"));
  EXPECT_EQ("0", Scalar("SELECT COUNT(*) FROM AddInt2 WHERE Number LIKE 'stale%'"));
  const std::string refilled = Scalar("SELECT COUNT(*) FROM AddInt2 WHERE AgyCode = '02'");
  EXPECT_NE("0", refilled);
  RecordProperty("rows_copied_before_the_kill", refilled);
  EXPECT_EQ("1", Scalar("SELECT COUNT(*) FROM DLLines WHERE AgyCode = '02'"));
  EXPECT_EQ(1, RunCli(server_->socket(), {"--from", "01", "--to", "02", "--verify"}).status);

  const Child::Outcome again = RunCli(server_->socket());
  EXPECT_EQ(0, again.status) << again.err;
  EXPECT_FALSE(Contains(again.err, "error")) << again.err;
  EXPECT_EQ(kStatusTexts, StatusLines(again.out));
  ExpectExactCopy();
  const Child::Outcome verify =
      RunCli(server_->socket(), {"--from", "01", "--to", "02", "--verify"});
  EXPECT_EQ(0, verify.status) << verify.out << verify.err;
}

TEST_F(ServerKillTest, AtomicRunKilledMidwayChangesNothing) {
  const Child::Outcome outcome = RunKilledInAdditionalInterests({"--atomic"}, false);
  EXPECT_EQ(1, outcome.status) << outcome.err;
  EXPECT_TRUE(Contains(outcome.err, "error: ")) << outcome.err;

  ASSERT_TRUE(server_->Start()) << server_->log();
  // The uncommitted run is rolled back by the server's recovery.
  EXPECT_EQ("0", Scalar("SELECT COUNT(*) FROM Bank WHERE AgyCode = '02'"));
  EXPECT_EQ("5", Scalar("SELECT COUNT(*) FROM AddInt2 WHERE AgyCode = '02'"));
  EXPECT_EQ("1", Scalar("SELECT COUNT(*) FROM DLLines WHERE AgyCode = '02'"));

  const Child::Outcome again =
      RunCli(server_->socket(), {"--from", "01", "--to", "02", "--atomic"});
  EXPECT_EQ(0, again.status) << again.err;
  ExpectExactCopy();
}

TEST_F(ServerKillTest, WindowShowsTheLossStaysOpenAndASecondClickCopiesExactly) {
  auto form = MakeForm(server_->socket());
  ASSERT_EQ(std::vector<std::string>{}, messages_);
  ASSERT_EQ("Source", Text(*form, "edtFromName"));
  form->show();
  bool killed = false;
  form->SetStatusObserver([this, &killed](std::string_view text) {
    statuses_.push_back(std::string(text));
    if (text == "Additional Interests" && !killed) {
      server_->Kill();
      killed = true;
    }
  });

  ClickGo(*form);

  EXPECT_EQ(std::vector<std::string>(kStatusTexts.begin(), kStatusTexts.begin() + 10), statuses_);
  ASSERT_EQ(1u, messages_.size());
  EXPECT_TRUE(NamesLostConnection(messages_[0])) << messages_[0];
  EXPECT_TRUE(form->isVisible());
  EXPECT_TRUE(Control<QPushButton>(*form, "Button1")->isEnabled());
  EXPECT_EQ("Additional Interests",
            app::ToBytes(Control<QStatusBar>(*form, "StatusBar1")->currentMessage()));

  ASSERT_TRUE(server_->Start()) << server_->log();
  statuses_.clear();
  ClickGo(*form);

  EXPECT_EQ(1u, messages_.size()) << messages_.back();
  EXPECT_EQ(kStatusTexts, statuses_);
  EXPECT_FALSE(form->isVisible());
  ExpectExactCopy();
}

TEST_F(ServerKillTest, WindowIdleThroughRestartsLooksUpAndCopiesWithoutAnError) {
  auto form = MakeForm(server_->socket());
  ASSERT_EQ(std::vector<std::string>{}, messages_);
  form->show();
  server_->Kill();
  ASSERT_TRUE(server_->Start()) << server_->log();

  Control<QLineEdit>(*form, "edtFromName")->clear();
  Leave(*form, "edtFromAgy");
  EXPECT_EQ(std::vector<std::string>{}, messages_);
  EXPECT_EQ("Source", Text(*form, "edtFromName"));

  server_->Kill();
  ASSERT_TRUE(server_->Start()) << server_->log();
  ClickGo(*form);

  EXPECT_EQ(std::vector<std::string>{}, messages_);
  EXPECT_EQ(kStatusTexts, statuses_);
  EXPECT_FALSE(form->isVisible());
  ExpectExactCopy();
}

// ---------------------------------------------------------------------------------------
// Connections that cannot open, a working directory without room for "Utility.ini", a
// missing ap table: each shown clearly, and nothing written to the database.

class StartUpFaultTest : public FaultTest {
 protected:
  void SetUp() override {
    FaultTest::SetUp();
    database_ = std::make_unique<ScratchDatabase>("kfault");
    database_->Run(
        "INSERT INTO Agency VALUES ('01', 'Source'), ('02', 'Destination');\n"
        "INSERT INTO Bank (AgyCode, Number) VALUES ('01', 'B1'), ('02', 'old');");
    shared_socket_ = SharedSocket();
  }

  void TearDown() override {
    FaultTest::TearDown();
    database_.reset();
  }

  // Nothing was deleted or copied.
  void ExpectUntouched() {
    EXPECT_EQ("old", database_->Scalar("SELECT GROUP_CONCAT(Number) FROM Bank WHERE AgyCode = "
                                       "'02'"));
  }

  std::unique_ptr<ScratchDatabase> database_;
  std::string shared_socket_;
};

TEST_F(StartUpFaultTest, RefusedWrongPassPhraseAndUnknownDatabaseAreNamedAndChangeNothing) {
  const fs::path no_server = work_dir_.string() + "-no-server.sock";

  struct Case {
    const char* what;
    std::string socket;
    std::string password;
    std::string database;
    std::string expected;  // in the message
  };

  const std::vector<Case> cases = {
      {"refused", no_server.string(), "kelvane", database_->name(), "'localhost'"},
      {"pass phrase", shared_socket_, "not-the-pass-phrase", database_->name(), "denied"},
      {"database", shared_socket_, "kelvane", "kfault_no_such_database",
       "'kfault_no_such_database'"}};
  for (const Case& c : cases) {
    db::ConnectionSettings settings = database_->settings();
    settings.password = c.password;
    settings.database = c.database;
    WriteConfig(settings);

    const Child::Outcome outcome = RunCli(c.socket);
    EXPECT_EQ(1, outcome.status) << c.what << ": " << outcome.err;
    EXPECT_EQ("", outcome.out) << c.what;
    EXPECT_TRUE(Contains(outcome.err, c.expected)) << c.what << ": " << outcome.err;
    EXPECT_TRUE(Contains(outcome.err, "host 'localhost'")) << c.what << ": " << outcome.err;
    EXPECT_TRUE(Contains(outcome.err, "database '" + c.database + "'"))
        << c.what << ": " << outcome.err;
    EXPECT_TRUE(Contains(ReadFile(work_dir_ / "Utility.ini"),
                         "\r\nPassword=" + c.password + "\r\ndatabase=" + c.database + "\r\n"))
        << c.what;

    messages_.clear();
    auto form = MakeForm(c.socket);
    ASSERT_FALSE(messages_.empty()) << c.what;
    EXPECT_TRUE(Contains(messages_.back(), c.expected)) << c.what << ": " << messages_.back();
    EXPECT_TRUE(Contains(messages_.back(), "host 'localhost'")) << messages_.back();
    EXPECT_EQ("edtFromName", Text(*form, "edtFromName")) << c.what;
    EXPECT_EQ("edtToName", Text(*form, "edtToName")) << c.what;
    form.reset();
    fs::current_path(old_dir_);
    setenv("MYSQL_UNIX_PORT", shared_socket_.c_str(), 1);
    ExpectUntouched();
  }
}

TEST_F(StartUpFaultTest, UtilityIniThatCannotBeWrittenStopsTheCommandLineRun) {
  WriteConfig(database_->settings());
  fs::create_directory(work_dir_ / "Utility.ini");

  const Child::Outcome outcome = RunCli(shared_socket_);

  EXPECT_EQ(1, outcome.status) << outcome.err;
  EXPECT_EQ("", outcome.out);
  EXPECT_TRUE(Contains(outcome.err, "Utility.ini")) << outcome.err;
  ExpectUntouched();
}

TEST_F(StartUpFaultTest, WorkingDirectoryGoneStopsTheSetUpAndTheWindowStillOpens) {
  // A removed working directory takes no new file, also for root (whom read-only
  // permissions do not stop).
  WriteConfig(database_->settings());
  fs::current_path(work_dir_);
  fs::remove_all(work_dir_);

  auto form = MakeForm(shared_socket_, false);
  form->show();

  ASSERT_EQ(1u, messages_.size());
  EXPECT_TRUE(Contains(messages_[0], "Utility.ini")) << messages_[0];
  EXPECT_EQ("edtFromName", Text(*form, "edtFromName"));
  EXPECT_EQ("edtToName", Text(*form, "edtToName"));
  EXPECT_EQ(0, ApRead);
  EXPECT_EQ(0, ApWrite);
  EXPECT_TRUE(form->isVisible());

  ClickGo(*form);
  EXPECT_EQ(2u, messages_.size());
  EXPECT_EQ(std::vector<std::string>{}, statuses_);
  form.reset();
  fs::current_path(old_dir_);
  setenv("MYSQL_UNIX_PORT", shared_socket_.c_str(), 1);
  ExpectUntouched();
}

TEST_F(StartUpFaultTest, MissingApTableGivesBothMessagesInOrderAndTheRunIsRefused) {
  database_->Run("DROP TABLE zz_data_ap");
  WriteConfig(database_->settings());

  const Child::Outcome outcome = RunCli(shared_socket_);

  EXPECT_EQ(1, outcome.status) << outcome.err;
  EXPECT_EQ("", outcome.out);
  const std::size_t read = outcome.err.find("Error Opening AP Read");
  const std::size_t write = outcome.err.find("Error Opening AP Write");
  ASSERT_NE(std::string::npos, read) << outcome.err;
  ASSERT_NE(std::string::npos, write) << outcome.err;
  EXPECT_LT(read, write);
  ExpectUntouched();

  auto form = MakeForm(shared_socket_);
  // The fixed texts first, each followed by the store's status and reason.
  ASSERT_EQ(2u, messages_.size());
  EXPECT_EQ(0u, messages_[0].find("Error Opening AP Read (record-store status 12: "))
      << messages_[0];
  EXPECT_EQ(0u, messages_[1].find("Error Opening AP Write (record-store status 12: "))
      << messages_[1];
  EXPECT_TRUE(Contains(messages_[0], "zz_data_ap")) << messages_[0];
  EXPECT_EQ("Destination", Text(*form, "edtToName"));
}

// ---------------------------------------------------------------------------------------
// Configuration files that are broken: defaults or a clear error, never a crash.

TEST_F(StartUpFaultTest, GarbageLinesAroundTheSectionAreIgnored) {
  const db::ConnectionSettings settings = database_->settings();
  static constexpr char kNulLine[] = "no equals sign here\n\0\0\0\n";
  WriteFile(config_path_,
            std::string("\x01\x02 binary \xff\xfe junk\r\n=\r\n[\r\n[ZarfilesNdx\n") +
                "mdbbase=wrong\n[Other]\nmdbbase=wrong\n]]]\n" +
                std::string(kNulLine, sizeof kNulLine - 1) +
                "[ZarfilesNdx]\nnonsense\n=value without key\nmdbserv=" + settings.host +
                "\nmdbuser=" + settings.user + "\nmdbpass=" + settings.password +
                "\nmdbbase=" + settings.database + "\n[ZarfilesNdx]\nmdbbase=later_duplicate\n");

  const Child::Outcome outcome = RunCli(shared_socket_);

  EXPECT_EQ(0, outcome.status) << outcome.err;
  EXPECT_EQ(kStatusTexts, StatusLines(outcome.out));
  EXPECT_TRUE(
      Contains(ReadFile(work_dir_ / "Utility.ini"), "\r\ndatabase=" + settings.database + "\r\n"));
  EXPECT_EQ("B1", database_->Scalar("SELECT GROUP_CONCAT(Number) FROM Bank WHERE AgyCode = '02'"));
}

TEST_F(StartUpFaultTest, EmptyHostIsTheLocalServer) {
  db::ConnectionSettings settings = database_->settings();
  settings.host = "";
  WriteConfig(settings);

  const Child::Outcome outcome = RunCli(shared_socket_);

  EXPECT_EQ(0, outcome.status) << outcome.err;
  EXPECT_TRUE(Contains(ReadFile(work_dir_ / "Utility.ini"), "\r\nserver=\r\n"));
  EXPECT_EQ("B1", database_->Scalar("SELECT GROUP_CONCAT(Number) FROM Bank WHERE AgyCode = '02'"));
}

TEST_F(StartUpFaultTest, HundredKilobyteValuesGiveAClearErrorNotACrash) {
  const std::string huge(100 * 1024, 'x');
  using Field = std::string db::ConnectionSettings::*;
  for (auto [key, field] : {std::pair<const char*, Field>{"mdbserv", &db::ConnectionSettings::host},
                            {"mdbuser", &db::ConnectionSettings::user},
                            {"mdbpass", &db::ConnectionSettings::password},
                            {"mdbbase", &db::ConnectionSettings::database}}) {
    db::ConnectionSettings settings = database_->settings();
    settings.*field = huge;
    WriteConfig(settings);

    const Child::Outcome outcome = RunCli(shared_socket_);

    EXPECT_EQ(1, outcome.status) << key << ": " << outcome.err.substr(0, 500);
    EXPECT_TRUE(Contains(outcome.err, "error: ")) << key << ": " << outcome.err.substr(0, 500);
    EXPECT_EQ("", outcome.out) << key;
    // The value is written whole, as read.
    EXPECT_TRUE(Contains(ReadFile(work_dir_ / "Utility.ini"), "=" + huge + "\r\n")) << key;
  }
  ExpectUntouched();
}

TEST_F(StartUpFaultTest, ConfigurationPathThatCannotBeReadIsAnErrorNotTheDefaults) {
  // A directory cannot be read as a file by root either, unlike a file without permissions.
  fs::create_directory(config_path_);

  const Child::Outcome outcome = RunCli(shared_socket_);

  EXPECT_EQ(1, outcome.status) << outcome.err;
  EXPECT_EQ("", outcome.out);
  EXPECT_TRUE(Contains(outcome.err, config_path_)) << outcome.err;
  EXPECT_FALSE(fs::exists(work_dir_ / "Utility.ini"));
  ExpectUntouched();

  auto form = MakeForm(shared_socket_);
  ASSERT_EQ(1u, messages_.size());
  EXPECT_TRUE(Contains(messages_[0], config_path_)) << messages_[0];
  EXPECT_EQ("edtFromName", Text(*form, "edtFromName"));
}

}  // namespace
