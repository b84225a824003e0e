// The main window: its controls, set-up, the agency-name lookup and the run.
#include "app/main_form.h"

#include <algorithm>
#include <climits>
#include <stdexcept>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFocusEvent>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>

#include "app/config.h"
#include "app/globals.h"
#include "app/run_report.h"
#include "app/text.h"
#include "copy/preflight.h"
#include "db/sql_text.h"
#include "copy/table_desc.h"
#include "recstore/recstore.h"

namespace {

template <typename Widget>
Widget* MakeControl(QWidget* parent, const char* name, const QString& text, int left, int top,
                    int width, int height) {
  auto* widget = new Widget(text, parent);
  widget->setObjectName(name);
  widget->setGeometry(left, top, width, height);
  return widget;
}

}  // namespace

TForm1::TForm1(app::MessageSink message_sink, QWidget* parent)
    : QMainWindow(parent), message_sink_(std::move(message_sink)) {
  BuildControls();
  FormCreate();
}

TForm1::~TForm1() {
  // Widgets going away must not trigger leave handlers on a half-destroyed window.
  edtFromAgy->removeEventFilter(this);
  edtToAgy->removeEventFilter(this);
  FormDestroy();
}

void TForm1::BuildControls() {
  setObjectName("Form1");
  setWindowTitle("Kelvane");

  // The controls sit at fixed places in an 852 x 411 client area; the status bar takes the
  // bottom 43 pixels of it.
  auto* client = new QWidget(this);
  client->setObjectName("client");
  QFont font;
  // Tahoma is rarely installed off Windows; the DejaVu faces come closest, the condensed
  // one in width.
  font.setFamilies({"Tahoma", "DejaVu Sans Condensed", "DejaVu Sans"});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(19);
  // Set on the client area rather than the window, so the status bar keeps its own font.
  client->setFont(font);
  setCentralWidget(client);

  Label1 = MakeControl<QLabel>(client, "Label1", "From Agency ", 24, 19, 116, 23);
  Label2 = MakeControl<QLabel>(client, "Label2", "To Agency", 24, 56, 88, 23);
  edtFromAgy = MakeControl<QLineEdit>(client, "edtFromAgy", "01", 160, 16, 50, 31);
  edtToAgy = MakeControl<QLineEdit>(client, "edtToAgy", "02", 160, 53, 50, 31);
  edtFromName = MakeControl<QLineEdit>(client, "edtFromName", "edtFromName", 216, 16, 377, 31);
  edtToName = MakeControl<QLineEdit>(client, "edtToName", "edtToName", 216, 53, 377, 31);
  cbClearExisting = MakeControl<QCheckBox>(client, "cbClearExisting",
                                           "Clear Existing in Destination", 24, 96, 300, 17);
  Button1 = MakeControl<QPushButton>(client, "Button1", "GO!", 616, 16, 113, 65);

  // Labels grow to their text, as they would with the designer's auto-size, so that a
  // substitute font wider than Tahoma does not clip them.
  for (QLabel* label : {Label1, Label2}) {
    label->resize(std::max(label->width(), label->sizeHint().width()), label->height());
  }

  edtFromAgy->setMaxLength(2);
  edtToAgy->setMaxLength(2);
  edtFromName->setEnabled(false);
  edtToName->setEnabled(false);
  // Every run clears the destination first; the box only shows that.
  cbClearExisting->setChecked(true);
  cbClearExisting->setEnabled(false);

  StatusBar1 = new QStatusBar(this);
  StatusBar1->setObjectName("StatusBar1");
  StatusBar1->setFixedHeight(43);
  setStatusBar(StatusBar1);
  // A permanent widget sits at the right end and leaves the step's text alone.
  run_progress_ = new QProgressBar(StatusBar1);
  run_progress_->setObjectName("RunProgress");
  run_progress_->setMaximumWidth(200);
  run_progress_->setRange(0, 1);
  run_progress_->setValue(0);
  StatusBar1->addPermanentWidget(run_progress_);
  run_progress_->hide();

  QWidget::setTabOrder(edtFromAgy, edtToAgy);
  QWidget::setTabOrder(edtToAgy, edtFromName);
  QWidget::setTabOrder(edtFromName, edtToName);
  QWidget::setTabOrder(edtToName, cbClearExisting);
  QWidget::setTabOrder(cbClearExisting, Button1);
  edtFromAgy->setFocus();

  resize(852, 411);

  edtFromAgy->installEventFilter(this);
  edtToAgy->installEventFilter(this);
  connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
}

void TForm1::SetStatusObserver(std::function<void(std::string_view)> observer) {
  status_observer_ = std::move(observer);
}

void TForm1::SetProgressObserver(ProgressObserver observer) {
  progress_observer_ = std::move(observer);
}

void TForm1::ShowMessage(const std::string& text) {
  if (message_sink_) {
    message_sink_(text);
    return;
  }
  QMessageBox box(QMessageBox::NoIcon, "Kelvane", app::FromBytes(text), QMessageBox::Ok, this);
  box.exec();
}

void TForm1::ShowStatus(std::string_view text) {
  StatusBar1->showMessage(app::FromBytes(text));
  current_step_ = std::string(text);
  run_progress_->setRange(0, 1);
  run_progress_->setValue(0);
  if (status_observer_) {
    status_observer_(text);
  }
  // Lets the status line repaint; the run's controls are disabled, so no click can start a
  // second run from in here.
  QCoreApplication::processEvents();
  last_repaint_ = std::chrono::steady_clock::now();
}

void TForm1::ShowProgress(uint64_t inserted, uint64_t selected) {
  const auto clamp = [](uint64_t value) {
    return static_cast<int>(std::min<uint64_t>(value, INT_MAX));
  };
  // A step that selects nothing is done at once: show a full bar rather than an empty one.
  run_progress_->setRange(0, std::max(1, clamp(selected)));
  run_progress_->setValue(selected == 0 ? 1 : clamp(inserted));
  // Repainting costs far more than an insert; a few times a second is enough to see it
  // move. Input stays out: a key or click must not reach the window in the middle of a step.
  const auto now = std::chrono::steady_clock::now();
  if (now - last_repaint_ >= std::chrono::milliseconds(200)) {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    last_repaint_ = now;
  }
  if (progress_observer_) {
    progress_observer_(current_step_, inserted, selected);
  }
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusOut && (watched == edtFromAgy || watched == edtToAgy)) {
    // Only a move to another control of this window leaves the field; switching to another
    // window, a popup or one of our own message boxes does not.
    const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
    if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
      if (watched == edtFromAgy) {
        edtFromAgyExit();
      } else {
        edtToAgyExit();
      }
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

void TForm1::closeEvent(QCloseEvent* event) {
  // Closing mid-run would end the program between two statements of a step.
  if (running_) {
    event->ignore();
    return;
  }
  QMainWindow::closeEvent(event);
}

void TForm1::ReportErrors(const std::function<void()>& body) {
  app::ReportErrors([this](const std::string& text) { ShowMessage(text); }, body);
}

void TForm1::FormCreate() {
  ReportErrors([this] {
    OpenDatabases();
    LookUpAgencyName(edtFromAgy, edtFromName);
    LookUpAgencyName(edtToAgy, edtToName);
  });
}

void TForm1::FormDestroy() {
  CloseApHandles();
}

void TForm1::CloseApHandles() {
  // The statuses are of no use: the handles are given up either way.
  if (ApRead != 0) {
    btrClose(ApRead);
  }
  if (ApWrite != 0) {
    btrClose(ApWrite);
  }
  ApRead = 0;
  ApWrite = 0;
  ap_read_open_ = false;
  ap_write_open_ = false;
}

void TForm1::OpenDatabases() {
  const db::ConnectionSettings settings = app::ReadConfig(app::ConfigPath());
  app::WriteUtilityIni("Utility.ini", settings);

  recstore::SetConnectionSettings(settings);
  char ndx_name[256] = "zarfiles.ndx";
  char ini_name[256] = "ovk.ini";
  MCBInitializeFauxBtrieve(ndx_name, ini_name);

  FDConnection1.SetSettings(app::LoadUtilityIni("."));
  parameters_loaded_ = true;

  // A pair left open on every repeat of the set-up would accumulate until the process ends.
  CloseApHandles();
  ApRead = CBtrvOapi();
  ApWrite = CBtrvOapi();
  ap_read_open_ = btrOpen(ApRead, "", "ap", 1, 1, 0) == 0;
  if (!ap_read_open_) {
    ShowMessage("Error Opening AP Read");
  }
  ap_write_open_ = btrOpen(ApWrite, "", "ap", 1, 1, 0) == 0;
  if (!ap_write_open_) {
    ShowMessage("Error Opening AP Write");
  }
}

void TForm1::RequireConnectionParameters() const {
  if (!parameters_loaded_) {
    throw std::runtime_error(
        "The connection parameters were never loaded, because the set-up failed (see the "
        "earlier message). Fix the cause, then leave the To Agency field to repeat it.");
  }
}

void TForm1::LookUpAgencyName(QLineEdit* code_field, QLineEdit* name_field) {
  RequireConnectionParameters();
  FDConnection1.DropIfGone();
  // Escaped, so a code holding a quote finds nothing instead of breaking the statement.
  const std::string code = app::ToBytes(code_field->text());
  FDQuery1.SetSql("Select * from Agency where AgyCode = " + QuoteString(EscapeString(code)));
  FDQuery1.Open();
  if (FDQuery1.Eof()) {
    name_field->setText(" Not Found");
  } else {
    name_field->setText(app::FromBytes(FDQuery1.FieldByName("AgencyName").AsString()));
  }
}

void TForm1::edtFromAgyExit() {
  if (running_) {
    return;
  }
  ReportErrors([this] { LookUpAgencyName(edtFromAgy, edtFromName); });
}

void TForm1::edtToAgyExit() {
  if (running_) {
    return;
  }
  ReportErrors([this] {
    OpenDatabases();
    LookUpAgencyName(edtToAgy, edtToName);
  });
}

void TForm1::Button1Click() {
  if (running_) {
    return;
  }
  ReportErrors([this] {
    RunCopy(app::ToBytes(edtFromAgy->text()), app::ToBytes(edtToAgy->text()));
    close();
  });
}

void TForm1::SetRunControlsEnabled(bool enabled) {
  Button1->setEnabled(enabled);
  edtFromAgy->setEnabled(enabled);
  edtToAgy->setEnabled(enabled);
}

void TForm1::RunCopy(const std::string& from_code, const std::string& to_code,
                     app::RunOptions options) {
  if (running_) {
    throw std::logic_error("A run is already in progress.");
  }
  if (std::optional<std::string> refusal = app::CheckCodes(from_code, to_code)) {
    throw std::invalid_argument(*refusal);
  }
  FDConnection1.DropIfGone();
  // Everything a run needs is checked before its first delete, and every problem is named
  // at once: a run that stops at step ten leaves nine tables copied and one half cleared.
  if (const std::vector<std::string> problems = PreflightProblems(); !problems.empty()) {
    throw std::runtime_error(
        app::BulletList("The run cannot start, so nothing was changed:", problems));
  }
  if (options.atomic) {
    const std::vector<std::string> unsafe =
        copy::NonTransactionalTables(FDConnection1, copy::AllTables());
    if (!unsafe.empty()) {
      throw std::runtime_error(app::BulletList(
          "An all-or-nothing run is refused, because these tables of the run cannot be rolled "
          "back, so nothing was changed:",
          unsafe));
    }
  }
  sFromAgy = from_code;
  sToAgy = to_code;

  running_ = true;
  atomic_run_ = options.atomic;
  SetRunControlsEnabled(false);
  run_progress_->show();

  run_report_ = app::RunReport{};
  run_report_.from_code = from_code;
  run_report_.to_code = to_code;
  run_report_.atomic = options.atomic;

  // Whichever way the run ends: its time (a commit or rollback included) is taken, the
  // record store is back on its own connection and the controls work again.
  struct EndOfRun {
    TForm1* form;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

    ~EndOfRun() {
      form->run_report_.elapsed = std::chrono::steady_clock::now() - start;
      recstore::UseConnection(nullptr);
      form->running_ = false;
      form->atomic_run_ = false;
      form->run_progress_->hide();
      form->SetRunControlsEnabled(true);
    }
  } end_of_run{this};

  if (!options.atomic) {
    app::RunSequence(*this, run_report_);
    return;
  }

  // The ap records go through the record store, which then works on this very connection,
  // so the table rows and the records commit or roll back together.
  FDConnection1.Execute("START TRANSACTION");
  recstore::UseConnection(&FDConnection1);
  try {
    app::RunSequence(*this, run_report_);
    // Each ap copy sends its queued inserts at its end; this covers any later insert.
    if (recstore::Flush() != 0 || recstore::QueuedInsertsLost()) {
      throw std::runtime_error("The ap records were not all copied: " + recstore::LastErrorText());
    }
    FDConnection1.Execute("COMMIT");
  } catch (const std::exception& failure) {
    std::string text = failure.what();
    // Before the rollback: leaving the connection sends any inserts the record store still
    // queues, and they must land in the transaction that is rolled back, not after it.
    recstore::UseConnection(nullptr);
    try {
      FDConnection1.Execute("ROLLBACK");
    } catch (const std::exception&) {
      // The session is gone; the server rolls back what a lost session left open, so the
      // outcome is the same.
      FDConnection1.Close();
    }
    run_report_.rolled_back = true;
    throw std::runtime_error(text +
                             "\nThe run was rolled back: the destination is exactly as before "
                             "the run.");
  }
}

std::vector<std::string> TForm1::PreflightProblems() {
  RequireConnectionParameters();
  return copy::PreflightProblems(FDConnection1, copy::AllTables(), ap_read_open_, ap_write_open_);
}

std::vector<copy::TablePlan> TForm1::PlanCopy(const std::string& from_code,
                                              const std::string& to_code) {
  RequireConnectionParameters();
  return copy::PlanRun(FDConnection1, copy::AllTables(), from_code, to_code);
}

std::vector<copy::VerifyLine> TForm1::VerifyCopy(const std::string& from_code,
                                                 const std::string& to_code) {
  RequireConnectionParameters();
  return copy::VerifyRun(FDConnection1, copy::AllTables(), from_code, to_code);
}

copy::CopyContext TForm1::Context() {
  return copy::CopyContext{
      .select_query = FDQuery1,
      .insert_query = AddQuery,
      .from_code = sFromAgy,
      .to_code = sToAgy,
      .clear_existing = cbClearExisting->isChecked(),
      .status = [this](std::string_view text) { ShowStatus(text); },
      .copy_ap = [this](const std::string& from, const std::string& to,
                        const std::string& record_type) -> uint64_t {
        return CopyAP(from, to, record_type).copied;
      },
      .progress = [this](uint64_t inserted,
                         uint64_t selected) { ShowProgress(inserted, selected); },
      // One round trip per hundred inserts; only inside a transaction, where a failing
      // batch is rolled back with everything else anyway.
      .batch_size = atomic_run_ ? std::size_t{100} : std::size_t{1},
  };
}

recstore::ApCopyStats TForm1::CopyAP(const std::string& from_code, const std::string& to_code,
                                     const std::string& record_type) {
  const recstore::ApCopyStats stats =
      recstore::CopyApRecords(ApRead, ApWrite, ApSize, from_code, to_code, record_type);
  run_report_.ap_refused += stats.refused;
  // Only an atomic run queues inserts; committing it would make a copy with records missing
  // look complete, so the run fails and is rolled back instead.
  if (stats.incomplete) {
    throw std::runtime_error("The ap records of type " + record_type +
                             " were not all copied: " + stats.error);
  }
  return stats;
}

copy::TableCopyStats TForm1::CopyBanks() {
  return copy::CopyTable(copy::TableByMethod("CopyBanks"), Context());
}

copy::TableCopyStats TForm1::CopyClass() {
  return copy::CopyTable(copy::TableByMethod("CopyClass"), Context());
}

copy::TableCopyStats TForm1::CopyCompany() {
  return copy::CopyTable(copy::TableByMethod("CopyCompany"), Context());
}

copy::TableCopyStats TForm1::CopyCompanyContacts() {
  return copy::CopyTable(copy::TableByMethod("CopyCompanyContacts"), Context());
}

copy::TableCopyStats TForm1::CopyDepartment() {
  return copy::CopyTable(copy::TableByMethod("CopyDepartment"), Context());
}

copy::TableCopyStats TForm1::CopyGL() {
  return copy::CopyTable(copy::TableByMethod("CopyGL"), Context());
}

copy::TableCopyStats TForm1::CopyProducer() {
  return copy::CopyTable(copy::TableByMethod("CopyProducer"), Context());
}

copy::TableCopyStats TForm1::CopyTransaction() {
  return copy::CopyTable(copy::TableByMethod("CopyTransaction"), Context());
}

copy::TableCopyStats TForm1::CopyVendor() {
  return copy::CopyTable(copy::TableByMethod("CopyVendor"), Context());
}

copy::TableCopyStats TForm1::CopyAdditionalInterests() {
  return copy::CopyTable(copy::TableByMethod("CopyAdditionalInterests"), Context());
}

copy::TableCopyStats TForm1::CopyDLNAIC() {
  return copy::CopyTable(copy::TableByMethod("CopyDLNAIC"), Context());
}

copy::TableCopyStats TForm1::CopyDLLines() {
  return copy::CopyTable(copy::TableByMethod("CopyDLLines"), Context());
}
