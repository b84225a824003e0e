// The checks before a run, against the real server's catalogue.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backup/backup.h"
#include "copy/catalogue.h"
#include "copy/plan.h"
#include "copy/preflight.h"
#include "copy/table_desc.h"
#include "db/connection.h"
#include "tests/test_db.h"
#include "tests/test_support_cli.h"
#include "tests/test_support_server.h"

namespace {

using copy::AllTables;
using copy::NonTransactionalTables;
using copy::PreflightProblems;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

// Every test changes the schema, so each gets a database of its own.
class PreflightTest : public testing::Test {
 protected:
  Lines Problems(bool ap_read_open = true, bool ap_write_open = true) {
    return PreflightProblems(connection_, AllTables(), ap_read_open, ap_write_open);
  }

  testing_support::ScratchDatabase scratch_{"kpf"};
  db::Connection connection_{scratch_.settings()};
};

TEST_F(PreflightTest, FullSchemaHasNoProblems) {
  EXPECT_EQ(Lines{}, Problems());
  EXPECT_EQ(Lines{}, NonTransactionalTables(connection_, AllTables()));
}

TEST_F(PreflightTest, NamesEveryMissingColumnOfATable) {
  scratch_.Run("ALTER TABLE Vendor DROP COLUMN FedID, DROP COLUMN Ten99Type");
  scratch_.Run("ALTER TABLE Bank DROP COLUMN NextCheck");
  // Read under "email", inserted as Email: one column, one mention.
  scratch_.Run("ALTER TABLE Department DROP COLUMN Email");
  EXPECT_EQ((Lines{"Table Bank lacks column NextCheck", "Table Department lacks column Email",
                   "Table Vendor lacks columns FedID, Ten99Type"}),
            Problems());
}

TEST_F(PreflightTest, ColumnsNeededOnlyByTheStatementsCount) {
  // AgyCode has no source name, yet the clear and the select filter on it.
  scratch_.Run("ALTER TABLE Trans DROP COLUMN AgyCode");
  EXPECT_EQ(Lines{"Table Trans lacks column AgyCode"}, Problems());
}

TEST_F(PreflightTest, MissingTables) {
  scratch_.Run("DROP TABLE DLNAIC");
  scratch_.Run("DROP TABLE zz_data_ap");
  EXPECT_EQ((Lines{"Table DLNAIC does not exist", "Table zz_data_ap does not exist"}), Problems());
}

TEST_F(PreflightTest, TableNameInAnotherLetterCase) {
  if (scratch_.Scalar("SELECT @@lower_case_table_names") != "0") {
    GTEST_SKIP() << "the server matches table names without regard to case";
  }
  scratch_.Run("RENAME TABLE GLCodes TO GlCodes");
  EXPECT_EQ(Lines{"Table GLCodes does not exist (the server tells letter case apart in table "
                  "names; it holds GlCodes)"},
            Problems());
}

TEST_F(PreflightTest, InsertTableIsCheckedUnderItsOwnSpelling) {
  if (scratch_.Scalar("SELECT @@lower_case_table_names") != "0") {
    GTEST_SKIP() << "the server matches table names without regard to case";
  }
  // An insert spelled "GlCodes" beside a clear and select of "GLCodes" would fail at the
  // first row, after the clear had run.
  copy::TableDesc gl = copy::TableByMethod("CopyGL");
  gl.insert_text.replace(gl.insert_text.find("GLCodes"), 7, "GlCodes");
  gl.insert_table = "GlCodes";
  EXPECT_EQ(Lines{"Table GlCodes does not exist (the server tells letter case apart in table "
                  "names; it holds GLCodes)"},
            PreflightProblems(connection_, {gl}, true, true));
}

TEST_F(PreflightTest, ApTableColumns) {
  scratch_.Run("ALTER TABLE zz_data_ap CHANGE RecData Payload VARBINARY(4096) NOT NULL");
  EXPECT_EQ(Lines{"Table zz_data_ap lacks column RecData"}, Problems());
}

TEST_F(PreflightTest, ApHandlesMustBeOpen) {
  EXPECT_EQ(Lines{"ap record file is not open for reading"}, Problems(false, true));
  EXPECT_EQ(Lines{"ap record file is not open for writing"}, Problems(true, false));
  EXPECT_EQ(
      (Lines{"ap record file is not open for reading", "ap record file is not open for writing"}),
      Problems(false, false));
}

TEST_F(PreflightTest, TablesWithoutApRecordsNeedNeitherTheApTableNorTheHandles) {
  scratch_.Run("DROP TABLE zz_data_ap");
  std::vector<copy::TableDesc> vendors = {copy::TableByMethod("CopyVendor")};
  EXPECT_EQ(Lines{}, PreflightProblems(connection_, vendors, false, false));
}

TEST_F(PreflightTest, NonTransactionalTablesAreNamedWithTheirEngine) {
  scratch_.Run("ALTER TABLE Bank ENGINE=MyISAM");
  scratch_.Run("ALTER TABLE zz_data_ap ENGINE=Aria");
  scratch_.Run("ALTER TABLE DLLines ENGINE=MEMORY");
  EXPECT_EQ((Lines{"Bank (MyISAM)", "DLLines (MEMORY)", "zz_data_ap (Aria)"}),
            NonTransactionalTables(connection_, AllTables()));
  // An engine choice is no reason not to run.
  EXPECT_EQ(Lines{}, Problems());
}

// A server that folds table names (lower_case_table_names 1, as on Windows) holds "bank" for
// the statements' "Bank": the checks, the plan's sizes and the backup must find it all the same.
TEST(FoldedTableNames, ChecksPlanAndBackupFindEveryTable) {
  testing_support::PrivateServer server({"--lower-case-table-names=1"});
  ASSERT_TRUE(server.Start()) << server.log();
  ASSERT_TRUE(server.Admin("CREATE DATABASE kfold CHARACTER SET utf8mb4"));
  ASSERT_TRUE(server.Admin(testing_support::SchemaSql(), "kfold"));
  ASSERT_TRUE(server.Admin(testing_support::DemoSql() + "; ANALYZE TABLE Bank, Company", "kfold"));
  db::ConnectionSettings settings;
  settings.user = "kelvane";
  settings.password = "kelvane";
  settings.database = "kfold";
  settings.transport.socket = server.socket();
  db::Connection connection(settings);

  const copy::Catalogue catalogue = copy::Catalogue::Read(connection);
  ASSERT_TRUE(catalogue.names_ignore_case());
  EXPECT_EQ(Lines{}, PreflightProblems(catalogue, AllTables(), true, true));
  const copy::Plan plan = copy::PlanRun(connection, catalogue, AllTables(), "01", "02");
  for (const char* table : {"Bank", "Company"}) {
    const auto it = std::find_if(plan.begin(), plan.end(), [&](const copy::TablePlan& entry) {
      return entry.table == table;
    });
    ASSERT_NE(plan.end(), it);
    EXPECT_LT(0u, it->average_row_bytes) << table;
  }
  const fs::path dir = testing_support::MakeTempDir("kelvane-fold");
  const backup::BackupSummary saved = backup::WriteBackup(connection, dir.string(), "01", "02");
  EXPECT_EQ(server.Scalar("SELECT COUNT(*) FROM Bank WHERE AgyCode = '02'", "kfold"),
            std::to_string(saved.counts.front().second));
  fs::remove_all(dir);
}

}  // namespace
