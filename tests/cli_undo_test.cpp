// The promises a user relies on through the built program: every run keeps what it
// replaces and --restore puts it back; two runs that share an agency never interleave; a
// run killed outright leaves no lock; every problem of a broken set-up is named at once.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "db/connection.h"
#include "db/error.h"
#include "db/query.h"
#include "tests/test_db.h"
#include "tests/test_support_ap.h"
#include "tests/test_support_cli.h"
#include "tests/test_support_server.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::ScratchDatabase;
using testing_support::ShellQuoted;
using Outcome = testing_support::CliOutcome;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Slows agency 02's department inserts down, so a run stands in its fifth step long enough
// for a second run to meet it there.
constexpr const char* kSlowDepartments =
    "CREATE TRIGGER slow_departments BEFORE INSERT ON Department FOR EACH ROW "
    "IF NEW.AgyCode = '02' THEN SET @slept = SLEEP(4); END IF;";

class UndoTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, std::getenv("KELVANE_BIN")) << "KELVANE_BIN names the built program";
    dir_ = testing_support::MakeTempDir("kelvane-undo");
    fs::create_directory(dir_ / "work");
    backups_ = dir_ / "backups";
    database_ = std::make_unique<ScratchDatabase>("kundo");
    database_->Run(testing_support::DemoSql());
  }

  void TearDown() override {
    database_.reset();
    fs::remove_all(dir_);
  }

  Outcome Run(const std::string& args) {
    return testing_support::RunKelvane(dir_, database_->settings(),
                                       args + " --backup-dir " + ShellQuoted(backups_.string()));
  }

  // Every table of the database, every row and column, as one text: equal texts mean the
  // database holds exactly the same (the lock table's rows come and go, so it is left out).
  std::string Everything() const { return testing_support::WholeDatabase(database_->settings()); }

  // The backup file a run's report names.
  static std::string BackupNamed(const std::string& report) {
    const std::string marker = "previous profile is saved in ";
    const std::size_t at = report.find(marker);
    if (at == std::string::npos) {
      return "";
    }
    const std::size_t start = at + marker.size();
    const std::size_t end = report.find(".sql", start);
    return end == std::string::npos ? "" : report.substr(start, end + 4 - start);
  }

  // Starts the program in the background with its output in `name`.out / `name`.err.
  pid_t Start(const std::string& name, const std::string& args) {
    const fs::path config = dir_ / "zarfiles.ini";
    testing_support::WriteConfigFile(config.string(), database_->settings());
    const std::string command = "cd " + ShellQuoted((dir_ / "work").string()) +
                                " && exec env KELVANE_CONFIG=" + ShellQuoted(config.string()) +
                                " " + ShellQuoted(std::getenv("KELVANE_BIN")) + " " + args +
                                " --backup-dir " + ShellQuoted(backups_.string()) + " >" +
                                ShellQuoted((dir_ / (name + ".out")).string()) + " 2>" +
                                ShellQuoted((dir_ / (name + ".err")).string()) + " </dev/null";
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    return pid;
  }

  static int Wait(pid_t pid) {
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }

  // Waits (bounded) until the background run holds the locks of its two codes.
  bool WaitForLocks(int rows) {
    for (int i = 0; i < 600; ++i) {
      try {
        if (database_->Scalar("SELECT COUNT(*) FROM kelvane_run_lock") == std::to_string(rows)) {
          return true;
        }
      } catch (const db::Error&) {
        // The lock table is made by the first run.
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  fs::path dir_;
  fs::path backups_;
  std::unique_ptr<ScratchDatabase> database_;
};

TEST_F(UndoTest, RunThenRestoreGivesBackExactlyWhatWasThere) {
  // Values that a careless dump would change.
  database_->Run(
      "UPDATE Bank SET Name = 'O''Brien \\\\ \xF0\x9F\x98\x80', City = NULL WHERE AgyCode = "
      "'02';\n"
      "INSERT INTO zz_data_ap VALUES (X'30303930303030320001FF27005C0A0D', X'30303930303030320001FF"
      "27005C0A0D00FF');");
  const std::string before = Everything();

  const Outcome run = Run("--from 01 --to 02");
  ASSERT_EQ(0, run.status) << run.err;
  const std::string file = BackupNamed(run.out);
  ASSERT_TRUE(fs::exists(file)) << run.out;
  EXPECT_NE(before, Everything());

  const Outcome history = Run("--history");
  EXPECT_EQ(0, history.status) << history.err;
  EXPECT_TRUE(Contains(history.out, "01 -> 02")) << history.out;
  EXPECT_TRUE(Contains(history.out, "completed")) << history.out;
  EXPECT_TRUE(Contains(history.out, file)) << history.out;

  const Outcome dry = Run("--restore " + ShellQuoted(file) + " --dry-run");
  EXPECT_EQ(0, dry.status) << dry.err;
  EXPECT_TRUE(Contains(dry.out, "Nothing was changed.")) << dry.out;
  const std::string after_run = Everything();

  const Outcome restore = Run("--restore " + ShellQuoted(file));
  ASSERT_EQ(0, restore.status) << restore.err;
  EXPECT_TRUE(Contains(restore.out, "Bank")) << restore.out;
  EXPECT_EQ(before, Everything());

  // The restore kept what it replaced: undoing it gives the copy back.
  const std::string undo = restore.out.substr(restore.out.find("saved in ") + 9);
  const std::string undo_file = undo.substr(0, undo.find(".sql") + 4);
  ASSERT_TRUE(fs::exists(undo_file)) << restore.out;
  const Outcome again = Run("--restore " + ShellQuoted(undo_file) + " --json");
  ASSERT_EQ(0, again.status) << again.err;
  EXPECT_EQ(after_run, Everything());
  EXPECT_TRUE(Contains(again.out, "\"ok\":true")) << again.out;
}

TEST_F(UndoTest, TamperedBackupIsRefusedAndNothingChanges) {
  const Outcome run = Run("--from 01 --to 02");
  ASSERT_EQ(0, run.status) << run.err;
  const std::string file = BackupNamed(run.out);
  std::string text = ReadFile(file);
  const std::size_t insert = text.find("INSERT INTO `Bank`");
  ASSERT_NE(std::string::npos, insert) << text.substr(0, 2000);
  const std::size_t digit = text.find_first_of("0123456789ABCDEF", text.find("X'", insert) + 2);
  text[digit] = text[digit] == '0' ? '1' : '0';
  testing_support::WriteFile(file, text);
  const std::string before = Everything();

  const Outcome restore = Run("--restore " + ShellQuoted(file));

  EXPECT_EQ(1, restore.status) << restore.err;
  EXPECT_TRUE(Contains(restore.err, "error: ")) << restore.err;
  EXPECT_EQ(before, Everything());
}

// A server of the test's own that takes packets of 64 KiB, where the file's inserts of up to
// 1 MiB would not go as they are.
TEST_F(UndoTest, RestoreKeepsWithinTheServersMaxAllowedPacket) {
  testing_support::PrivateServer server;
  ASSERT_TRUE(server.Start()) << server.log();
  ASSERT_TRUE(server.Admin("CREATE DATABASE ksmall CHARACTER SET utf8mb4"));
  ASSERT_TRUE(server.Admin(testing_support::SchemaSql(), "ksmall"));
  ASSERT_TRUE(server.Admin(testing_support::DemoSql(), "ksmall"));
  ASSERT_TRUE(
      server.Admin("INSERT INTO Company (AgyCode, Number, Name, AccAdd1, UndAdd1) SELECT '02', "
                   "CONCAT('C', seq), REPEAT('n', 60), REPEAT('a', 100), REPEAT('u', 100) FROM "
                   "seq_1_to_3000; SET GLOBAL max_allowed_packet = 65536;",
                   "ksmall"));
  db::ConnectionSettings settings = database_->settings();
  settings.user = settings.password = "kelvane";
  settings.database = "ksmall";
  settings.transport.socket = server.socket();
  const auto run = [&](const std::string& args) {
    return testing_support::RunKelvane(dir_, settings,
                                       args + " --backup-dir " + ShellQuoted(backups_.string()),
                                       "MYSQL_UNIX_PORT=" + ShellQuoted(server.socket()));
  };
  const std::string before = testing_support::WholeDatabase(settings);

  const Outcome copy = run("--from 01 --to 02 --verify-after");
  ASSERT_EQ(0, copy.status) << copy.err;
  const Outcome restore = run("--restore " + ShellQuoted(BackupNamed(copy.out)));

  ASSERT_EQ(0, restore.status) << restore.err;
  EXPECT_EQ(before, testing_support::WholeDatabase(settings));
}

TEST_F(UndoTest, FailedRunSaysWhereThePreviousProfileIsAndHowToPutItBack) {
  database_->Run(
      "CREATE TRIGGER fail_vendor BEFORE INSERT ON Vendor FOR EACH ROW "
      "IF NEW.AgyCode = '02' THEN SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'injected'; END IF;");
  const std::string before = Everything();

  const Outcome run = Run("--from 01 --to 02");

  ASSERT_EQ(1, run.status) << run.err;
  EXPECT_TRUE(Contains(run.err, "kelvane --restore ")) << run.err;
  database_->Run("DROP TRIGGER fail_vendor;");
  const std::size_t at = run.err.find("kelvane --restore ") + 18;
  std::string file = run.err.substr(at, run.err.find('\n', at) - at);
  if (!file.empty() && file.front() == '\'') {
    file = file.substr(1, file.size() - 2);
  }
  const Outcome history = Run("--history --json");
  EXPECT_TRUE(Contains(history.out, "\"outcome\":\"failed\"")) << history.out;

  const Outcome restore = Run("--restore " + ShellQuoted(file));
  ASSERT_EQ(0, restore.status) << restore.err;
  EXPECT_EQ(before, Everything());
}

TEST_F(UndoTest, RunsSharingAnAgencyNeverInterleaveAndAKilledRunLeavesNoLock) {
  database_->Run(kSlowDepartments);
  const pid_t first = Start("first", "--from 01 --to 02");
  ASSERT_TRUE(WaitForLocks(2)) << ReadFile(dir_ / "first.err");

  // Into the same destination, and from the destination of the run in progress.
  for (const char* args :
       {"--from 03 --to 02", "--from 02 --to 03", "--from 01 --to 03 --dry-run"}) {
    const auto start = std::chrono::steady_clock::now();
    const Outcome refused = Run(args);
    EXPECT_EQ(1, refused.status) << args << ": " << refused.err;
    EXPECT_TRUE(Contains(refused.err, "is in use by another Kelvane run")) << refused.err;
    EXPECT_TRUE(Contains(refused.err, "run 01")) << refused.err;
    // Refused at once, not after waiting for the lock.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << args;
  }
  EXPECT_EQ(0, Wait(first)) << ReadFile(dir_ / "first.err");
  const Outcome verify = Run("--from 01 --to 02 --verify");
  EXPECT_EQ(0, verify.status) << verify.out << verify.err;

  // Killed outright while it holds the locks: the next run starts at once.
  const pid_t killed = Start("killed", "--from 01 --to 02");
  ASSERT_TRUE(WaitForLocks(2)) << ReadFile(dir_ / "killed.err");
  ::kill(killed, SIGKILL);
  Wait(killed);
  const Outcome after = Run("--from 01 --to 03");
  EXPECT_EQ(0, after.status) << after.err;
  database_->Run("DROP TRIGGER slow_departments;");
  const Outcome rerun = Run("--from 01 --to 02 --verify-after");
  EXPECT_EQ(0, rerun.status) << rerun.err;
}

TEST_F(UndoTest, BrokenSetUpAndPreflightProblemsAreNamedInOneMessage) {
  database_->Run("DROP TABLE zz_data_ap;\nALTER TABLE Vendor DROP COLUMN FedID;");
  const std::string before = Everything();

  const Outcome run = Run("--from 01 --to 02");

  EXPECT_EQ(1, run.status) << run.err;
  EXPECT_TRUE(Contains(run.err, "Error Opening AP Read (record-store status 12")) << run.err;
  EXPECT_TRUE(Contains(run.err, "Error Opening AP Write (record-store status 12")) << run.err;
  EXPECT_TRUE(Contains(run.err, "Table zz_data_ap does not exist")) << run.err;
  EXPECT_TRUE(Contains(run.err, "Table Vendor lacks column FedID")) << run.err;
  EXPECT_EQ(1u, [&] {
    std::size_t count = 0;
    for (std::size_t at = run.err.find("error: "); at != std::string::npos;
         at = run.err.find("error: ", at + 1)) {
      ++count;
    }
    return count;
  }()) << run.err;
  EXPECT_EQ(before, Everything());
}

TEST_F(UndoTest, HeadlessRunNeedsNoDisplayAndQtSaysNothing) {
  const Outcome run = testing_support::RunKelvane(
      dir_, database_->settings(), "--from 01 --to 02 --no-backup",
      "-u DISPLAY -u WAYLAND_DISPLAY -u XDG_RUNTIME_DIR QT_QPA_PLATFORM=xcb");
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ("", run.err);
  EXPECT_FALSE(fs::exists(backups_));
}

TEST_F(UndoTest, RefusedApRecordFailsTheCommandLineRunAfterCopyingTheRest) {
  testing_support::RefuseOneClassRecord(*database_);

  const Outcome run = Run("--from 01 --to 02 --json --step-by-step");

  EXPECT_EQ(1, run.status) << run.err;
  EXPECT_TRUE(Contains(run.err, "type 006: 1 record refused, the first with key '00600002"))
      << run.err;
  EXPECT_TRUE(Contains(run.err, "injected ap refusal")) << run.err;
  EXPECT_TRUE(Contains(run.out, "\"ok\":false")) << run.out;
  EXPECT_TRUE(Contains(run.out, "\"finished\":true")) << run.out;
  EXPECT_TRUE(Contains(run.out, "\"ap_refused\":1,\"ap_refused_keys\":[\"'00600002")) << run.out;
  // The twelve tables and every other record were copied.
  const Outcome verify = Run("--from 01 --to 02 --verify");
  EXPECT_EQ(1, verify.status);
  EXPECT_TRUE(Contains(verify.out, "ap 006: DIFFERS")) << verify.out;
  for (const char* ok : {"Bank: ok", "ap 009: ok", "ClassTypes: ok", "DLLines: ok"}) {
    EXPECT_TRUE(Contains(verify.out, ok)) << ok << "\n" << verify.out;
  }
}

}  // namespace
