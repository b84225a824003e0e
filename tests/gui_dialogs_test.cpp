// The window's dialogs against the private server, answered by their object names: the
// question before a run, its result, a check that fails instead, and putting a saved
// profile back.
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QCheckBox>
#include <QGuiApplication>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTableWidget>
#include <QTimer>

#include <gtest/gtest.h>

#include "app/dialog_support.h"
#include "app/main_form.h"
#include "app/text.h"
#include "compare/verify.h"
#include "db/connection.h"
#include "db/query.h"
#include "lock/run_lock.h"
#include "recstore/recstore.h"
#include "tests/test_db.h"
#include "tests/test_support_cli.h"
#include "tests/test_support_form.h"

namespace {

namespace fs = std::filesystem;
using testing_support::kStatusTexts;
using testing_support::MakeTempDir;
using testing_support::ScratchDatabase;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class DialogTest : public testing_support::FormTest {
 protected:
  static void SetUpTestSuite() { QGuiApplication::setQuitOnLastWindowClosed(false); }

  void SetUp() override {
    old_dir_ = fs::current_path();
    dir_ = MakeTempDir("kelvane-dialogs");
    fs::create_directory(dir_ / "work");
    backups_ = dir_ / "backups";
    database_ = std::make_unique<ScratchDatabase>("kdlg");
    database_->Run(testing_support::DemoSql());
    testing_support::WriteConfigFile((dir_ / "zarfiles.ini").string(), database_->settings());
    setenv("KELVANE_CONFIG", (dir_ / "zarfiles.ini").c_str(), 1);
    // The suite's own backup folder comes back after the test.
    if (const char* folder = std::getenv("KELVANE_BACKUP_DIR")) {
      old_backups_ = folder;
    }
    setenv("KELVANE_BACKUP_DIR", backups_.c_str(), 1);
    fs::current_path(dir_ / "work");
  }

  void TearDown() override {
    fs::current_path(old_dir_);
    if (old_backups_.empty()) {
      unsetenv("KELVANE_BACKUP_DIR");
    } else {
      setenv("KELVANE_BACKUP_DIR", old_backups_.c_str(), 1);
    }
    database_.reset();
    fs::remove_all(dir_);
    EXPECT_EQ(0u, recstore::OpenHandleCount());
  }

  // Every table, every row and column, as one text (the lock table's rows come and go).
  std::string Everything() const { return testing_support::WholeDatabase(database_->settings()); }

  std::string Count(const std::string& table, const std::string& code) const {
    return database_->Scalar("SELECT COUNT(*) FROM " + table + " WHERE AgyCode = '" + code + "'");
  }

  std::size_t BackupCount() const {
    if (!fs::exists(backups_)) {
      return 0;
    }
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(backups_)) {
      ++count;
    }
    return count;
  }

  fs::path old_dir_;
  fs::path dir_;
  fs::path backups_;
  std::string old_backups_;
  std::unique_ptr<ScratchDatabase> database_;
};

TEST_F(DialogTest, HistoryButtonSitsRightOfGoWithAltH) {
  auto form = MakeForm();
  auto* history = Control<QPushButton>(*form, "btnHistory");
  auto* go = Control<QPushButton>(*form, "Button1");
  ASSERT_NE(nullptr, history);
  EXPECT_EQ(QKeySequence(Qt::ALT | Qt::Key_H), history->shortcut());
  EXPECT_EQ(QRect(616, 16, 113, 65), go->geometry());
  EXPECT_GT(history->x(), go->geometry().right());
  EXPECT_LE(history->geometry().right(), 851);
  EXPECT_GE(history->width(), history->sizeHint().width());
}

TEST_F(DialogTest, ConfirmShowsWhatIsReplacedThenTheResultThenTheWindowCloses) {
  const std::string banks_now = Count("Bank", "02");
  const std::string banks_from = Count("Bank", "01");
  auto form = MakeForm();
  form->show();

  ClickGo(*form);

  ASSERT_EQ((std::vector<std::string>{"ConfirmDialog", "ResultDialog"}), dialogs_);
  const std::string& question = dialog_texts_[0];
  EXPECT_TRUE(Contains(question, "agency 02 (Größer Agentur für Versicherungen)")) << question;
  EXPECT_TRUE(Contains(question, "agency 01 (O'Brien & Søn Insurance)")) << question;
  EXPECT_TRUE(Contains(question, "\nBank\t" + banks_now + "\t" + banks_from + "\n")) << question;
  EXPECT_TRUE(Contains(question, "\nap 009 (Banks)\t")) << question;
  EXPECT_TRUE(Contains(question, "All or nothing:")) << question;
  EXPECT_TRUE(Contains(question, backups_.string())) << question;

  const run::RunReport& report = form->run_report();
  ASSERT_TRUE(report.finished);
  const std::string& result = dialog_texts_[1];
  EXPECT_TRUE(Contains(result, report.backup_file)) << result;
  EXPECT_TRUE(Contains(result, "History…")) << result;
  uint64_t rows = 0;
  for (const run::StepReport& step : report.steps) {
    rows += step.stats.rows_inserted;
  }
  EXPECT_TRUE(Contains(result, std::to_string(rows) + " rows")) << result;

  EXPECT_EQ(kStatusTexts, statuses_);
  EXPECT_EQ(std::vector<std::string>{}, messages_);
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(banks_from, Count("Bank", "02"));
}

// The question may stay open for as long as the user reads it, past the time the server keeps
// a silent session (shortened here, as the frozen-link tests shorten it): Enter still runs it,
// exactly.
TEST_F(DialogTest, AQuestionLeftOpenPastTheSilenceLimitStillRunsExactly) {
  setenv("KELVANE_TEST_SILENCE_LIMIT", "1", 1);
  auto form = MakeForm();
  unsetenv("KELVANE_TEST_SILENCE_LIMIT");
  form->SetDialogHook([this](QDialog& dialog) {
    if (dialog.objectName() == "ConfirmDialog") {
      QTest::qWait(3000);
    }
    Answer(dialog);
  });
  form->show();

  ClickGo(*form);

  EXPECT_EQ((std::vector<std::string>{"ConfirmDialog", "ResultDialog"}), dialogs_);
  EXPECT_EQ(std::vector<std::string>{}, messages_);
  EXPECT_TRUE(form->run_report().finished);
  for (const compare::VerifyLine& line : form->VerifyCopy("01", "02")) {
    EXPECT_TRUE(line.ok) << compare::DescribeVerify(line);
  }
}

// A message of the window's own is drawn in the window's font, as its dialogs are.
TEST_F(DialogTest, AMessageBoxTakesTheWindowsFont) {
  TForm1 form;
  form.show();
  Control<QLineEdit>(form, "edtFromAgy")->setText("0");
  int pixels = 0;
  QTimer::singleShot(0, [&pixels] {
    if (QWidget* box = QApplication::activeModalWidget()) {
      pixels = box->findChild<QLabel*>("qt_msgbox_label")->font().pixelSize();
      box->close();
    }
  });
  ClickGo(form);
  EXPECT_EQ(app::WindowFont().pixelSize(), pixels);
}

TEST_F(DialogTest, CancelAndEscChangeNothingAndKeepTheWindow) {
  const std::string before = Everything();
  auto form = MakeForm();
  form->show();

  for (const char* answer : {"CancelButton", "Esc"}) {
    dialogs_.clear();
    answers_ = {answer};
    ClickGo(*form);
    EXPECT_EQ(std::vector<std::string>{"ConfirmDialog"}, dialogs_) << answer;
  }

  EXPECT_EQ(std::vector<std::string>{}, statuses_);
  EXPECT_EQ(std::vector<std::string>{}, messages_);
  EXPECT_TRUE(form->isVisible());
  EXPECT_TRUE(Control<QPushButton>(*form, "Button1")->isEnabled());
  EXPECT_EQ(0u, BackupCount());
  EXPECT_EQ(before, Everything());
}

TEST_F(DialogTest, AFailingCheckShowsItsMessageAndNoQuestion) {
  database_->Run("ALTER TABLE Vendor DROP COLUMN Name;");
  const std::string before = Everything();
  auto form = MakeForm();
  form->show();

  ClickGo(*form);

  EXPECT_EQ(std::vector<std::string>{}, dialogs_);
  ASSERT_EQ(1u, messages_.size());
  EXPECT_TRUE(Contains(messages_[0], "Table Vendor lacks column Name")) << messages_[0];
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(0u, BackupCount());
  EXPECT_EQ(before, Everything());
}

TEST_F(DialogTest, ARunHoldingTheDestinationShowsItsMessageAndNoQuestion) {
  const std::string before = Everything();
  auto form = MakeForm();
  form->show();
  {
    const std::unique_ptr<lock::RunLock> other =
        lock::RunLock::Acquire(database_->settings(), {"02", "03"}, "run 03 to 02");
    ClickGo(*form);
  }

  EXPECT_EQ(std::vector<std::string>{}, dialogs_);
  ASSERT_EQ(1u, messages_.size());
  EXPECT_TRUE(Contains(messages_[0], "run 03 to 02")) << messages_[0];
  EXPECT_EQ(std::vector<std::string>{}, statuses_);
  EXPECT_EQ(0u, BackupCount());
  EXPECT_EQ(before, Everything());

  // Once that run is over, GO! asks as usual.
  answers_ = {"Esc"};
  ClickGo(*form);
  EXPECT_EQ(std::vector<std::string>{"ConfirmDialog"}, dialogs_);
}

TEST_F(DialogTest, AFailedRunSaysWhichStepWhatItMeansAndWhereTheProfileIs) {
  database_->Run(
      "CREATE TRIGGER refuse_department BEFORE INSERT ON Department FOR EACH ROW SIGNAL "
      "SQLSTATE '45000' SET MESSAGE_TEXT = 'Department insert refused';");
  auto form = MakeForm();
  form->SetRunMode(run::RunMode::kStepByStep);
  form->show();

  ClickGo(*form);

  EXPECT_EQ(std::vector<std::string>{"ConfirmDialog"}, dialogs_);
  ASSERT_EQ(1u, messages_.size());
  const std::string& text = messages_[0];
  EXPECT_EQ(0u, text.find("The step \"Departments\" failed. The tables before it are copied"))
      << text;
  EXPECT_TRUE(Contains(text, "Department insert refused")) << text;
  EXPECT_TRUE(Contains(text, form->run_report().backup_file)) << text;
  EXPECT_TRUE(Contains(text, "\"History…\"")) << text;
  EXPECT_TRUE(form->isVisible());
}

// GO! is all or nothing: a failure in the tenth step leaves every table and every ap
// record exactly as before, and the message says so with the server's text.
TEST_F(DialogTest, AFailedRunChangesNothingAndSaysWhy) {
  database_->Run(
      "CREATE TRIGGER fail_second_addint2 BEFORE INSERT ON AddInt2 FOR EACH ROW "
      "IF NEW.AgyCode = '02' AND (SELECT COUNT(*) FROM AddInt2 WHERE AgyCode = '02') >= 1 THEN "
      "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'injected failure'; END IF;");
  const std::string before = Everything();
  auto form = MakeForm();
  form->show();

  ClickGo(*form);

  EXPECT_EQ(std::vector<std::string>{"ConfirmDialog"}, dialogs_);
  EXPECT_TRUE(Contains(dialog_texts_[0], "All or nothing:")) << dialog_texts_[0];
  // The failing insert, the step's last, went in the next step's first request; the status
  // line goes back to the step that failed.
  std::vector<std::string> shown(kStatusTexts.begin(), kStatusTexts.begin() + 11);
  shown.push_back("Additional Interests");
  EXPECT_EQ(shown, statuses_);
  ASSERT_EQ(1u, messages_.size());
  const std::string& text = messages_[0];
  EXPECT_EQ(0u, text.find("The step \"Additional Interests\" failed. The whole run was undone"))
      << text;
  EXPECT_TRUE(Contains(text, "injected failure")) << text;
  EXPECT_TRUE(form->run_report().rolled_back);
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(before, Everything());
}

// With a table that cannot roll back, GO! says before the question that it commits step by
// step and why, on the status line and in a message; the question says so too; then the
// run copies everything.
TEST_F(DialogTest, ATableThatCannotRollBackIsNamedBeforeTheRunWhichThenGoesStepByStep) {
  database_->Run("ALTER TABLE DLNAIC ENGINE=MyISAM;");
  auto form = MakeForm();
  form->show();
  std::size_t messages_at_question = 0;
  std::string status_at_question;
  form->SetDialogHook([&](QDialog& dialog) {
    if (dialog.objectName() == "ConfirmDialog") {
      messages_at_question = messages_.size();
      status_at_question = app::ToBytes(Control<QStatusBar>(*form, "StatusBar1")->currentMessage());
    }
    Answer(dialog);
  });

  ClickGo(*form);

  EXPECT_EQ("Step by step, because table DLNAIC (MyISAM) cannot be rolled back.",
            status_at_question);
  EXPECT_EQ(1u, messages_at_question);
  ASSERT_EQ(1u, messages_.size());
  EXPECT_EQ(0u, messages_[0].find("The run commits step by step, each table on its own, because "
                                  "table DLNAIC (MyISAM) cannot be rolled back."))
      << messages_[0];
  ASSERT_EQ((std::vector<std::string>{"ConfirmDialog", "ResultDialog"}), dialogs_);
  EXPECT_TRUE(Contains(dialog_texts_[0],
                       "Step by step: each table is copied on its own, because "
                       "table DLNAIC (MyISAM) cannot be rolled back"))
      << dialog_texts_[0];
  EXPECT_EQ(kStatusTexts, statuses_);
  EXPECT_FALSE(form->run_report().atomic);
  EXPECT_TRUE(form->run_report().finished);
  EXPECT_FALSE(form->isVisible());
  for (const char* table : {"Bank", "AddInt2", "DLNAIC", "DLLines"}) {
    EXPECT_EQ(Count(table, "01"), Count(table, "02")) << table;
  }
}

TEST_F(DialogTest, PutBackRestoresTheDestinationExactlyAndCanItselfBePutBack) {
  const std::string before = Everything();
  {
    auto form = MakeForm();
    form->show();
    ClickGo(*form);
    ASSERT_TRUE(form->run_report().finished);
  }
  const std::string copied = Everything();
  ASSERT_NE(before, copied);
  dialogs_.clear();
  dialog_texts_.clear();

  auto form = MakeForm();
  form->show();
  // The history: Enter puts the newest back, Esc then closes it; the question and the
  // result each take Enter.
  answers_ = {"Enter,Esc", "Enter", "Enter"};
  QTest::mouseClick(Control<QPushButton>(*form, "btnHistory"), Qt::LeftButton);

  ASSERT_EQ((std::vector<std::string>{"HistoryDialog", "PutBackConfirm", "PutBackResult"}),
            dialogs_);
  EXPECT_EQ(std::vector<std::string>{}, messages_);
  EXPECT_TRUE(Contains(dialog_texts_[0], "\tcopy from 01\tcompleted\t")) << dialog_texts_[0];
  EXPECT_TRUE(Contains(dialog_texts_[1], "profile of agency 02")) << dialog_texts_[1];
  EXPECT_TRUE(Contains(dialog_texts_[1], "(" + Count("Bank", "02"))) << dialog_texts_[1];
  EXPECT_EQ(before, Everything());
  EXPECT_TRUE(form->isVisible());

  // The put back saved what it replaced: it is now the newest, selected, and Enter puts
  // the copy back again.
  int selected = -1;
  std::string newest;
  form->SetDialogHook([&](QDialog& dialog) {
    if (auto* list = dialog.findChild<QTableWidget*>("HistoryList")) {
      selected = list->currentRow();
      newest = app::ToBytes(list->item(0, 2)->text());
    }
    Answer(dialog);
  });
  answers_ = {"Enter,Esc", "Enter", "Enter"};
  QTest::mouseClick(Control<QPushButton>(*form, "btnHistory"), Qt::LeftButton);
  EXPECT_EQ(0, selected);
  EXPECT_EQ("put back", newest);
  EXPECT_EQ(copied, Everything());
}

TEST_F(DialogTest, CancelledPutBackChangesNothing) {
  {
    auto form = MakeForm();
    form->show();
    ClickGo(*form);
  }
  const std::string copied = Everything();
  const std::size_t backups = BackupCount();
  auto form = MakeForm();
  form->show();
  answers_ = {"Enter,CloseButton", "Esc"};
  QTest::mouseClick(Control<QPushButton>(*form, "btnHistory"), Qt::LeftButton);
  EXPECT_EQ(copied, Everything());
  EXPECT_EQ(backups, BackupCount());
  EXPECT_EQ(std::vector<std::string>{}, messages_);
}

// The question counts what the copy adds, removes and changes (the comparison --compare
// prints), "Details…" lists those rows, and a table left unchecked is left out of the run.
TEST_F(DialogTest, UncheckingAllButOneTableCopiesThatOneAlone) {
  std::string full_question;
  auto form = MakeForm();
  form->SetDialogHook([this, &full_question](QDialog& dialog) {
    if (dialog.objectName() == "ConfirmDialog") {
      full_question = DialogText(dialog);
      for (QCheckBox* box : dialog.findChildren<QCheckBox*>()) {
        if (box->objectName() != "ConfirmCheckGLCodes") {
          QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
        }
      }
    }
    Answer(dialog);
  });
  answers_ = {"DetailsButton,Enter"};
  form->show();

  ClickGo(*form);

  ASSERT_EQ((std::vector<std::string>{"ConfirmDialog", "DetailsDialog", "ResultDialog"}), dialogs_);
  // The counts beside the lines: Bank's first (B2 and B3 added, B1 changed), the totals last.
  EXPECT_TRUE(Contains(full_question, "\nTotal\t19\t43\n2\t0\t1\n")) << full_question;
  EXPECT_TRUE(full_question.ends_with("\n25\t1\t18")) << full_question;
  EXPECT_TRUE(Contains(full_question, "Every table is replaced")) << full_question;
  const std::string& question = dialog_texts_[0];
  EXPECT_TRUE(Contains(question, "(1 of 12)")) << question;
  EXPECT_TRUE(Contains(question, "\nBank\t0\t0\n")) << question;
  EXPECT_TRUE(Contains(question, "\nGLCodes\t1\t2\n")) << question;
  EXPECT_TRUE(Contains(question, "\nTotal\t2\t4\n")) << question;
  EXPECT_TRUE(Contains(dialog_texts_[1], "\nGLCodes\t4000\tadded\t\n")) << dialog_texts_[1];
  EXPECT_TRUE(Contains(dialog_texts_[1], "\nap 008\t4000  01\tadded\t")) << dialog_texts_[1];
  EXPECT_FALSE(Contains(dialog_texts_[1], "Bank")) << dialog_texts_[1];
  EXPECT_TRUE(Contains(dialog_texts_[2], "agency 01's GLCodes")) << dialog_texts_[2];

  ASSERT_EQ(1u, form->run_report().steps.size());
  EXPECT_EQ(std::vector<std::string>{"GL Codes"}, statuses_);
  for (const compare::VerifyLine& line : form->VerifyCopy("01", "02")) {
    const bool copied = line.subject == "GLCodes" || line.subject == "ap 008";
    EXPECT_EQ(copied, line.ok) << compare::DescribeVerify(line);
  }
  EXPECT_EQ("1", Count("Bank", "02"));

  // The history says which tables the run replaced.
  answers_ = {"CloseButton"};
  form->OpenHistory();
  EXPECT_TRUE(Contains(dialog_texts_.back(), "1 rows, 1 ap records (only GLCodes)"))
      << dialog_texts_.back();
  // Asked to put it back, the question says the other tables stay as they are.
  answers_ = {"Enter,Esc", "Esc"};
  form->OpenHistory();
  ASSERT_EQ("PutBackConfirm", dialogs_.back());
  EXPECT_TRUE(Contains(dialog_texts_.back(), "holds only GLCodes (with their ap records)"))
      << dialog_texts_.back();
}

}  // namespace
