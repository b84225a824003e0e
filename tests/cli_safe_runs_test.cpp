// Tests of the safe-run features against the private server: the check before a run, the
// dry run, the verification, the all-or-nothing run and the run's report, through the built
// program. gui_safe_runs_test.cpp has the window's side.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/connection.h"
#include "db/query.h"
#include "tests/test_db.h"
#include "tests/test_support_cli.h"
#include "tests/test_support_server.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::ScratchDatabase;

// CHECKSUM TABLE of every table of the database, by name: equal maps mean equal contents.
std::map<std::string, std::string> Checksums(const ScratchDatabase& database) {
  db::Connection connection(database.settings());
  std::vector<std::string> tables;
  for (db::Result result = connection.Query("SHOW TABLES"); !result.Eof(); result.Next()) {
    tables.emplace_back(result.Value(0));
  }
  std::map<std::string, std::string> sums;
  for (const std::string& table : tables) {
    db::Result result = connection.Query("CHECKSUM TABLE `" + table + "`");
    sums[table] = result.IsNull(1) ? "NULL" : std::string(result.Value(1));
  }
  return sums;
}

// Fails the second insert of a run into agency 03's additional interests (the tenth step),
// batched or not: the trigger sees the row the first insert left.
constexpr const char* kFailSecondAddInt2 =
    "CREATE TRIGGER fail_second_addint2 BEFORE INSERT ON AddInt2 FOR EACH ROW "
    "IF NEW.AgyCode = '03' AND (SELECT COUNT(*) FROM AddInt2 WHERE AgyCode = '03') >= 1 THEN "
    "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'injected failure'; END IF;";

using Outcome = testing_support::CliOutcome;

class SafeRunTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, std::getenv("KELVANE_BIN")) << "KELVANE_BIN names the built program";
    dir_ = testing_support::MakeTempDir("kelvane-safe");
    fs::create_directory(dir_ / "work");
    database_ = std::make_unique<ScratchDatabase>("ksafe");
    database_->Run(testing_support::DemoSql());
  }

  void TearDown() override {
    database_.reset();
    fs::remove_all(dir_);
  }

  Outcome Run(const std::string& args) {
    return testing_support::RunKelvane(dir_, database_->settings(), args);
  }

  // Runs a Python script on `json` (its stdin) and returns what it prints; the script sees
  // the parsed object as `o`. A text that is not JSON fails the test.
  std::string Python(const std::string& json, const std::string& script) {
    std::ofstream(dir_ / "in.json", std::ios::binary) << json;
    std::ofstream(dir_ / "script.py", std::ios::binary)
        << "import json, sys\no = json.load(sys.stdin)\n"
        << script;
    testing_support::ProgramIo io = testing_support::ProgramIo::Input(dir_ / "in.json");
    io.output = dir_ / "py.out";
    EXPECT_EQ(0, testing_support::RunProgram({"python3", (dir_ / "script.py").string()}, io))
        << ReadFile(dir_ / "py.out") << "\n"
        << json;
    return ReadFile(dir_ / "py.out");
  }

  std::string Count(const std::string& table, const std::string& code) {
    return database_->Scalar("SELECT COUNT(*) FROM " + table + " WHERE AgyCode = '" + code + "'");
  }

  fs::path dir_;
  std::unique_ptr<ScratchDatabase> database_;
};

TEST_F(SafeRunTest, PreflightRefusesTheRunNamingEveryProblemAndChangesNothing) {
  // Both problems are in late steps: without the check, ten tables would be copied first.
  database_->Run("ALTER TABLE DLLines DROP COLUMN AL3Line;\nDROP TABLE DLNAIC;");
  const auto before = Checksums(*database_);

  for (const char* args : {"--from 01 --to 02", "--from 01 --to 02 --atomic",
                           "--from 01 --to 02 --dry-run", "--from 01 --to 02 --verify"}) {
    const Outcome outcome = Run(args);
    EXPECT_EQ(1, outcome.status) << args;
    EXPECT_EQ("", outcome.out) << args;
    EXPECT_NE(std::string::npos, outcome.err.find("Table DLNAIC does not exist")) << outcome.err;
    EXPECT_NE(std::string::npos, outcome.err.find("Table DLLines lacks column AL3Line"))
        << outcome.err;
  }
  EXPECT_EQ(before, Checksums(*database_));

  // --json still gives a reader of stdout one object, naming the problems.
  const Outcome json = Run("--from 01 --to 02 --json");
  EXPECT_EQ(1, json.status);
  EXPECT_EQ("False\nTrue\n", Python(json.out, "print(o['ok'])\nprint('DLNAIC' in o['error'])\n"));
  EXPECT_EQ(before, Checksums(*database_));
}

TEST_F(SafeRunTest, DryRunCountsEqualWhatTheRunThenDoesAndTheReportMatchesTheDatabase) {
  // A destination that already holds a profile, so the deletes count too.
  ASSERT_EQ(0, Run("--from 02 --to 03").status);
  const auto before = Checksums(*database_);

  const Outcome dry = Run("--from 01 --to 03 --dry-run --json");
  ASSERT_EQ(0, dry.status) << dry.err;
  EXPECT_EQ(before, Checksums(*database_));
  const Outcome run = Run("--from 01 --to 03 --json");
  ASSERT_EQ(0, run.status) << run.err;

  const std::string table_line =
      "print(' '.join(str(x) for x in (t['table'], t['rows_to_delete'], t['rows_to_copy'], "
      "t['ap_to_delete'], t['ap_to_copy'])))\n";
  const std::string planned = Python(dry.out, "for t in o['plan']:\n    " + table_line);
  const std::string done = Python(
      run.out,
      "tables = ['Bank', 'ClassTypes', 'Company', 'CmpCont', 'Department', 'GLCodes', "
      "'Producer', 'Trans', 'Vendor', 'AddInt2', 'DLNAIC', 'DLLines']\n"
      "for name, s in zip(tables, o['run']['steps']):\n"
      "    print(name, s['rows_deleted'], s['rows_inserted'], s['ap_deleted'], s['ap_copied'])\n");
  EXPECT_EQ(planned, done);
  EXPECT_NE(std::string::npos, planned.find("Bank 1 3 1 3\n")) << planned;

  // The report's counts against the database.
  EXPECT_EQ("True\n3 2 28 15\n",
            Python(run.out,
                   "r = o['run']\nprint(r['finished'] and o['ok'] and not r['rolled_back'])\n"
                   "s = {x['method']: x for x in r['steps']}\n"
                   "print(s['CopyBanks']['rows_inserted'], s['CopyDLLines']['rows_inserted'], "
                   "r['totals']['rows_inserted'], r['totals']['ap_copied'])\n"));
  EXPECT_EQ("3", Count("Bank", "03"));
  EXPECT_EQ("2", Count("DLLines", "03"));
  EXPECT_EQ("15",
            database_->Scalar("SELECT COUNT(*) FROM zz_data_ap WHERE Index0Col LIKE '___00003%'"));
  // Nothing but the object on stdout; the status lines went to stderr.
  EXPECT_EQ('{', run.out.front());
  EXPECT_NE(std::string::npos, run.err.find("Download Lines\n")) << run.err;
}

TEST_F(SafeRunTest, VerifyPassesAfterARunAndNamesAnAlteredTable) {
  const Outcome before_run = Run("--from 01 --to 03 --verify");
  EXPECT_EQ(1, before_run.status);

  const Outcome run = Run("--from 01 --to 03 --verify-after");
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_NE(std::string::npos, run.out.find("Vendor: ok, 2 rows\n")) << run.out;

  database_->Run("UPDATE Vendor SET Name = 'Altered by hand' WHERE AgyCode = '03' LIMIT 1;");
  const Outcome verify = Run("--from 01 --to 03 --verify");
  EXPECT_EQ(1, verify.status);
  EXPECT_NE(std::string::npos, verify.out.find("Vendor: DIFFERS")) << verify.out;
  EXPECT_NE(std::string::npos, verify.out.find("Bank: ok")) << verify.out;

  const Outcome json = Run("--from 01 --to 03 --verify --json");
  EXPECT_EQ(1, json.status);
  EXPECT_EQ("False ['Vendor']\n", Python(json.out,
                                         "print(o['ok'], [v['subject'] for v in o['verify'] if not "
                                         "v['ok']])\n"));
}

TEST_F(SafeRunTest, AtomicRunRollsBackAFailureInTheTenthStepAndAStepByStepRunDoesNot) {
  ASSERT_EQ(0, Run("--from 02 --to 03").status);
  database_->Run(kFailSecondAddInt2);
  const auto before = Checksums(*database_);

  const Outcome atomic = Run("--from 01 --to 03 --atomic --json");
  EXPECT_EQ(1, atomic.status);
  EXPECT_NE(std::string::npos, atomic.err.find("injected failure")) << atomic.err;
  EXPECT_NE(std::string::npos, atomic.err.find("exactly as before the run")) << atomic.err;
  EXPECT_EQ("True 9\n", Python(atomic.out,
                               "print(o['run']['rolled_back'], "
                               "len(o['run']['steps']))\n"));
  EXPECT_EQ(before, Checksums(*database_));

  const Outcome plain = Run("--from 01 --to 03 --step-by-step");
  EXPECT_EQ(1, plain.status);
  EXPECT_NE(std::string::npos, plain.err.find("injected failure")) << plain.err;
  EXPECT_EQ("3", Count("Bank", "03"));     // copied from 01
  EXPECT_EQ("2", Count("Vendor", "03"));   // copied from 01
  EXPECT_EQ("1", Count("AddInt2", "03"));  // cleared, one row in
  EXPECT_EQ("3", database_->Scalar("SELECT COUNT(*) FROM zz_data_ap WHERE Index0Col LIKE "
                                   "'00900003%'"));
}

// Fails the insert of agency 03's copy of the class record HOME (ap type 006), which an
// atomic run only sends with the queue of the kind's inserts.
constexpr const char* kFailHomeClassRecord =
    "CREATE TRIGGER fail_home_class BEFORE INSERT ON zz_data_ap FOR EACH ROW "
    "IF LEFT(NEW.Index0Col, 12) = '00600003HOME' THEN "
    "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'injected ap failure'; END IF;";

TEST_F(SafeRunTest, AtomicRunRollsBackAnApRecordItsQueueFailedToWrite) {
  ASSERT_EQ(0, Run("--from 02 --to 03").status);
  database_->Run(kFailHomeClassRecord);
  const auto before = Checksums(*database_);

  const Outcome atomic = Run("--from 01 --to 03 --atomic");
  EXPECT_EQ(1, atomic.status);
  EXPECT_NE(std::string::npos, atomic.err.find("type 006")) << atomic.err;
  EXPECT_NE(std::string::npos, atomic.err.find("injected ap failure")) << atomic.err;
  EXPECT_NE(std::string::npos, atomic.err.find("exactly as before the run")) << atomic.err;
  EXPECT_EQ(before, Checksums(*database_));

  // Step by step the one record is refused and the rest of the kind is copied.
  Run("--from 01 --to 03 --step-by-step");
  EXPECT_EQ("1", database_->Scalar("SELECT COUNT(*) FROM zz_data_ap WHERE Index0Col LIKE "
                                   "'00600003%'"));
}

TEST_F(SafeRunTest, AtomicIsRefusedForATableThatCannotRollBack) {
  database_->Run("ALTER TABLE GLCodes ENGINE=MyISAM;");
  const auto before = Checksums(*database_);

  const Outcome outcome = Run("--from 01 --to 03 --atomic");

  EXPECT_EQ(1, outcome.status);
  EXPECT_EQ("", outcome.out);
  EXPECT_NE(std::string::npos, outcome.err.find("GLCodes (MyISAM)")) << outcome.err;
  EXPECT_EQ(std::string::npos, outcome.err.find("Bank (")) << outcome.err;
  EXPECT_EQ(before, Checksums(*database_));
  // Without --atomic the run goes ahead as before.
  EXPECT_EQ(0, Run("--from 01 --to 03").status);
  EXPECT_EQ("2", Count("GLCodes", "03"));
}

TEST_F(SafeRunTest, DefaultRunIsAllOrNothingAndAFailureInTheTenthStepChangesNothing) {
  ASSERT_EQ(0, Run("--from 02 --to 03").status);
  database_->Run(kFailSecondAddInt2);
  const auto before = Checksums(*database_);

  const Outcome run = Run("--from 01 --to 03 --json");

  EXPECT_EQ(1, run.status);
  EXPECT_NE(std::string::npos, run.err.find("injected failure")) << run.err;
  EXPECT_NE(std::string::npos, run.err.find("exactly as before the run")) << run.err;
  EXPECT_EQ(std::string::npos, run.err.find("step by step")) << run.err;
  EXPECT_EQ("True all-or-nothing None 9\n",
            Python(run.out,
                   "r = o['run']\nprint(r['rolled_back'], r['mode'], r['step_by_step_reason'], "
                   "len(r['steps']))\n"));
  // Every table and every ap record, the nine steps before the failing one included.
  EXPECT_EQ(before, Checksums(*database_));
}

// A large table goes over mostly as arrays of values; its copy is exact all the same, and a
// row refused among them fails the run, naming the row's own statement, with nothing changed.
TEST_F(SafeRunTest, DefaultRunOfALargeTableIsExactAndAllOrNothing) {
  std::string rows;
  for (int i = 1; i <= 2500; ++i) {
    const std::string n = std::to_string(i);
    rows += (i == 1 ? "" : ", ") + std::string("('01', 'L") + n + "', 'O''Neil \\\\ " + n +
            "', 'Ren\xC3\xA9"
            "e', " +
            n + ")";
  }
  database_->Run("INSERT INTO AddInt2 (AgyCode, Number, Name, Contact, Zip) VALUES " + rows +
                 ";\nCREATE TRIGGER refuse_l1500 BEFORE INSERT ON AddInt2 FOR EACH ROW IF "
                 "NEW.AgyCode = '03' AND NEW.Number = 'L1500' THEN SIGNAL SQLSTATE '45000' SET "
                 "MESSAGE_TEXT = 'L1500 is refused'; END IF;");
  const auto before = Checksums(*database_);

  const Outcome refused = Run("--from 01 --to 03");
  EXPECT_EQ(1, refused.status);
  EXPECT_NE(std::string::npos, refused.err.find("L1500 is refused")) << refused.err;
  EXPECT_NE(std::string::npos, refused.err.find("exactly as before the run")) << refused.err;
  EXPECT_EQ(before, Checksums(*database_));

  database_->Run("DROP TRIGGER refuse_l1500;");
  // Nothing else of the program prepares statements.
  const auto prepared = [this] {
    return std::stoi(
        database_->Scalar("SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS "
                          "WHERE VARIABLE_NAME = 'COM_STMT_PREPARE'"));
  };
  const int prepared_before = prepared();
  const Outcome run = Run("--from 01 --to 03 --verify-after");
  EXPECT_LT(prepared_before, prepared());
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_NE(std::string::npos, run.out.find("The destination matches the source.")) << run.out;
  EXPECT_EQ(Count("AddInt2", "01"), Count("AddInt2", "03"));
}

TEST_F(SafeRunTest, DefaultRunWithATableThatCannotRollBackSaysSoFirstThenCopiesStepByStep) {
  database_->Run("ALTER TABLE DLNAIC ENGINE=MyISAM;");
  const auto before = Checksums(*database_);

  // --atomic is refused as before.
  const Outcome atomic = Run("--from 01 --to 03 --atomic");
  EXPECT_EQ(1, atomic.status);
  EXPECT_NE(std::string::npos, atomic.err.find("DLNAIC (MyISAM)")) << atomic.err;
  EXPECT_EQ(before, Checksums(*database_));

  const Outcome run = Run("--from 01 --to 03 --verify-after --json");

  EXPECT_EQ(0, run.status) << run.err;
  // Said before the first step begins, naming the table and its engine.
  const std::size_t note = run.err.find(
      "note: The run commits step by step, each table on its own, because table DLNAIC "
      "(MyISAM) cannot be rolled back.");
  ASSERT_NE(std::string::npos, note) << run.err;
  EXPECT_LT(note, run.err.find("Banks\n")) << run.err;
  EXPECT_EQ("True step-by-step table DLNAIC (MyISAM) cannot be rolled back False 12\n",
            Python(run.out,
                   "r = o['run']\nprint(o['ok'], r['mode'], r['step_by_step_reason'], r['atomic'], "
                   "len(r['steps']))\n"));
  EXPECT_EQ("2", Count("DLNAIC", "03"));

  // The text report says so too.
  const Outcome text = Run("--from 01 --to 03");
  EXPECT_EQ(0, text.status) << text.err;
  EXPECT_NE(std::string::npos,
            text.out.find("Committed step by step, because table DLNAIC (MyISAM) cannot be "
                          "rolled back.\n"))
      << text.out;
}

TEST_F(SafeRunTest, StepByStepIsAskedForOnlyWithARunAndNotWithAtomic) {
  const auto before = Checksums(*database_);
  for (const char* args : {"--from 01 --to 03 --atomic --step-by-step", "--step-by-step",
                           "--from 01 --to 03 --step-by-step --dry-run"}) {
    const Outcome outcome = Run(args);
    EXPECT_EQ(2, outcome.status) << args;
    EXPECT_EQ("", outcome.out) << args;
  }
  EXPECT_EQ(before, Checksums(*database_));

  // Asked for, it needs no note; the report gives the reason all the same.
  const Outcome run = Run("--from 01 --to 03 --step-by-step --json");
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ(std::string::npos, run.err.find("note:")) << run.err;
  EXPECT_EQ("step-by-step it was asked for (--step-by-step)\n",
            Python(run.out, "print(o['run']['mode'], o['run']['step_by_step_reason'])\n"));
}

}  // namespace
