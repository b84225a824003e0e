// Tests of the main window against the private server: set-up, lookups, leave handlers and
// the run, driven through the controls by their fixed names.
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <QCheckBox>
#include <QGuiApplication>
#include <QLabel>
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
#include "tests/test_support_ap.h"
#include "tests/test_support_cli.h"
#include "tests/test_support_form.h"

namespace {

namespace fs = std::filesystem;
using testing_support::kStatusTexts;
using testing_support::MakeTempDir;
using testing_support::ReadFile;
using testing_support::ScratchDatabase;

class WindowTest : public testing_support::FormTest {
 protected:
  static void SetUpTestSuite() {
    QGuiApplication::setQuitOnLastWindowClosed(false);
    shared_db_ = std::make_unique<ScratchDatabase>("kgui");
  }

  static void TearDownTestSuite() { shared_db_.reset(); }

  // Each test works in a fresh working directory (where Utility.ini lands) with a
  // configuration that points at the suite's database, agencies 01 and 02 in it.
  void SetUp() override {
    old_dir_ = fs::current_path();
    work_dir_ = MakeTempDir("kelvane-gui-work");
    config_dir_ = MakeTempDir("kelvane-gui-config");
    fs::current_path(work_dir_);
    shared_db_->Run(
        "DELETE FROM Agency;\nDELETE FROM Bank;\n"
        "INSERT INTO Agency VALUES ('01', 'O''Brien & Søn Insurance'), ('02', '');");
    UseDatabase(*shared_db_);
  }

  void TearDown() override {
    fs::current_path(old_dir_);
    fs::permissions(work_dir_, fs::perms::owner_all);
    fs::remove_all(work_dir_);
    fs::remove_all(config_dir_);
    EXPECT_EQ(0u, recstore::OpenHandleCount());
  }

  void UseDatabase(const ScratchDatabase& database) {
    const std::string config = (config_dir_ / "zarfiles.ini").string();
    testing_support::WriteConfigFile(config, database.settings());
    setenv("KELVANE_CONFIG", config.c_str(), 1);
  }

  static std::unique_ptr<ScratchDatabase> shared_db_;
  fs::path old_dir_;
  fs::path work_dir_;
  fs::path config_dir_;
};

std::unique_ptr<ScratchDatabase> WindowTest::shared_db_;

TEST_F(WindowTest, CreationWritesUtilityIniOpensApAndShowsBothNames) {
  auto form = MakeForm();

  EXPECT_EQ(std::vector<std::string>{}, messages_);
  EXPECT_EQ("O'Brien & Søn Insurance", Text(*form, "edtFromName"));
  EXPECT_EQ("", Text(*form, "edtToName"));  // an empty AgencyName shows empty
  const db::ConnectionSettings settings = shared_db_->settings();
  EXPECT_EQ("DriverID=MySQL\r\nserver=" + settings.host + "\r\nUser_Name=" + settings.user +
                "\r\nPassword=" + settings.password + "\r\ndatabase=" + settings.database + "\r\n",
            ReadFile("Utility.ini"));
  EXPECT_NE(0, ApRead);
  EXPECT_NE(0, ApWrite);
  EXPECT_EQ(2u, recstore::OpenHandleCount());
  form.reset();
  EXPECT_EQ(0, ApRead);
  EXPECT_EQ(0, ApWrite);
}

TEST_F(WindowTest, ControlsKeepTheirFixedNamesPlacesAndProperties) {
  auto form = MakeForm();

  struct Place {
    const char* name;
    QRect rect;
  };

  for (const Place& place : {Place{"edtFromAgy", {160, 16, 50, 31}},
                             {"edtToAgy", {160, 53, 50, 31}},
                             {"edtFromName", {216, 16, 377, 31}},
                             {"edtToName", {216, 53, 377, 31}},
                             {"Button1", {616, 16, 113, 65}}}) {
    EXPECT_EQ(place.rect, Control<QWidget>(*form, place.name)->geometry()) << place.name;
  }
  // The check box keeps its place and grows until its whole text shows.
  auto* box = Control<QCheckBox>(*form, "cbClearExisting");
  EXPECT_EQ(QPoint(24, 96), box->geometry().topLeft());
  EXPECT_LE(300, box->width());
  EXPECT_LE(box->sizeHint().height(), box->height());
  EXPECT_LE(box->sizeHint().width(), box->width());
  EXPECT_GT(box->sizeHint().height(), 17) << "the text no longer needs more than 17 pixels";
  // Labels keep their place and grow to their text when the font is wider than Tahoma.
  for (const Place& place : {Place{"Label1", {24, 19, 116, 23}}, {"Label2", {24, 56, 88, 23}}}) {
    const QRect rect = Control<QWidget>(*form, place.name)->geometry();
    EXPECT_EQ(place.rect.topLeft(), rect.topLeft()) << place.name;
    EXPECT_LE(place.rect.width(), rect.width()) << place.name;
    EXPECT_GT(160, rect.right()) << place.name;  // clear of the code fields
  }
  EXPECT_EQ(QSize(852, 411), form->size());
  EXPECT_EQ("Kelvane", app::ToBytes(form->windowTitle()));
  EXPECT_EQ("From Agency ", app::ToBytes(Control<QLabel>(*form, "Label1")->text()));
  EXPECT_EQ(2, Control<QLineEdit>(*form, "edtFromAgy")->maxLength());
  EXPECT_EQ(2, Control<QLineEdit>(*form, "edtToAgy")->maxLength());
  EXPECT_FALSE(Control<QLineEdit>(*form, "edtFromName")->isEnabled());
  EXPECT_FALSE(Control<QLineEdit>(*form, "edtToName")->isEnabled());
  auto* clear = Control<QCheckBox>(*form, "cbClearExisting");
  EXPECT_TRUE(clear->isChecked());
  EXPECT_FALSE(clear->isEnabled());
  EXPECT_EQ("GO!", app::ToBytes(Control<QPushButton>(*form, "Button1")->text()));
  EXPECT_EQ(19, Control<QLineEdit>(*form, "edtFromAgy")->font().pixelSize());
  EXPECT_NE(19, Control<QStatusBar>(*form, "StatusBar1")->font().pixelSize());
}

TEST_F(WindowTest, LookUpShowsNotFoundAlsoForACodeHoldingAQuote) {
  auto form = MakeForm();
  for (const char* code : {"09", "0'", "'"}) {
    Control<QLineEdit>(*form, "edtFromAgy")->setText(code);
    Leave(*form, "edtFromAgy");
    EXPECT_EQ(" Not Found", Text(*form, "edtFromName")) << code;
  }
  Control<QLineEdit>(*form, "edtFromAgy")->setText("01");
  Leave(*form, "edtFromAgy");
  EXPECT_EQ("O'Brien & Søn Insurance", Text(*form, "edtFromName"));
  EXPECT_EQ(std::vector<std::string>{}, messages_);
}

TEST_F(WindowTest, FailedLookUpKeepsTheNameAndShowsTheError) {
  ScratchDatabase database("kgui");
  database.Run("INSERT INTO Agency VALUES ('01', 'First')");
  UseDatabase(database);
  auto form = MakeForm();
  database.Run("ALTER TABLE Agency CHANGE AgencyName Title VARCHAR(60)");

  Leave(*form, "edtFromAgy");

  EXPECT_EQ("First", Text(*form, "edtFromName"));
  ASSERT_EQ(1u, messages_.size());
  EXPECT_NE(std::string::npos, messages_[0].find("AgencyName")) << messages_[0];
}

TEST_F(WindowTest, LeavingToRedoesTheSetUpAndLeavingFromDoesNot) {
  auto form = MakeForm();
  const int32_t first_read = ApRead;
  const int32_t first_write = ApWrite;
  fs::remove("Utility.ini");

  Leave(*form, "edtFromAgy");
  EXPECT_FALSE(fs::exists("Utility.ini"));
  EXPECT_EQ(first_read, ApRead);
  EXPECT_EQ(first_write, ApWrite);

  // The set-up re-reads the configuration; the lookup that follows reconnects with it.
  ScratchDatabase other("kgui");
  other.Run("INSERT INTO Agency VALUES ('02', 'Other Database Agency')");
  UseDatabase(other);
  Leave(*form, "edtToAgy");

  EXPECT_TRUE(fs::exists("Utility.ini"));
  EXPECT_NE(std::string::npos, ReadFile("Utility.ini").find("database=" + other.name() + "\r\n"));
  EXPECT_EQ("Other Database Agency", Text(*form, "edtToName"));
  EXPECT_NE(first_read, ApRead);
  EXPECT_NE(first_write, ApWrite);
  EXPECT_EQ(2u, recstore::OpenHandleCount());  // the first pair was closed
  EXPECT_EQ(std::vector<std::string>{}, messages_);
}

TEST_F(WindowTest, BothApOpensFailingGiveTwoMessagesReadFirst) {
  ScratchDatabase database("kgui");
  database.Run("DROP TABLE zz_data_ap;\nINSERT INTO Agency VALUES ('01', 'First')");
  UseDatabase(database);

  auto form = MakeForm();

  // Each fixed text comes first, then the store's status and reason.
  ASSERT_EQ(2u, messages_.size());
  EXPECT_EQ(0u, messages_[0].find("Error Opening AP Read (record-store status 12: "))
      << messages_[0];
  EXPECT_EQ(0u, messages_[1].find("Error Opening AP Write (record-store status 12: "))
      << messages_[1];
  EXPECT_NE(std::string::npos, messages_[1].find("zz_data_ap")) << messages_[1];
  EXPECT_EQ("First", Text(*form, "edtFromName"));
  EXPECT_EQ(" Not Found", Text(*form, "edtToName"));
}

TEST_F(WindowTest, UnwritableUtilityIniStopsTheSetUpAndAnyRun) {
  // A directory in its place fails the write for root too, unlike a read-only directory.
  fs::create_directory("Utility.ini");

  auto form = MakeForm();

  ASSERT_EQ(1u, messages_.size());
  EXPECT_NE(std::string::npos, messages_[0].find("Utility.ini")) << messages_[0];
  EXPECT_EQ("edtFromName", Text(*form, "edtFromName"));
  EXPECT_EQ("edtToName", Text(*form, "edtToName"));
  EXPECT_EQ(0, ApRead);
  EXPECT_EQ(0, ApWrite);

  // Without loaded parameters a run would use settings nobody configured.
  ClickGo(*form);
  EXPECT_EQ(2u, messages_.size());
  EXPECT_EQ(std::vector<std::string>{}, statuses_);
}

TEST_F(WindowTest, ReadOnlyWorkingDirectoryStopsTheSetUp) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "root writes into read-only directories";
  }
  fs::permissions(work_dir_, fs::perms::owner_read | fs::perms::owner_exec);
  auto form = MakeForm();
  ASSERT_EQ(1u, messages_.size());
  EXPECT_EQ("edtFromName", Text(*form, "edtFromName"));
}

TEST_F(WindowTest, RunShowsTheTwelveStepsInOrderThenClosesTheWindow) {
  shared_db_->Run("INSERT INTO Bank (AgyCode, Number, Name) VALUES ('01', 'B1', 'First Bank')");
  auto form = MakeForm();
  form->show();
  bool controls_disabled = true;
  form->SetStatusObserver([&](std::string_view text) {
    statuses_.push_back(std::string(text));
    controls_disabled = controls_disabled && !Control<QPushButton>(*form, "Button1")->isEnabled() &&
                        !Control<QLineEdit>(*form, "edtFromAgy")->isEnabled() &&
                        !Control<QLineEdit>(*form, "edtToAgy")->isEnabled();
    // A click arriving while a step lets the window repaint must not start a nested run.
    ClickGo(*form);
  });

  ClickGo(*form);

  EXPECT_EQ(kStatusTexts, statuses_);
  EXPECT_TRUE(controls_disabled);
  EXPECT_EQ(std::vector<std::string>{}, messages_);
  EXPECT_FALSE(form->isVisible());
  EXPECT_TRUE(form->run_report().finished);
  EXPECT_EQ(12u, form->run_report().steps.size());
  EXPECT_EQ("1", shared_db_->Scalar("SELECT COUNT(*) FROM Bank WHERE AgyCode = '02'"));
  EXPECT_EQ("01", sFromAgy);
  EXPECT_EQ("02", sToAgy);
}

TEST_F(WindowTest, RefusedCodesRunNothing) {
  shared_db_->Run("INSERT INTO Bank (AgyCode, Number) VALUES ('01', 'B1'), ('AB', 'B2')");
  auto form = MakeForm();
  form->show();

  struct Codes {
    const char* from;
    const char* to;
  };

  for (const Codes& codes : {Codes{"01", "01"}, {"ab", "AB"}, {"1", "02"}, {"01", "%"}}) {
    messages_.clear();
    Control<QLineEdit>(*form, "edtFromAgy")->setText(codes.from);
    Control<QLineEdit>(*form, "edtToAgy")->setText(codes.to);
    ClickGo(*form);
    ASSERT_EQ(1u, messages_.size()) << codes.from << " " << codes.to;
    EXPECT_NE(std::string::npos, messages_[0].find("Nothing was copied")) << messages_[0];
  }
  EXPECT_EQ(std::vector<std::string>{}, statuses_);
  EXPECT_TRUE(form->isVisible());
  EXPECT_TRUE(Control<QPushButton>(*form, "Button1")->isEnabled());
  EXPECT_EQ("2", shared_db_->Scalar("SELECT COUNT(*) FROM Bank"));
}

TEST_F(WindowTest, FailingStepKeepsItsStatusAndTheWindowAndEarlierCopies) {
  ScratchDatabase database("kgui");
  database.Run(
      "INSERT INTO Agency VALUES ('01', 'First'), ('02', 'Second');\n"
      "INSERT INTO Bank (AgyCode, Number, Name) VALUES ('01', 'B1', 'First Bank');\n"
      "INSERT INTO Department (AgyCode, Number, Name) VALUES ('01', 'PL', 'Personal');\n"
      "INSERT INTO GLCodes (AgyCode, Number, Name) VALUES ('01', '1000', 'Cash');\n"
      // A missing column would stop the run before its first step; a refused insert fails
      // the step itself.
      "CREATE TRIGGER refuse_department BEFORE INSERT ON Department FOR EACH ROW SIGNAL "
      "SQLSTATE '45000' SET MESSAGE_TEXT = 'Department insert refused';");
  UseDatabase(database);
  auto form = MakeForm();
  form->SetRunMode(run::RunMode::kStepByStep);
  form->show();

  ClickGo(*form);

  EXPECT_EQ(std::vector<std::string>(kStatusTexts.begin(), kStatusTexts.begin() + 5), statuses_);
  EXPECT_EQ("Departments",
            app::ToBytes(Control<QStatusBar>(*form, "StatusBar1")->currentMessage()));
  ASSERT_EQ(1u, messages_.size());
  EXPECT_NE(std::string::npos, messages_[0].find("Department insert refused")) << messages_[0];
  EXPECT_TRUE(form->isVisible());
  EXPECT_TRUE(Control<QPushButton>(*form, "Button1")->isEnabled());
  EXPECT_TRUE(Control<QLineEdit>(*form, "edtToAgy")->isEnabled());
  EXPECT_EQ(4u, form->run_report().steps.size());
  EXPECT_FALSE(form->run_report().finished);
  EXPECT_EQ("1", database.Scalar("SELECT COUNT(*) FROM Bank WHERE AgyCode = '02'"));
  EXPECT_EQ("0", database.Scalar("SELECT COUNT(*) FROM GLCodes WHERE AgyCode = '02'"));
}

// The window's fixed methods are the run's own pieces: each Copy... copies its own table
// (and its ap records) on the window's connection, and the ap copy goes through the very
// variables ApRead, ApWrite and ApSize.
TEST_F(WindowTest, FixedMethodsCopyTheirOwnTableThroughTheLiveApHandles) {
  const std::string bank_record = "00900001B1" + std::string(140, 'b');
  shared_db_->Run(
      "INSERT INTO Bank (AgyCode, Number, Name) VALUES ('01', 'B1', 'First Bank');\n"
      "DELETE FROM Department;\n"
      "INSERT INTO Department (AgyCode, Number, Name) VALUES ('01', 'PL', 'Personal');\n"
      "DELETE FROM zz_data_ap;\n"
      "INSERT INTO zz_data_ap VALUES (X'" +
      testing_support::Hex(bank_record.substr(0, 16)) + "', X'" +
      testing_support::Hex(bank_record) + "');");
  auto form = MakeForm();
  ASSERT_EQ(std::vector<std::string>{}, messages_);
  sFromAgy = "01";
  sToAgy = "02";
  ApSize = 0;

  const copy::TableCopyStats banks = form->CopyBanks();

  EXPECT_EQ(1u, banks.rows_inserted);
  EXPECT_EQ(1u, banks.ap_copied);
  EXPECT_EQ(std::vector<std::string>{"Banks"}, statuses_);
  EXPECT_EQ("1", shared_db_->Scalar("SELECT COUNT(*) FROM Bank WHERE AgyCode = '02'"));
  EXPECT_EQ("1",
            shared_db_->Scalar("SELECT COUNT(*) FROM zz_data_ap WHERE Index0Col LIKE '00900002%'"));
  // Only its own table: the departments wait for their own step.
  EXPECT_EQ("0", shared_db_->Scalar("SELECT COUNT(*) FROM Department WHERE AgyCode = '02'"));
  EXPECT_NE(0u, ApSize) << "the ap copy was not given ApSize";
  EXPECT_EQ(1u, form->CopyDepartment().rows_inserted);
  EXPECT_EQ("1", shared_db_->Scalar("SELECT COUNT(*) FROM Department WHERE AgyCode = '02'"));

  // A handle changed behind the window's back is the handle the next ap copy reads with.
  const int32_t read_handle = ApRead;
  ApRead = ApWrite + 1000;
  EXPECT_THROW(form->CopyAP("01", "03", "009"), std::runtime_error);
  ApRead = read_handle;
  EXPECT_EQ(1u, form->CopyAP("01", "03", "009").copied);

  EXPECT_EQ(std::vector<std::string>{}, form->PreflightProblems());
  const copy::Plan plan = form->PlanCopy("01", "04");
  ASSERT_EQ(12u, plan.size());
  EXPECT_EQ(1u, plan.front().counts.rows_to_copy);
  EXPECT_EQ(1u, plan.front().counts.ap_to_copy);
  for (const compare::VerifyLine& line : form->VerifyCopy("01", "02")) {
    if (line.subject == "Bank" || line.subject == "Department" || line.subject == "ap 009") {
      EXPECT_TRUE(line.ok) << line.subject << ": " << line.detail;
    }
  }
}

}  // namespace
