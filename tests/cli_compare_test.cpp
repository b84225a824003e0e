// The built program's comparison of two agencies (--compare) and its choice of tables
// (--only, --except), against the private server.
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "tests/test_db.h"
#include "tests/test_support_cli.h"
#include <nlohmann/json.hpp>

namespace {

namespace fs = std::filesystem;
using testing_support::ScratchDatabase;
using Outcome = testing_support::CliOutcome;

// Counts of a table or ap record type: same, only_from, only_to, differ.
using Counts = std::map<std::string, std::vector<uint64_t>>;

class CompareTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, std::getenv("KELVANE_BIN")) << "KELVANE_BIN names the built program";
    dir_ = testing_support::MakeTempDir("kelvane-compare");
    fs::create_directory(dir_ / "work");
    database_.Run(testing_support::DemoSql());
  }

  void TearDown() override { fs::remove_all(dir_); }

  Outcome Run(const std::string& args) {
    return testing_support::RunKelvane(dir_, database_.settings(), args);
  }

  std::string Everything() const { return testing_support::WholeDatabase(database_.settings()); }

  static Counts CountsOf(const nlohmann::json& document) {
    Counts counts;
    for (const char* part : {"tables", "ap"}) {
      for (const nlohmann::json& entry : document.at(part)) {
        const std::string name = entry.contains("table")
                                     ? entry.at("table").get<std::string>()
                                     : "ap " + entry.at("type").get<std::string>();
        counts[name] = {entry.at("same"), entry.at("only_from"), entry.at("only_to"),
                        entry.at("differ")};
      }
    }
    return counts;
  }

  fs::path dir_;
  ScratchDatabase database_{"kcmp"};
};

TEST_F(CompareTest, ReportsExactlyWhatACopyWouldChangeAndChangesNothing) {
  ASSERT_EQ(0, Run("--from 01 --to 02").status);
  ASSERT_EQ(0, Run("--from 01 --to 03").status);
  database_.Run(
      "DELETE FROM Bank WHERE AgyCode = '03' AND Number = 'B2';\n"
      "UPDATE Company SET Name = 'Renamed' WHERE AgyCode = '03' AND Number = 'C1';\n"
      "INSERT INTO Producer (AgyCode, Number, Name) VALUES ('03', 'P9', 'New one');\n"
      "UPDATE zz_data_ap SET RecData = CONCAT(LEFT(RecData, 30), 'x', SUBSTRING(RecData, 32)) "
      "WHERE Index0Col LIKE '00300003C1%';\n"
      "DELETE FROM zz_data_ap WHERE Index0Col LIKE '00900003B3%';\n");
  const std::string before = Everything();

  const Outcome differs = Run("--compare --from 02 --to 03 --json");

  EXPECT_EQ(1, differs.status) << differs.err;
  const nlohmann::json document = nlohmann::json::parse(differs.out);
  EXPECT_EQ("02", document.at("from"));
  EXPECT_EQ(false, document.at("identical"));
  Counts expected = {
      {"Bank", {2, 1, 0, 0}},     {"ClassTypes", {3, 0, 0, 0}}, {"Company", {2, 0, 0, 1}},
      {"CmpCont", {2, 0, 0, 0}},  {"Department", {2, 0, 0, 0}}, {"GLCodes", {2, 0, 0, 0}},
      {"Producer", {2, 0, 1, 0}}, {"Trans", {3, 0, 0, 0}},      {"Vendor", {2, 0, 0, 0}},
      {"AddInt2", {2, 0, 0, 0}},  {"DLNAIC", {2, 0, 0, 0}},     {"DLLines", {2, 0, 0, 0}},
      {"ap 009", {2, 1, 0, 0}},   {"ap 006", {2, 0, 0, 0}},     {"ap 003", {1, 0, 0, 1}},
      {"ap 005", {2, 0, 0, 0}},   {"ap 008", {2, 0, 0, 0}},     {"ap 002", {2, 0, 0, 0}},
      {"ap 007", {2, 0, 0, 0}},
  };
  EXPECT_EQ(expected, CountsOf(document));
  EXPECT_EQ(12u, document.at("tables").size());
  EXPECT_EQ("Bank", document.at("tables")[0].at("table"));
  EXPECT_EQ(R"([{"change":"differ","columns":["Name"],"key":"C1"}])",
            document.at("tables")[2].at("rows").dump());
  EXPECT_EQ(R"([{"change":"only_to","key":"P9"}])", document.at("tables")[6].at("rows").dump());
  EXPECT_EQ(R"([{"bytes":["31"],"change":"differ","key":"C1    01"}])",
            document.at("ap")[2].at("records").dump());

  const Outcome same = Run("--compare --from 01 --to 02");
  EXPECT_EQ(0, same.status) << same.out << same.err;
  EXPECT_NE(std::string::npos, same.out.find("would change nothing")) << same.out;
  const Outcome same_json = Run("--compare --from 01 --to 02 --json");
  EXPECT_EQ(true, nlohmann::json::parse(same_json.out).at("identical"));
  EXPECT_EQ(before, Everything());
}

// A column the copy does not write is one a copy resets; it makes two agencies unlike.
TEST_F(CompareTest, NamesColumnsACopyResetsAndChoosesTablesLikeARun) {
  ASSERT_EQ(0, Run("--from 01 --to 02").status);
  database_.Run("UPDATE Bank SET Memo = 'kept' WHERE AgyCode = '02' AND Number = 'B1';");

  const Outcome outcome = Run("--compare --from 01 --to 02 --only bank --json");

  EXPECT_EQ(1, outcome.status) << outcome.err;
  const nlohmann::json document = nlohmann::json::parse(outcome.out);
  EXPECT_EQ(1u, document.at("tables").size());
  EXPECT_EQ(R"([{"column":"Memo","rows":1}])", document.at("tables")[0].at("reset_columns").dump());
  EXPECT_EQ("009", document.at("ap")[0].at("type"));
  EXPECT_EQ(0, Run("--compare --from 01 --to 02 --except Bank").status);
}

TEST_F(CompareTest, OnlyCopiesTheChosenTablesAndItsBackupPutsBackExactlyThose) {
  const std::string before = Everything();
  const Outcome run = Run("--from 01 --to 02 --only Bank,COMPANY --json");
  ASSERT_EQ(0, run.status) << run.err;
  const nlohmann::json report = nlohmann::json::parse(run.out).at("run");
  ASSERT_EQ(2u, report.at("steps").size());
  EXPECT_EQ("CopyCompany", report.at("steps")[1].at("method"));

  // Bank, Company and their ap types hold the copy; everything else is as it was.
  const Outcome compared = Run("--compare --from 01 --to 02 --json");
  const Counts counts = CountsOf(nlohmann::json::parse(compared.out));
  for (const auto& [name, values] : counts) {
    const bool copied = name == "Bank" || name == "Company" || name == "ap 009" || name == "ap 003";
    EXPECT_EQ(copied, values[1] + values[2] + values[3] == 0) << name;
  }
  const Outcome history = Run("--history --json");
  EXPECT_NE(std::string::npos, history.out.find(R"("tables":["Bank","Company"])")) << history.out;

  const std::string file = report.at("backup_file");
  const Outcome restore = Run("--restore '" + file + "' --no-backup");
  EXPECT_EQ(0, restore.status) << restore.err;
  EXPECT_EQ(
      "Bank: 1 row restored, 3 replaced\nCompany: 1 row restored, 3 replaced\n"
      "ap 009: 1 record restored, 3 replaced\nap 003: 1 record restored, 2 replaced\n",
      restore.out.substr(0, restore.out.find("Agency")));
  EXPECT_EQ(before, Everything());

  const Outcome except = Run("--from 01 --to 02 --except Vendor,DLLines --json");
  ASSERT_EQ(0, except.status) << except.err;
  EXPECT_EQ(10u, nlohmann::json::parse(except.out).at("run").at("steps").size());
  EXPECT_EQ("1", database_.Scalar("SELECT COUNT(*) FROM Vendor WHERE AgyCode = '02'"));
  EXPECT_EQ("2", database_.Scalar("SELECT COUNT(*) FROM DLNAIC WHERE AgyCode = '02'"));

  const std::string unchanged = Everything();
  for (const char* args : {"--from 01 --to 02 --only Banx", "--from 01 --to 02 --only Bank,",
                           "--from 01 --to 02 --only Bank --except Vendor",
                           "--compare --from 01 --to 02 --dry-run", "--history --only Bank"}) {
    const Outcome refused = Run(args);
    EXPECT_EQ(2, refused.status) << args;
    EXPECT_EQ("", refused.out) << args;
  }
  EXPECT_NE(std::string::npos, Run("--from 01 --to 02 --only Banx").err.find("Bank, ClassTypes"));
  EXPECT_EQ(unchanged, Everything());
}

}  // namespace
