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

#include "app/globals.h"
#include "app/result_dialog.h"
#include "app/text.h"
#include "backup/backup.h"
#include "copy/table_desc.h"
#include "run/run_report.h"

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

TForm1::TForm1(app::MessageSink message_sink, std::string config_path, QWidget* parent)
    : QMainWindow(parent),
      message_sink_(std::move(message_sink)),
      session_([this](const std::string& text) { ShowMessage(text); }, std::move(config_path),
               run::ApVariables{.read = &ApRead, .write = &ApWrite, .size = &ApSize}) {
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
  // Set on the client area rather than the window, so the status bar keeps its own font.
  client->setFont(app::WindowFont());
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
  // Not one of the designer's controls: it takes the free space right of "GO!" and moves
  // none of them. The ampersand makes Alt+H open it.
  btnHistory = MakeControl<QPushButton>(client, "btnHistory", "&History…", 738, 16, 106, 31);

  // Labels grow to their text, as they would with the designer's auto-size, so that a
  // substitute font wider than Tahoma does not clip them.
  for (QLabel* label : {Label1, Label2}) {
    label->resize(std::max(label->width(), label->sizeHint().width()), label->height());
  }
  // The designer's 17 pixels are too low for the 19-pixel font: the box keeps its place
  // and grows to show its whole text.
  cbClearExisting->resize(
      std::max(cbClearExisting->width(), cbClearExisting->sizeHint().width()),
      std::max(cbClearExisting->height(), cbClearExisting->sizeHint().height()));

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
  QWidget::setTabOrder(Button1, btnHistory);
  edtFromAgy->setFocus();

  resize(852, 411);

  edtFromAgy->installEventFilter(this);
  edtToAgy->installEventFilter(this);
  connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
  connect(btnHistory, &QPushButton::clicked, this, &TForm1::OpenHistory);
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
  // A box of its own takes the platform's font, smaller than the window's and its dialogs'.
  box.setFont(app::WindowFont());
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
  session_.CloseApHandles();
}

void TForm1::OpenDatabases() {
  session_.OpenDatabases();
}

void TForm1::LookUpAgencyName(QLineEdit* code_field, QLineEdit* name_field) {
  const std::optional<std::string> name = session_.AgencyName(app::ToBytes(code_field->text()));
  name_field->setText(name ? app::FromBytes(*name) : QString(" Not Found"));
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
    const std::string from_code = app::ToBytes(edtFromAgy->text());
    const std::string to_code = app::ToBytes(edtToAgy->text());
    // The run holds both agencies' locks from its checks until it is gone, so what the
    // question shows is what the run replaces.
    std::unique_ptr<run::CopyRun> run = PrepareRun(from_code, to_code, WindowRunOptions());
    const std::optional<std::vector<std::string>> tables = ConfirmRun(Question(*run));
    if (!tables) {
      return;
    }
    run->ChooseTables(*tables);
    RunConfirmed(*run);
    run.reset();
    ShowRunResult();
    close();
  });
}

void TForm1::SetRunControlsEnabled(bool enabled) {
  Button1->setEnabled(enabled);
  edtFromAgy->setEnabled(enabled);
  edtToAgy->setEnabled(enabled);
}

run::RunObserver TForm1::Observer() {
  return run::RunObserver{
      .status = [this](std::string_view text) { ShowStatus(text); },
      .progress = [this](std::string_view, uint64_t inserted,
                         uint64_t selected) { ShowProgress(inserted, selected); },
  };
}

void TForm1::RunCopy(const std::string& from_code, const std::string& to_code,
                     run::RunOptions options) {
  const std::unique_ptr<run::CopyRun> run = PrepareRun(from_code, to_code, std::move(options));
  ExecuteRun(*run);
}

std::unique_ptr<run::CopyRun> TForm1::PrepareRun(const std::string& from_code,
                                                 const std::string& to_code,
                                                 run::RunOptions options) {
  if (running_) {
    throw std::logic_error("A run is already in progress.");
  }
  // The codes are checked before they become the run's: a refused run changes nothing.
  if (std::optional<std::string> refusal = run::CheckCodes(from_code, to_code)) {
    throw std::invalid_argument(*refusal);
  }
  sFromAgy = from_code;
  sToAgy = to_code;
  const bool announce_step_by_step = options.mode == run::RunMode::kAuto;
  auto run = std::make_unique<run::CopyRun>(session_, sFromAgy, sToAgy, std::move(options));
  try {
    run->Prepare();
  } catch (...) {
    run_report_ = run->report();
    throw;
  }
  // Told before anything changes: a press of "GO!" is all or nothing unless the server says
  // otherwise, and a user should not learn that from a half-copied profile.
  if (!run->all_or_nothing() && announce_step_by_step) {
    // The status line, not a step's status: the steps' own texts follow it as they start.
    StatusBar1->showMessage(
        app::FromBytes("Step by step, because " + run->step_by_step_reason() + "."));
    ShowMessage(run::StepByStepNotice(run->step_by_step_reason()));
  }
  return run;
}

void TForm1::ExecuteRun(run::CopyRun& run) {
  if (running_) {
    throw std::logic_error("A run is already in progress.");
  }
  running_ = true;
  SetRunControlsEnabled(false);
  run_progress_->show();

  // Whichever way the run ends, the controls work again.
  struct EndOfRun {
    TForm1* form;

    ~EndOfRun() {
      form->running_ = false;
      form->run_progress_->hide();
      form->SetRunControlsEnabled(true);
    }
  } end_of_run{this};

  try {
    run.Execute(Observer());
  } catch (...) {
    run_report_ = run.report();
    throw;
  }
  run_report_ = run.report();
}

std::vector<std::string> TForm1::PreflightProblems() {
  return session_.PreflightProblems();
}

copy::Plan TForm1::PlanCopy(const std::string& from_code, const std::string& to_code) {
  return session_.PlanCopy(from_code, to_code);
}

std::vector<compare::VerifyLine> TForm1::VerifyCopy(const std::string& from_code,
                                                    const std::string& to_code) {
  return session_.VerifyCopy(from_code, to_code);
}

recstore::ApCopyStats TForm1::CopyAP(const std::string& from_code, const std::string& to_code,
                                     const std::string& record_type) {
  return session_.CopyAp(from_code, to_code, record_type);
}

copy::TableCopyStats TForm1::CopyStep(const char* method) {
  return session_.CopyStep(copy::TableByMethod(method), sFromAgy, sToAgy, Observer());
}

copy::TableCopyStats TForm1::CopyBanks() {
  return CopyStep("CopyBanks");
}

copy::TableCopyStats TForm1::CopyClass() {
  return CopyStep("CopyClass");
}

copy::TableCopyStats TForm1::CopyCompany() {
  return CopyStep("CopyCompany");
}

copy::TableCopyStats TForm1::CopyCompanyContacts() {
  return CopyStep("CopyCompanyContacts");
}

copy::TableCopyStats TForm1::CopyDepartment() {
  return CopyStep("CopyDepartment");
}

copy::TableCopyStats TForm1::CopyGL() {
  return CopyStep("CopyGL");
}

copy::TableCopyStats TForm1::CopyProducer() {
  return CopyStep("CopyProducer");
}

copy::TableCopyStats TForm1::CopyTransaction() {
  return CopyStep("CopyTransaction");
}

copy::TableCopyStats TForm1::CopyVendor() {
  return CopyStep("CopyVendor");
}

copy::TableCopyStats TForm1::CopyAdditionalInterests() {
  return CopyStep("CopyAdditionalInterests");
}

copy::TableCopyStats TForm1::CopyDLNAIC() {
  return CopyStep("CopyDLNAIC");
}

copy::TableCopyStats TForm1::CopyDLLines() {
  return CopyStep("CopyDLLines");
}

void TForm1::SetDialogHook(app::DialogHook hook) {
  dialog_hook_ = std::move(hook);
}

run::RunOptions TForm1::WindowRunOptions() const {
  return run::RunOptions{.mode = run_mode_};
}

void TForm1::RunConfirmed(run::CopyRun& run) {
  const std::string& to_code = run.report().to_code;
  current_step_.clear();
  try {
    ExecuteRun(run);
  } catch (const std::exception& failure) {
    const run::RunReport& report = run_report();
    // Refused before its first step, the run changed nothing and its text says so.
    if (current_step_.empty()) {
      throw;
    }
    std::string text;
    if (!report.finished) {
      text = "The step \"" + current_step_ + "\" failed. " +
             (report.rolled_back
                  ? "The whole run was undone: agency " + to_code + " is as it was."
                  : "The tables before it are copied to agency " + to_code +
                        ", this one may be partly copied, and the tables after it are as "
                        "they were.") +
             "\n\n";
    }
    text += failure.what();
    if (!report.backup_file.empty()) {
      text += "\n\n\"History…\" in the window puts the saved profile back.";
    }
    throw std::runtime_error(text);
  }
}

void TForm1::ShowRunResult() {
  const run::RunReport& report = run_report();
  app::RunResultData summary{
      .from_code = report.from_code,
      .to_code = report.to_code,
      .seconds = run::FormatSeconds(report.elapsed),
      .backup_file = report.backup_file,
  };
  for (const run::StepReport& step : report.steps) {
    summary.rows += step.stats.rows_inserted;
    summary.ap_records += step.stats.ap_copied;
    if (report.steps.size() < copy::AllTables().size()) {
      summary.tables.push_back(copy::TableByMethod(step.method).table);
    }
  }
  app::ResultDialog dialog(summary, this);
  app::RunDialog(dialog, dialog_hook_);
}
