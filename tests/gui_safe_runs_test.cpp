// The safe-run features through the window: the check before a run names every problem in
// one message, and a large step shows its progress.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>

#include <gtest/gtest.h>

#include "app/main_form.h"
#include "db/connection.h"
#include "db/query.h"
#include "recstore/recstore.h"
#include "tests/test_db.h"
#include "tests/test_support_cli.h"

namespace {

namespace fs = std::filesystem;
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

class SafeRunTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing_support::MakeTempDir("kelvane-safe");
    fs::create_directory(dir_ / "work");
    database_ = std::make_unique<ScratchDatabase>("ksafe");
    database_->Run(testing_support::DemoSql());
  }

  void TearDown() override {
    database_.reset();
    fs::remove_all(dir_);
  }

  std::string Count(const std::string& table, const std::string& code) {
    return database_->Scalar("SELECT COUNT(*) FROM " + table + " WHERE AgyCode = '" + code + "'");
  }

  fs::path dir_;
  std::unique_ptr<ScratchDatabase> database_;
};

TEST_F(SafeRunTest, WindowReportsEveryPreflightProblemInOneMessageAndRunsNothing) {
  database_->Run("ALTER TABLE Vendor DROP COLUMN Name;\nALTER TABLE Bank DROP COLUMN City;");
  const auto before = Checksums(*database_);
  const fs::path old_dir = fs::current_path();
  testing_support::WriteConfigFile((dir_ / "zarfiles.ini").string(), database_->settings());
  setenv("KELVANE_CONFIG", (dir_ / "zarfiles.ini").c_str(), 1);
  fs::current_path(dir_ / "work");
  std::vector<std::string> messages;
  {
    TForm1 form([&messages](const std::string& text) { messages.push_back(text); });
    form.show();
    QTest::mouseClick(form.findChild<QPushButton*>("Button1"), Qt::LeftButton);
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(form.run_report().steps.empty());
  }
  fs::current_path(old_dir);
  ASSERT_EQ(1u, messages.size());
  EXPECT_NE(std::string::npos, messages[0].find("Table Bank lacks column City")) << messages[0];
  EXPECT_NE(std::string::npos, messages[0].find("Table Vendor lacks column Name")) << messages[0];
  EXPECT_EQ(before, Checksums(*database_));
  EXPECT_EQ(0u, recstore::OpenHandleCount());
}

TEST_F(SafeRunTest, WindowShowsEachLargeStepsProgressAndKeepsTheStatusText) {
  database_->Run(
      "INSERT INTO Vendor (AgyCode, Number, Name) SELECT '01', CONCAT('N', seq), 'Bulk' FROM "
      "seq_1_to_2500;");
  testing_support::WriteConfigFile((dir_ / "zarfiles.ini").string(), database_->settings());
  setenv("KELVANE_CONFIG", (dir_ / "zarfiles.ini").c_str(), 1);
  const fs::path old_dir = fs::current_path();
  fs::current_path(dir_ / "work");
  std::vector<std::string> messages;
  {
    TForm1 form([&messages](const std::string& text) { messages.push_back(text); });
    auto* bar = form.findChild<QProgressBar*>("RunProgress");
    ASSERT_NE(nullptr, bar);
    std::vector<std::string> vendor_calls;
    form.SetProgressObserver([&](std::string_view step, uint64_t inserted, uint64_t selected) {
      if (step == "Vendors") {
        vendor_calls.push_back(
            std::to_string(inserted) + "/" + std::to_string(selected) + " " +
            std::to_string(bar->value()) + "/" + std::to_string(bar->maximum()) + " " +
            form.findChild<QStatusBar*>("StatusBar1")->currentMessage().toStdString());
      }
    });
    form.RunCopy("01", "03");
    EXPECT_EQ(
        (std::vector<std::string>{"1000/2502 1000/2502 Vendors", "2000/2502 2000/2502 Vendors",
                                  "2502/2502 2502/2502 Vendors"}),
        vendor_calls);
    EXPECT_EQ("Download Lines",
              form.findChild<QStatusBar*>("StatusBar1")->currentMessage().toStdString());
  }
  fs::current_path(old_dir);
  EXPECT_EQ(std::vector<std::string>{}, messages);
  EXPECT_EQ("2502", Count("Vendor", "03"));
}

}  // namespace
