// Backups, restores and the history against the private server: what a backup saves must come
// back exactly, through the program and through the stock client, and a file that is not
// exactly what was written must change nothing.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "backup/backup.h"
#include "backup/history.h"
#include "copy/table_desc.h"
#include "db/connection.h"
#include "db/query.h"
#include "db/sql_text.h"
#include "lock/run_lock.h"
#include "recstore/ap_file.h"
#include "run/restore.h"
#include "run/run_report.h"
#include "tests/test_db.h"
#include "tests/test_support_cli.h"
#include "tests/test_support_server.h"

namespace {

namespace fs = std::filesystem;

// Agency 02 is the one saved and restored; 01 and 03 must never change. The values take the
// paths where a copy would lose bytes: quotes, backslashes, NULLs, a 4-byte character, text
// in another character set, the extreme amounts, an id of 0, and on Company columns of every
// other kind the server has (added in SetUp) with their extremes.
constexpr const char* kSeed = R"sql(
SET SESSION sql_mode = CONCAT(@@SESSION.sql_mode, ',NO_AUTO_VALUE_ON_ZERO');
INSERT INTO Bank (RowID, AgyCode, Number, Name, Address1, City, NextCheck, InactiveAcct, Memo) VALUES (7, '02', 'B1', 'O''Neil \\ Savings 😀', NULL, 'Zürich', 2147483647, 1, 'kept');
INSERT INTO Bank (AgyCode, Number, Name, Email) VALUES ('02', 'B2', 'ends in a backslash\\', '');
INSERT INTO Bank (AgyCode, Number, Name) VALUES ('01', 'B1', 'One');
INSERT INTO Bank (AgyCode, Number, Name) VALUES ('03', 'B3', 'Three');
INSERT INTO Trans (RowID, AgyCode, Number, Name, TrnType) VALUES (0, '02', 'T0', 'id zero', -2147483648);
INSERT INTO Trans (AgyCode, Number, Name, TrnType) VALUES ('02', 'T1', 'Tab	and
newline', 1);
INSERT INTO Trans (AgyCode, Number, Name, TrnType) VALUES ('03', 'T3', 'Other', 3);
INSERT INTO Company (AgyCode, Number, Name, AgyCommision, PolViewType, InactiveAcct, xf, xd, xbit, xdt, xts, xdate, xtime, xu, xenum, xset, xbin, xblob, xyear, xlatin) VALUES ('02', 'C1', 'Max', 922337203685477.5807, 2147483647, 1, 1.2345678, 5e-324, b'1000000001', '2026-12-09 19:40:03.123456', '2026-03-29 01:30:00.5', '0000-00-00', '-838:59:59.99', 18446744073709551615, 'b c', 'x,y', X'00FF0A27', X'5C00FF', 0, 'Zürich');
INSERT INTO Company (AgyCode, Number, Name, AgyCommision, xf, xd, xbit, xu, xyear) VALUES ('02', 'C2', 'Min', -922337203685477.5808, 3.4028234e38, -1.7976931348623157e308, b'1111111111', 0, 2155);
INSERT INTO Company (AgyCode, Number, AgyCommision, xf, xd) VALUES ('02', 'C3', 0.0001, 1.17549435e-38, 2.2250738585072014e-308);
INSERT INTO Company (AgyCode, Number, Name) VALUES ('01', 'C1', 'Acme');
INSERT INTO Producer (AgyCode, Number, Name, DefCommission, fUseReplyTo, OnlyCSR) VALUES ('02', 'P1', 'Pat', -0.0001, NULL, NULL);
INSERT INTO Vendor (AgyCode, Number, Name, Ten99Amt) VALUES ('02', 'V1', '', 0);
INSERT INTO DLLines (AgyCode, AL3Line, iSpare1) VALUES ('02', 'L1', 0);
)sql";

constexpr const char* kExtraColumns = R"sql(
ALTER TABLE Company ADD COLUMN xf FLOAT NULL, ADD COLUMN xd DOUBLE NULL, ADD COLUMN xbit BIT(10) NULL, ADD COLUMN xdt DATETIME(6) NULL, ADD COLUMN xts TIMESTAMP(3) NULL DEFAULT NULL, ADD COLUMN xdate DATE NULL, ADD COLUMN xtime TIME(2) NULL, ADD COLUMN xu BIGINT UNSIGNED NULL, ADD COLUMN xenum ENUM('a','b c') NULL, ADD COLUMN xset SET('x','y') NULL, ADD COLUMN xbin VARBINARY(16) NULL, ADD COLUMN xblob BLOB NULL, ADD COLUMN xyear YEAR NULL, ADD COLUMN xlatin VARCHAR(20) CHARACTER SET latin1 NULL, ADD COLUMN xgen INT AS (PolViewType + 1) VIRTUAL;
)sql";

// Key 0 (type, "000", agency, number, "01"), then `tail`.
std::string ApRecord(const std::string& type, const std::string& agency, const std::string& number,
                     const std::string& tail) {
  return type + "000" + agency + Pad(number, 6) + "01" + tail;
}

class BackupTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The backup's time is local time; UTC makes it the same on every machine.
    setenv("TZ", "UTC", 1);
    tzset();
  }

  void SetUp() override {
    scratch_.Run(kExtraColumns);
    scratch_.Run(kSeed);
    const std::string binary = std::string("\0\xFF\x01'\\\"", 6) + std::string(100, '\0');
    InsertAp(ApRecord("009", "02", "A", binary));
    InsertAp(ApRecord("009", "02", "B", "\xFF\xFE"));
    InsertAp(ApRecord("003", "02", "A", std::string(4096 - 16, '\xFF')));
    InsertAp(ApRecord("002", "02", "Z", ""));
    InsertAp(ApRecord("009", "01", "A", "one"));
    InsertAp(ApRecord("009", "03", "A", "three"));
    // A type the copy does not know: no run touches it, so no backup holds it.
    InsertAp(ApRecord("001", "02", "A", "other kind"));
    dir_ = testing_support::MakeTempDir("kelvane-backups");
    options_.backup_dir = (dir_ / "backups").string();
  }

  void TearDown() override { fs::remove_all(dir_); }

  void InsertAp(const std::string& record) {
    scratch_.Run("INSERT INTO zz_data_ap (Index0Col, RecData) VALUES (" +
                 db::HexLiteral(record.substr(0, 16)) + ", " + db::HexLiteral(record) + ");");
  }

  // Every table a run touches and zz_data_ap, whole: the server's checksum of the stored
  // rows (exact for floats, whose text is not) and every row's values as hex.
  std::map<std::string, std::string> Snapshot() {
    db::Connection connection(scratch_.settings());
    std::vector<std::string> tables = {recstore::kApTable};
    for (const copy::TableDesc& table : copy::AllTables()) {
      tables.push_back(table.table);
    }
    std::map<std::string, std::string> state;
    for (const std::string& table : tables) {
      db::Result checksum = connection.Query("CHECKSUM TABLE `" + table + "`");
      std::string text = std::string(checksum.Value(1)) + "\n";
      for (db::Result rows = connection.Query("SELECT * FROM `" + table + "` ORDER BY 1");
           !rows.Eof(); rows.Next()) {
        for (std::size_t i = 0; i < rows.FieldCount(); ++i) {
          text += rows.IsNull(i) ? "NULL" : db::HexLiteral(rows.Value(i));
          text += ' ';
        }
        text += '\n';
      }
      state[table] = text;
    }
    return state;
  }

  // What a run from 01 to 02 does to 02: its rows and records go, others come.
  void SimulateRun() {
    db::Connection connection(scratch_.settings());
    for (const copy::TableDesc& table : copy::AllTables()) {
      connection.Execute("DELETE FROM " + table.table + " WHERE AgyCode = '02'");
    }
    for (const char* type : recstore::kApRecordTypes) {
      connection.Execute(recstore::ApClearStatement(type, "02"));
    }
    scratch_.Run("INSERT INTO Bank (AgyCode, Number, Name) VALUES ('02', 'B1', 'Replaced');");
    scratch_.Run("INSERT INTO Company (AgyCode, Number, xf) VALUES ('02', 'C9', 2.5);");
    InsertAp(ApRecord("009", "02", "A", "copied"));
  }

  std::vector<fs::path> Files() {
    std::vector<fs::path> files;
    if (fs::exists(options_.backup_dir)) {
      for (const fs::directory_entry& entry : fs::directory_iterator(options_.backup_dir)) {
        files.push_back(entry.path());
      }
    }
    return files;
  }

  testing_support::ScratchDatabase scratch_{"kb"};
  db::Connection connection_{scratch_.settings()};
  fs::path dir_;
  run::RestoreOptions options_;
};

uint64_t CountOf(const backup::BackupSummary& summary, const std::string& name) {
  for (const auto& [section, count] : summary.counts) {
    if (section == name) {
      return count;
    }
  }
  return 9999;
}

mode_t ModeOf(const fs::path& path) {
  struct stat info {};

  EXPECT_EQ(0, ::stat(path.c_str(), &info)) << path;
  return info.st_mode & 07777;
}

TEST_F(BackupTest, RestoreGivesBackExactlyWhatWasSavedAndCanItselfBeUndone) {
  // The session's own zone must neither shift the saved timestamps nor be changed for good.
  connection_.Execute("SET SESSION time_zone = '+05:30'");
  const auto saved = Snapshot();
  const backup::BackupSummary backup =
      backup::WriteBackup(connection_, options_.backup_dir, "01", "02");
  EXPECT_EQ("+05:30", std::string(connection_.Query("SELECT @@SESSION.time_zone").Value(0)));
  EXPECT_EQ(scratch_.name(), backup.database);
  EXPECT_EQ(2u, CountOf(backup, "Bank"));
  EXPECT_EQ(3u, CountOf(backup, "Company"));
  EXPECT_EQ(2u, CountOf(backup, "Trans"));
  EXPECT_EQ(0u, CountOf(backup, "AddInt2"));
  EXPECT_EQ(2u, CountOf(backup, "ap 009"));
  EXPECT_EQ(1u, CountOf(backup, "ap 003"));
  EXPECT_EQ(1u, CountOf(backup, "ap 002"));
  EXPECT_EQ(10u, backup.rows);
  EXPECT_EQ(4u, backup.records);
  EXPECT_EQ(saved, Snapshot());

  SimulateRun();
  const auto after_run = Snapshot();
  ASSERT_NE(saved, after_run);

  db::Connection other_zone(scratch_.settings());
  other_zone.Execute("SET SESSION time_zone = '-03:00'");
  const std::string sql_mode = std::string(other_zone.Query("SELECT @@SESSION.sql_mode").Value(0));
  std::vector<std::string> locked;
  options_.take_lock = [&locked](const std::string& code) -> std::shared_ptr<void> {
    locked.push_back(code);
    return std::make_shared<int>(0);
  };
  const run::RestoreResult restored = run::RestoreRun(other_zone, backup.path, options_).Execute();
  EXPECT_EQ(saved, Snapshot());
  EXPECT_EQ(std::vector<std::string>{"02"}, locked);
  EXPECT_EQ(sql_mode, std::string(other_zone.Query("SELECT @@SESSION.sql_mode").Value(0)));
  EXPECT_EQ("-03:00", std::string(other_zone.Query("SELECT @@SESSION.time_zone").Value(0)));
  ASSERT_EQ(19u, restored.sections.size());
  EXPECT_EQ("Bank", restored.sections[0].name);
  EXPECT_EQ(2u, restored.sections[0].saved);
  EXPECT_EQ(1u, restored.sections[0].replaced);
  EXPECT_EQ("Bank: 2 rows restored, 1 replaced", run::DescribeRestore(restored)[0]);
  EXPECT_EQ("ap 009: 2 records restored, 1 replaced", run::DescribeRestore(restored)[12]);

  // The restore saved what it replaced: restoring that gives the run's state back.
  ASSERT_TRUE(restored.backup.has_value());
  EXPECT_EQ("restore", restored.backup->from_code);
  EXPECT_EQ(2u, restored.backup->rows);
  const run::RestoreResult undone =
      run::RestoreRun(connection_, restored.backup->path, options_).Execute();
  EXPECT_EQ(after_run, Snapshot());
  ASSERT_TRUE(undone.backup.has_value());
  run::RestoreRun(connection_, undone.backup->path, options_).Execute();
  EXPECT_EQ(saved, Snapshot());
  EXPECT_EQ("+05:30", std::string(connection_.Query("SELECT @@SESSION.time_zone").Value(0)));
}

TEST_F(BackupTest, StockClientRestoresTheFileByItself) {
  const auto saved = Snapshot();
  const backup::BackupSummary backup =
      backup::WriteBackup(connection_, options_.backup_dir, "01", "02");
  backup::MarkBackupOutcome(backup.path, true);
  SimulateRun();
  ASSERT_NE(saved, Snapshot());
  const db::ConnectionSettings settings = scratch_.settings();
  const fs::path out = dir_ / "client.out";
  testing_support::ProgramIo io = testing_support::ProgramIo::Input(backup.path);
  io.output = out;
  ASSERT_EQ(
      0, testing_support::RunProgram(
             {"mariadb", "--no-defaults", std::string("--socket=") + std::getenv("MYSQL_UNIX_PORT"),
              "-u" + settings.user, "-p" + settings.password, settings.database},
             io))
      << testing_support::ReadFile(out);
  EXPECT_EQ(saved, Snapshot());
}

TEST_F(BackupTest, FilesAreNewPrivateAndDistinctWithinOneMillisecond) {
  const fs::path folder = dir_ / "a" / "b" / "backups";
  const auto time = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796845203123));
  const backup::BackupSummary first =
      backup::WriteBackup(connection_, folder.string(), "01", "02", time);
  const backup::BackupSummary second =
      backup::WriteBackup(connection_, folder.string(), "01", "02", time);
  EXPECT_EQ((folder / "20261209-194003.123-01-to-02.sql").string(), first.path);
  EXPECT_EQ((folder / "20261209-194003.123-01-to-02-2.sql").string(), second.path);
  EXPECT_EQ("2026-12-09 19:40:03.123 +0000", first.time);
  EXPECT_EQ(0700u, ModeOf(dir_ / "a"));
  EXPECT_EQ(0700u, ModeOf(dir_ / "a" / "b"));
  EXPECT_EQ(0700u, ModeOf(folder));
  EXPECT_EQ(0600u, ModeOf(first.path));
  EXPECT_EQ(0600u, ModeOf(second.path));
  // Nothing but the two files: no temporary file is left behind.
  EXPECT_EQ(2, std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
  const std::vector<backup::HistoryEntry> history = backup::ListBackups(folder.string());
  ASSERT_EQ(2u, history.size());
  EXPECT_EQ(second.path, history[0].path);
  EXPECT_EQ(first.path, history[1].path);
}

TEST_F(BackupTest, UnwritableFolderIsReportedWithTheSystemsError) {
  const fs::path file = dir_ / "plain-file";
  testing_support::WriteFile(file, "not a folder");
  try {
    backup::WriteBackup(connection_, (file / "backups").string(), "01", "02");
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ("Cannot create the backups folder " + file.string() + ": " + std::strerror(ENOTDIR),
              std::string(e.what()));
  }
  if (::geteuid() != 0) {
    const fs::path locked = dir_ / "locked";
    fs::create_directory(locked);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    try {
      backup::WriteBackup(connection_, locked.string(), "01", "02");
      FAIL() << "no error";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string::npos, std::string(e.what()).find(locked.string()));
      EXPECT_NE(std::string::npos, std::string(e.what()).find(std::strerror(EACCES)));
    }
    EXPECT_TRUE(fs::is_empty(locked));
  }
}

// How a file can be damaged, and what the refusal must say.
struct Tamper {
  const char* name;
  std::string (*change)(std::string text);
  const char* says;
};

std::string ChangeValueByte(std::string text) {
  // The first saved value of the Bank rows: "X'..." after the insert's column list.
  const std::size_t insert = text.find("INSERT INTO `Bank`");
  const std::size_t value = text.find("X'", text.find("VALUES", insert)) + 2;
  text[value] = text[value] == '0' ? '1' : '0';
  return text;
}

std::string CutLastLine(std::string text) {
  return text.substr(0, text.size() - 5);
}

std::string CutInsideStatements(std::string text) {
  return text.substr(0, text.find("INSERT INTO `Company`") + 30);
}

std::string DropCommit(std::string text) {
  const std::size_t commit = text.find("COMMIT;\n");
  return text.erase(commit, 8);
}

std::string ChangeHeaderCount(std::string text) {
  const std::size_t count = text.find("-- table Bank: rows=2 ");
  return text.replace(count, 22, "-- table Bank: rows=3 ");
}

std::string DropInsertLine(std::string text) {
  const std::size_t start = text.find("INSERT INTO `Trans`");
  return text.erase(start, text.find('\n', start) + 1 - start);
}

std::string LowerCaseHex(std::string text) {
  text[text.find("FF", text.find("INSERT INTO zz_data_ap"))] = 'f';
  return text;
}

TEST_F(BackupTest, DamagedFileIsRefusedAndChangesNothing) {
  const backup::BackupSummary backup =
      backup::WriteBackup(connection_, options_.backup_dir, "01", "02");
  const std::string text = testing_support::ReadFile(backup.path);
  SimulateRun();
  const auto before = Snapshot();
  const Tamper tampers[] = {
      {"value byte", ChangeValueByte, "the statements of Bank do not match the header's checksum"},
      {"last line cut", CutLastLine, "is cut off (the file ends inside it)"},
      {"cut in the middle", CutInsideStatements, "is cut off (the file ends inside it)"},
      {"no COMMIT", DropCommit, "expected the COMMIT"},
      {"header count", ChangeHeaderCount, "the header says Bank has 3, the file holds 2"},
      {"a line removed", DropInsertLine, "the statements of Trans do not match"},
      {"lower-case hex", LowerCaseHex, "a hex value is damaged"},
  };
  for (const Tamper& tamper : tampers) {
    SCOPED_TRACE(tamper.name);
    const fs::path damaged = dir_ / "damaged.sql";
    testing_support::WriteFile(damaged, tamper.change(text));
    try {
      run::RestoreRun(connection_, damaged.string(), options_).Execute();
      ADD_FAILURE() << "not refused";
    } catch (const run::RestoreRefused& e) {
      const std::string message = e.what();
      EXPECT_NE(std::string::npos, message.find(damaged.string())) << message;
      EXPECT_NE(std::string::npos, message.find(tamper.says)) << message;
      EXPECT_NE(std::string::npos, message.find("Nothing was changed.")) << message;
    }
    EXPECT_EQ(before, Snapshot());
  }
  // Refused before the restore's own backup, too.
  EXPECT_EQ(1u, Files().size());
}

TEST_F(BackupTest, ColumnGoneSinceTheBackupIsRefusedByName) {
  const backup::BackupSummary backup =
      backup::WriteBackup(connection_, options_.backup_dir, "01", "02");
  SimulateRun();
  scratch_.Run("ALTER TABLE Vendor DROP COLUMN Memo;");
  const auto before = Snapshot();
  try {
    run::RestoreRun(connection_, backup.path, options_).Execute();
    FAIL() << "not refused";
  } catch (const run::RestoreRefused& e) {
    EXPECT_EQ("Refusing to restore " + backup.path +
                  ": table Vendor has no column `Memo` any more, which the backup holds. "
                  "Nothing was changed.",
              std::string(e.what()));
  }
  EXPECT_EQ(before, Snapshot());
  EXPECT_EQ(1u, Files().size());
}

TEST_F(BackupTest, OtherDatabaseIsRefused) {
  const backup::BackupSummary backup =
      backup::WriteBackup(connection_, options_.backup_dir, "01", "02");
  testing_support::ScratchDatabase other("kb");
  db::Connection connection(other.settings());
  try {
    run::RestoreRun(connection, backup.path, options_).Execute();
    FAIL() << "not refused";
  } catch (const run::RestoreRefused& e) {
    EXPECT_EQ("Refusing to restore " + backup.path + ": it was made in database '" +
                  scratch_.name() + "', and this connection is to '" + other.name() +
                  "'. Nothing was changed.",
              std::string(e.what()));
  }
  EXPECT_EQ("0", other.Scalar("SELECT COUNT(*) FROM Bank"));
}

TEST_F(BackupTest, FailureInsideTheRestoreRollsEverythingBack) {
  const backup::BackupSummary backup =
      backup::WriteBackup(connection_, options_.backup_dir, "01", "02");
  SimulateRun();
  // Agency 03 takes a name the saved Trans rows hold, so the restore fails late, after the
  // tables before Trans were already replaced inside its transaction.
  scratch_.Run("INSERT INTO Trans (AgyCode, Number, Name) VALUES ('03', 'TX', 'id zero');");
  scratch_.Run("ALTER TABLE Trans ADD UNIQUE KEY Trans_Name (Name);");
  const auto before = Snapshot();
  try {
    run::RestoreRun(connection_, backup.path, options_).Execute();
    FAIL() << "no error";
  } catch (const run::RestoreRefused&) {
    FAIL() << "refused instead of failing";
  } catch (const std::runtime_error& e) {
    const std::string message = e.what();
    EXPECT_NE(std::string::npos, message.find("failed and was rolled back")) << message;
    EXPECT_NE(std::string::npos, message.find("Duplicate entry 'id zero'")) << message;
  }
  EXPECT_EQ(before, Snapshot());
  const std::vector<backup::HistoryEntry> history = backup::ListBackups(options_.backup_dir);
  ASSERT_EQ(2u, history.size());
  EXPECT_EQ("restore", history[0].from_code);
  EXPECT_EQ(backup::RunOutcome::kFailed, history[0].outcome);
}

// Each refusal or failure of a restore names its step, what it left changed (nothing) and
// the backup it made, so that a caller can tell them apart without reading the text.
TEST_F(BackupTest, RestoreFailuresNameTheirStepAndTheBackup) {
  const backup::BackupSummary backup =
      backup::WriteBackup(connection_, options_.backup_dir, "01", "02");
  SimulateRun();
  const auto step_of = [this](db::Connection& connection, const std::string& path) {
    try {
      run::RestoreRun(connection, path, options_).Execute();
    } catch (const run::RunError& e) {
      EXPECT_EQ(run::Changed::kNothing, e.changed());
      return std::make_pair(e.step(), e.backup_file());
    }
    ADD_FAILURE() << "the restore did not fail";
    return std::make_pair(run::RunStep::kFinish, std::string());
  };
  EXPECT_EQ(std::make_pair(run::RunStep::kCheck, std::string()),
            step_of(connection_, (dir_ / "missing.sql").string()));
  {
    const std::unique_ptr<lock::RunLock> other_run =
        lock::RunLock::Acquire(scratch_.settings(), {"02"}, "run 01 to 02");
    EXPECT_EQ(std::make_pair(run::RunStep::kLock, std::string()),
              step_of(connection_, backup.path));
  }
  scratch_.Run("INSERT INTO Trans (AgyCode, Number, Name) VALUES ('03', 'TX', 'id zero');");
  scratch_.Run("ALTER TABLE Trans ADD UNIQUE KEY Trans_Name (Name);");
  const auto [step, backup_file] = step_of(connection_, backup.path);
  EXPECT_EQ(run::RunStep::kRestore, step);
  ASSERT_FALSE(backup_file.empty());
  EXPECT_NE(backup.path, backup_file);
  EXPECT_TRUE(fs::exists(backup_file)) << backup_file;
}

TEST_F(BackupTest, DryRunCountsWithoutLockBackupOrChange) {
  const backup::BackupSummary backup =
      backup::WriteBackup(connection_, options_.backup_dir, "01", "02");
  SimulateRun();
  const auto before = Snapshot();
  options_.dry_run = true;
  options_.take_lock = [](const std::string&) -> std::shared_ptr<void> {
    throw std::runtime_error("a dry run takes no lock");
  };
  const run::RestoreResult result = run::RestoreRun(connection_, backup.path, options_).Execute();
  EXPECT_EQ(before, Snapshot());
  EXPECT_EQ(1u, Files().size());
  EXPECT_FALSE(result.backup.has_value());
  EXPECT_EQ("Bank: would restore 2 rows, replacing 1", run::DescribeRestore(result)[0]);
  EXPECT_EQ("Company: would restore 3 rows, replacing 1", run::DescribeRestore(result)[2]);
  EXPECT_EQ("ap 002: would restore 1 record, replacing 0", run::DescribeRestore(result)[17]);
}

TEST_F(BackupTest, RestoreTakesTheAgencysRunLock) {
  const backup::BackupSummary backup =
      backup::WriteBackup(connection_, options_.backup_dir, "01", "02");
  SimulateRun();
  const auto before = Snapshot();
  {
    const std::unique_ptr<lock::RunLock> other_run =
        lock::RunLock::Acquire(scratch_.settings(), {"03", "02"}, "run 03 to 02");
    EXPECT_THROW(run::RestoreRun(connection_, backup.path, options_).Execute(), run::LockHeld);
    EXPECT_EQ(before, Snapshot());
    EXPECT_EQ(1u, Files().size());  // refused before it saved anything either
  }
  run::RestoreRun(connection_, backup.path, options_).Execute();
  EXPECT_NE(before, Snapshot());
  // Released when the restore returned.
  EXPECT_NO_THROW(lock::RunLock::Acquire(scratch_.settings(), {"02"}, "next run"));
}

TEST_F(BackupTest, HistoryListsNewestFirstWithCountsAndOutcome) {
  using std::chrono::milliseconds;
  const std::string folder = options_.backup_dir;
  const auto base = std::chrono::system_clock::time_point(milliseconds(1796845203123));
  const backup::BackupSummary first = backup::WriteBackup(connection_, folder, "01", "02", base);
  backup::MarkBackupOutcome(first.path, true);
  const backup::BackupSummary second =
      backup::WriteBackup(connection_, folder, "03", "02", base + milliseconds(1));
  backup::MarkBackupOutcome(second.path, true);
  backup::MarkBackupOutcome(second.path, false);  // the later outcome replaces the earlier
  const backup::BackupSummary third =
      backup::WriteBackup(connection_, folder, "restore", "01", base + std::chrono::hours(1));
  // A file without a header is placed by its modification time, here long before the others.
  testing_support::WriteFile(fs::path(folder) / "notes.sql", "SELECT 1;\n");
  fs::last_write_time(fs::path(folder) / "notes.sql",
                      std::chrono::file_clock::from_sys(std::chrono::sys_seconds{
                          std::chrono::sys_days{std::chrono::year{2000} / 1 / 1}}));
  testing_support::WriteFile(fs::path(folder) / ".20261209-194003.123-01-to-02.1.0.tmp", "");

  const std::vector<backup::HistoryEntry> history = backup::ListBackups(folder);
  ASSERT_EQ(4u, history.size());
  EXPECT_EQ(third.path, history[0].path);
  EXPECT_EQ(second.path, history[1].path);
  EXPECT_EQ(first.path, history[2].path);
  EXPECT_EQ(folder + "/notes.sql", history[3].path);
  EXPECT_EQ(
      "2026-12-09 20:40:03.123 +0000  restore -> 01  2 rows, 1 record  unknown  " + third.path,
      backup::FormatHistoryLine(history[0]));
  EXPECT_EQ("2026-12-09 19:40:03.124 +0000  03 -> 02  10 rows, 4 records  failed  " + second.path,
            backup::FormatHistoryLine(history[1]));
  EXPECT_EQ(backup::RunOutcome::kCompleted, history[2].outcome);
  EXPECT_NE(std::string::npos, history[3].problem.find("it is not a Kelvane backup"));
  EXPECT_EQ(
      "[{\"time\":\"2026-12-09 19:40:03.123 +0000\",\"from\":\"01\",\"to\":\"02\","
      "\"database\":\"" +
          scratch_.name() +
          "\",\"rows\":10,\"records\":4,\"outcome\":\"completed\","
          "\"file\":\"" +
          first.path + "\"}]",
      run::HistoryJson({history[2]}));
  // Marking changes nothing a restore checks.
  EXPECT_FALSE(run::ReadBackupFile(second.path).completed.value());
  EXPECT_TRUE(backup::ListBackups((dir_ / "none").string()).empty());
}

TEST(BackupDir, FollowsTheEnvironmentAndTheBaseDirectoryRules) {
  struct Case {
    const char* backup_dir;
    const char* state_home;
    const char* expected;
  };

  const Case cases[] = {
      {"/srv/kept", "/state", "/srv/kept"},
      {"", "/state", "/state/kelvane/backups"},
      {nullptr, "/state", "/state/kelvane/backups"},
      {nullptr, "relative/state", "/home/pat/.local/state/kelvane/backups"},
      {nullptr, "", "/home/pat/.local/state/kelvane/backups"},
      {nullptr, nullptr, "/home/pat/.local/state/kelvane/backups"},
  };
  const std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  setenv("HOME", "/home/pat", 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    c.backup_dir != nullptr ? setenv("KELVANE_BACKUP_DIR", c.backup_dir, 1)
                            : unsetenv("KELVANE_BACKUP_DIR");
    c.state_home != nullptr ? setenv("XDG_STATE_HOME", c.state_home, 1)
                            : unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(c.expected, backup::DefaultBackupDir());
  }
  unsetenv("KELVANE_BACKUP_DIR");
  unsetenv("XDG_STATE_HOME");
  setenv("HOME", home.c_str(), 1);
}

}  // namespace
