// The run core driven without any window: a whole run, and the failures that must never
// pass as success (ap reads that fail, ap inserts refused, a held agency, no backup).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "compare/verify.h"
#include "copy/table_desc.h"
#include "db/connection.h"
#include "db/query.h"
#include "lock/run_lock.h"
#include "run/copy_run.h"
#include "run/session.h"
#include "tests/test_db.h"
#include "tests/test_support_ap.h"
#include "tests/test_support_cli.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Hex;
using testing_support::kStatusTexts;
using testing_support::ScratchDatabase;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class RunCoreTest : public testing::Test {
 protected:
  void SetUp() override {
    old_dir_ = fs::current_path();
    database_ = std::make_unique<ScratchDatabase>("kcore");
    database_->Run(testing_support::DemoSql());
    dir_ = testing_support::MakeTempDir("kelvane-core");
    fs::create_directory(dir_ / "work");
    fs::current_path(dir_ / "work");
    testing_support::WriteConfigFile((dir_ / "zarfiles.ini").string(), database_->settings());
    setenv("KELVANE_CONFIG", (dir_ / "zarfiles.ini").c_str(), 1);
    session_ = std::make_unique<run::Session>(
        [this](const std::string& text) { messages_.push_back(text); },
        (dir_ / "zarfiles.ini").string());
    session_->OpenDatabases();
    ASSERT_EQ(std::vector<std::string>{}, messages_);
    options_.backup_dir = (dir_ / "backups").string();
  }

  void TearDown() override {
    session_.reset();
    fs::current_path(old_dir_);
    unsetenv("KELVANE_CONFIG");
    fs::remove_all(dir_);
  }

  // A whole run on the session; what it did is kept in report_ however it ends.
  void Run(const std::string& from, const std::string& to) {
    run::CopyRun run(*session_, from, to, options_);
    try {
      run.Execute(observer_);
    } catch (...) {
      report_ = run.report();
      throw;
    }
    report_ = run.report();
  }

  // A run that is expected to fail; the text it threw.
  std::string FailingRun(const std::string& from, const std::string& to) {
    try {
      Run(from, to);
    } catch (const std::exception& e) {
      return e.what();
    }
    ADD_FAILURE() << "the run did not fail";
    return "";
  }

  // Every row of the destination's twelve tables and its ap records, as one text.
  std::string Destination(const std::string& code) const {
    db::Connection connection(database_->settings());
    std::string text;
    const auto add = [&](const std::string& sql) {
      text += testing_support::SortedRows(connection, sql);
    };
    for (const char* table : {"Bank", "ClassTypes", "Company", "CmpCont", "Department", "GLCodes",
                              "Producer", "Trans", "Vendor", "AddInt2", "DLNAIC", "DLLines"}) {
      text += std::string(table) + ":\n";
      add(std::string("SELECT * FROM ") + table + " WHERE AgyCode = '" + code + "'");
    }
    text += "ap:\n";
    add("SELECT * FROM zz_data_ap WHERE SUBSTRING(Index0Col, 7, 2) = '" + code + "'");
    return text;
  }

  void PutAp(const std::string& record) {
    database_->Run("INSERT INTO zz_data_ap VALUES (X'" + Hex(record.substr(0, 16)) + "', X'" +
                   Hex(record) + "');");
  }

  std::unique_ptr<ScratchDatabase> database_;
  fs::path dir_;
  fs::path old_dir_;
  std::unique_ptr<run::Session> session_;
  std::vector<std::string> messages_;
  std::vector<std::string> statuses_;
  run::RunOptions options_;
  run::RunReport report_;
  run::RunObserver observer_{
      .status = [this](std::string_view text) { statuses_.push_back(std::string(text)); },
      .progress = {}};
};

TEST_F(RunCoreTest, RunsEveryStepWithoutAWindowAndKeepsABackup) {
  Run("01", "02");

  EXPECT_EQ(kStatusTexts, statuses_);
  const run::RunReport& report = report_;
  EXPECT_TRUE(report.finished);
  ASSERT_EQ(12u, report.steps.size());
  EXPECT_EQ("CopyBanks", report.steps.front().method);
  EXPECT_EQ(0u, report.ap_refused);
  for (const compare::VerifyLine& line : session_->VerifyCopy("01", "02")) {
    EXPECT_TRUE(line.ok) << line.subject << ": " << line.detail;
  }
  ASSERT_FALSE(report.backup_file.empty());

  struct stat info {};

  ASSERT_EQ(0, ::stat(report.backup_file.c_str(), &info)) << report.backup_file;
  EXPECT_EQ(0600u, info.st_mode & 0777u);
  EXPECT_EQ(fs::path(options_.backup_dir), fs::path(report.backup_file).parent_path());
}

// Step by step a run sends what the table copies send on their own, statement for
// statement: one single-row insert per row, each committing on its own. Without a mode the
// same run is one transaction.
TEST_F(RunCoreTest, StepByStepRunSendsTheOriginalStatementsAndTheDefaultRunOneTransaction) {
  std::vector<std::string> sent;
  session_->connection().SetObserver([&sent](std::string_view sql) { sent.emplace_back(sql); });
  options_.mode = run::RunMode::kStepByStep;
  Run("01", "02");
  const auto first_delete =
      std::find(sent.begin(), sent.end(), std::string("Delete from Bank where AgyCode = '02'"));
  ASSERT_NE(sent.end(), first_delete);
  // The record store reads and inserts the ap records on the run's connection too; the
  // copies' own statements are the rest.
  const auto copies_own = [](std::vector<std::string> statements) {
    std::erase_if(statements, [](const std::string& statement) {
      return Contains(statement, "Index0Col, RecData");
    });
    return statements;
  };
  const std::vector<std::string> run_copy =
      copies_own(std::vector<std::string>(first_delete, sent.end()));
  EXPECT_FALSE(report_.atomic);
  EXPECT_EQ(std::string(run::kStepByStepAsked), report_.step_by_step_reason);

  sent.clear();
  for (const copy::TableDesc& table : copy::AllTables()) {
    session_->CopyStep(table, "01", "02", {});
  }
  const std::vector<std::string> steps = copies_own(sent);
  EXPECT_EQ(steps, run_copy);
  for (const std::string& statement : run_copy) {
    EXPECT_FALSE(Contains(statement, "TRANSACTION") || statement == "COMMIT") << statement;
    EXPECT_FALSE(Contains(statement, "), (")) << statement;
  }

  sent.clear();
  options_.mode = run::RunMode::kAuto;
  Run("01", "02");
  session_->connection().SetObserver({});
  EXPECT_TRUE(report_.atomic);
  EXPECT_EQ("", report_.step_by_step_reason);
  EXPECT_EQ(1, std::count(sent.begin(), sent.end(), std::string("START TRANSACTION")));
  EXPECT_EQ("COMMIT", sent.back());
  // The rows go in a statement per table, not one per row.
  const auto table_inserts = [](const std::vector<std::string>& statements) {
    return std::count_if(statements.begin(), statements.end(), [](const std::string& statement) {
      return statement.rfind("Insert ", 0) == 0;
    });
  };
  EXPECT_LE(table_inserts(sent), 12);
  EXPECT_GT(table_inserts(run_copy), 12);
  for (const compare::VerifyLine& line : session_->VerifyCopy("01", "02")) {
    EXPECT_TRUE(line.ok) << line.subject << ": " << line.detail;
  }
}

// A table that cannot roll back turns a run without a mode to step by step, named before
// anything changes; --atomic is refused.
TEST_F(RunCoreTest, TableThatCannotRollBackTurnsTheDefaultRunStepByStepAndRefusesAtomic) {
  database_->Run("ALTER TABLE DLNAIC ENGINE=MyISAM;");
  const std::string before = Destination("02");
  {
    run::CopyRun run(*session_, "01", "02", options_);
    run.Prepare();
    EXPECT_FALSE(run.all_or_nothing());
    EXPECT_EQ("table DLNAIC (MyISAM) cannot be rolled back", run.step_by_step_reason());
    EXPECT_EQ(before, Destination("02"));
  }
  options_.mode = run::RunMode::kAtomic;
  const std::string text = FailingRun("01", "02");
  EXPECT_TRUE(Contains(text, "DLNAIC (MyISAM)")) << text;
  EXPECT_EQ(before, Destination("02"));

  options_.mode = run::RunMode::kAuto;
  Run("01", "02");
  EXPECT_FALSE(report_.atomic);
  EXPECT_EQ(kStatusTexts, statuses_);
  for (const compare::VerifyLine& line : session_->VerifyCopy("01", "02")) {
    EXPECT_TRUE(line.ok) << line.subject << ": " << line.detail;
  }
}

TEST_F(RunCoreTest, ApRecordLongerThanTheBufferFailsTheRunNamingTypeAndKey) {
  // Sorts among agency 01's banks: the scan meets it half way.
  std::string long_record = "00900001LONG0001" + std::string(184, 'x');
  PutAp(long_record);
  const std::string before = Destination("02");

  for (bool atomic : {true, false}) {
    options_.mode = atomic ? run::RunMode::kAtomic : run::RunMode::kStepByStep;
    const std::string text = FailingRun("01", "02");
    EXPECT_TRUE(Contains(text, "type 009")) << text;
    EXPECT_TRUE(Contains(text, "'00900001LONG0001'")) << text;
    EXPECT_TRUE(Contains(text, "200 bytes")) << text;
    // Found before the first delete: nothing ran, whichever way the run was made.
    EXPECT_EQ(std::vector<std::string>{}, statuses_) << atomic;
    EXPECT_EQ(before, Destination("02"));
  }
}

TEST_F(RunCoreTest, ApRecordOneByteOverTheBufferIsRefusedAndOneThatFitsIsCopied) {
  // 151 bytes: one more than the copy reads, so it fails the run before anything changes.
  const std::string over = "00900001LONG0002" + std::string(135, 'y');
  ASSERT_EQ(151u, over.size());
  PutAp(over);
  const std::string before = Destination("02");
  const std::string text = FailingRun("01", "02");
  EXPECT_TRUE(Contains(text, "'00900001LONG0002'")) << text;
  EXPECT_TRUE(Contains(text, "151 bytes")) << text;
  EXPECT_EQ(std::vector<std::string>{}, statuses_);
  EXPECT_EQ(before, Destination("02"));

  // 150 bytes fill the buffer exactly: the run copies it whole.
  database_->Run("DELETE FROM zz_data_ap WHERE Index0Col = X'" + Hex(over.substr(0, 16)) + "';");
  const std::string fits = "00900001LONG0003" + std::string(134, 'z');
  ASSERT_EQ(150u, fits.size());
  PutAp(fits);
  Run("01", "02");
  EXPECT_EQ(Hex("00900002LONG0003" + std::string(134, 'z')),
            database_->Scalar("SELECT HEX(RecData) FROM zz_data_ap WHERE Index0Col = X'" +
                              Hex("00900002LONG0003") + "'"));
}

TEST_F(RunCoreTest, AtomicRunKeepsItsStatementsWithinALoweredMaxAllowedPacket) {
  // Some 40 KB of transaction codes: far more than one statement may hold below.
  std::string rows = "INSERT INTO Trans (AgyCode, Number, Name, TrnType) VALUES ";
  for (int i = 0; i < 600; ++i) {
    rows += (i == 0 ? "" : ", ") + std::string("('01', 'T") + std::to_string(i) + "', '" +
            std::string(40, 'n') + "', 1)";
  }
  database_->Run(rows + ";");
  const std::string source = database_->Scalar("SELECT COUNT(*) FROM Trans WHERE AgyCode = '01'");

  // A session takes the server's limit when it connects; the global is put back at once so
  // that no other connection meets the low limit.
  db::Connection admin(database_->settings());
  const std::string packet(admin.Query("SELECT @@GLOBAL.max_allowed_packet").Value(0));
  admin.Execute("SET GLOBAL max_allowed_packet = 16384");
  session_->connection().Close();
  try {
    session_->connection().Open();
  } catch (...) {
    admin.Execute("SET GLOBAL max_allowed_packet = " + packet);
    throw;
  }
  admin.Execute("SET GLOBAL max_allowed_packet = " + packet);
  ASSERT_EQ("16384",
            std::string(session_->connection().Query("SELECT @@max_allowed_packet").Value(0)));

  std::vector<std::string> inserts;
  session_->connection().SetObserver([&](std::string_view sql) {
    if (sql.starts_with("Insert Into Trans ")) {
      inserts.emplace_back(sql);
    }
  });
  options_.mode = run::RunMode::kAtomic;
  Run("01", "02");
  session_->connection().SetObserver({});

  EXPECT_GT(inserts.size(), 2u);
  for (const std::string& insert : inserts) {
    EXPECT_LE(insert.size(), 16384u / 2);
  }
  EXPECT_EQ(source, database_->Scalar("SELECT COUNT(*) FROM Trans WHERE AgyCode = '02'"));
}

TEST_F(RunCoreTest, RefusedApInsertCopiesTheRestButTheRunFails) {
  // Refuses agency 02's copy of one class record: everything else still goes over.
  const std::string key = database_->Scalar(
      "SELECT HEX(Index0Col) FROM zz_data_ap WHERE Index0Col LIKE '00600001%' ORDER BY "
      "Index0Col LIMIT 1");
  ASSERT_FALSE(key.empty());
  std::string refused_key = key;
  refused_key.replace(12, 4, Hex("02"));
  database_->Run(
      "CREATE TRIGGER refuse_one BEFORE INSERT ON zz_data_ap FOR EACH ROW "
      "IF HEX(NEW.Index0Col) = '" +
      refused_key +
      "' THEN SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'injected ap refusal'; END IF;");

  // Step by step: each record commits on its own, so the refused one is the only gap.
  options_.mode = run::RunMode::kStepByStep;
  const std::string text = FailingRun("01", "02");

  EXPECT_TRUE(Contains(text, "type 006: 1 record refused")) << text;
  EXPECT_TRUE(Contains(text, "injected ap refusal")) << text;
  EXPECT_TRUE(Contains(text, "'00600002")) << text;
  const run::RunReport& report = report_;
  EXPECT_TRUE(report.finished);
  EXPECT_EQ(12u, report.steps.size());
  EXPECT_EQ(1u, report.ap_refused);
  EXPECT_EQ(1u, report.steps[1].ap_refused);
  ASSERT_EQ(1u, report.steps[1].refused_records.size());
  for (const compare::VerifyLine& line : session_->VerifyCopy("01", "02")) {
    EXPECT_EQ(line.subject != "ap 006", line.ok) << line.subject << ": " << line.detail;
  }

  // All or nothing: the same refusal rolls everything back.
  const std::string before = Destination("02");
  options_.mode = run::RunMode::kAtomic;
  const std::string atomic_text = FailingRun("01", "02");
  EXPECT_TRUE(Contains(atomic_text, "type 006")) << atomic_text;
  EXPECT_TRUE(report_.rolled_back);
  EXPECT_EQ(before, Destination("02"));
}

TEST_F(RunCoreTest, AgencyHeldByAnotherRunIsRefusedInEitherRole) {
  const std::string before = Destination("02");
  for (const char* held : {"02", "01"}) {
    std::unique_ptr<lock::RunLock> other = lock::RunLock::Acquire(
        database_->settings(), {held, "05"}, "run 05 to " + std::string(held));
    try {
      Run("01", "02");
      ADD_FAILURE() << "a run went ahead while agency " << held << " was in use";
    } catch (const run::LockHeld& e) {
      EXPECT_EQ(held, e.code());
      EXPECT_TRUE(Contains(e.what(), std::string("Agency ") + held)) << e.what();
      EXPECT_TRUE(Contains(e.what(), std::to_string(other->ConnectionId()))) << e.what();
    }
    EXPECT_EQ(std::vector<std::string>{}, statuses_);
    EXPECT_THROW(session_->PlanCopy("01", "02"), run::LockHeld);
    EXPECT_THROW(session_->VerifyCopy("02", "01"), run::LockHeld);
  }
  EXPECT_EQ(before, Destination("02"));
  EXPECT_FALSE(fs::exists(options_.backup_dir) && !fs::is_empty(options_.backup_dir));

  // No code in common: side by side.
  std::unique_ptr<lock::RunLock> other =
      lock::RunLock::Acquire(database_->settings(), {"03", "05"}, "run 05 to 03");
  EXPECT_NO_THROW(Run("01", "02"));
}

TEST_F(RunCoreTest, ConnectionLostAtCommitSaysTheOutcomeIsUnknownAndHowToFindOut) {
  const std::string before = Destination("02");
  db::Connection killer(database_->settings());
  // The session ends just as the COMMIT is on its way, as when the server dies then: the
  // program cannot tell whether the server committed.
  session_->connection().SetObserver([&](std::string_view sql) {
    if (sql != "COMMIT") {
      return;
    }
    const std::string id = std::to_string(session_->connection().ThreadId());
    killer.Execute("KILL " + id);
    for (int i = 0; i < 200 && killer.Query("SELECT 1 FROM information_schema.PROCESSLIST WHERE "
                                            "ID = " +
                                            id)
                                       .RowCount() != 0;
         ++i) {
      usleep(10000);
    }
  });
  options_.mode = run::RunMode::kAtomic;

  const std::string text = FailingRun("01", "02");
  session_->connection().SetObserver({});

  EXPECT_TRUE(Contains(text, "not known whether the copy was committed or rolled back")) << text;
  EXPECT_TRUE(Contains(text, "kelvane --from 01 --to 02 --verify")) << text;
  EXPECT_FALSE(Contains(text, "exactly as before")) << text;
  EXPECT_FALSE(report_.rolled_back);
  // Here the server had not committed, and nothing changed.
  EXPECT_EQ(before, Destination("02"));
}

TEST_F(RunCoreTest, BackupThatCannotBeWrittenRefusesTheRunBeforeAnyChange) {
  testing_support::WriteFile(dir_ / "not-a-folder", "x");
  options_.backup_dir = (dir_ / "not-a-folder" / "backups").string();
  const std::string before = Destination("02");

  const std::string text = FailingRun("01", "02");

  EXPECT_TRUE(Contains(text, "not-a-folder")) << text;
  EXPECT_TRUE(Contains(text, "Not a directory")) << text;
  EXPECT_TRUE(Contains(text, "nothing was changed")) << text;
  EXPECT_EQ(std::vector<std::string>{}, statuses_);
  EXPECT_EQ(before, Destination("02"));
}

TEST_F(RunCoreTest, PreparedRunHoldsTheLockAndShowsThePlanBeforeAnyChange) {
  const std::string before = Destination("02");
  {
    run::CopyRun run(*session_, "01", "02", options_);
    const copy::Plan& plan = run.Prepare();
    ASSERT_EQ(12u, plan.size());
    EXPECT_EQ("Bank", plan.front().table);
    EXPECT_EQ(database_->Scalar("SELECT COUNT(*) FROM Bank WHERE AgyCode = '01'"),
              std::to_string(plan.front().counts.rows_to_copy));
    EXPECT_FALSE(plan.front().long_ap_record.has_value());
    // Between the two phases nothing changed, and no other run can take either agency.
    EXPECT_EQ(before, Destination("02"));
    EXPECT_EQ(std::vector<std::string>{}, statuses_);
    EXPECT_THROW(lock::RunLock::Acquire(database_->settings(), {"02"}, "other"), lock::Held);
  }
  // A run that is dropped after its preview lets go of the agencies.
  EXPECT_NO_THROW(lock::RunLock::Acquire(database_->settings(), {"02"}, "other"));
}

TEST_F(RunCoreTest, FailedRunSaysWhichStepFailedWhatChangedAndWhereTheBackupIs) {
  database_->Run(
      "CREATE TRIGGER refuse_department BEFORE INSERT ON Department FOR EACH ROW SIGNAL "
      "SQLSTATE '45000' SET MESSAGE_TEXT = 'Department insert refused';");
  for (bool atomic : {false, true}) {
    options_.mode = atomic ? run::RunMode::kAtomic : run::RunMode::kStepByStep;
    try {
      Run("01", "02");
      ADD_FAILURE() << "the run did not fail";
    } catch (const run::RunError& e) {
      EXPECT_EQ(run::RunStep::kCopy, e.step()) << atomic;
      EXPECT_EQ("Departments", e.step_text());
      EXPECT_EQ(1644u, e.server_error());  // the trigger's SIGNAL
      EXPECT_TRUE(Contains(e.cause(), "Department insert refused")) << e.cause();
      EXPECT_FALSE(Contains(e.cause(), "--restore")) << e.cause();
      EXPECT_TRUE(Contains(e.what(), e.backup_file())) << e.what();
      EXPECT_EQ(report_.backup_file, e.backup_file());
      if (atomic) {
        EXPECT_EQ(run::Changed::kNothing, e.changed());
        EXPECT_TRUE(e.changed_steps().empty());
      } else {
        EXPECT_EQ(run::Changed::kPartly, e.changed());
        EXPECT_EQ(std::vector<std::string>(kStatusTexts.begin(), kStatusTexts.begin() + 5),
                  e.changed_steps());
      }
    }
  }
  // Refused before the lock: nothing changed, no backup.
  try {
    Run("01", "01");
    ADD_FAILURE() << "equal codes were run";
  } catch (const run::RunError& e) {
    EXPECT_EQ(run::RunStep::kCodes, e.step());
    EXPECT_EQ(run::Changed::kNothing, e.changed());
    EXPECT_EQ("", e.backup_file());
  }
}

}  // namespace
