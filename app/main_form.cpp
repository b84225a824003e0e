// The main window: its controls, set-up, the agency-name lookup and the run.
#include "app/main_form.h"

#include <algorithm>
#include <stdexcept>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFocusEvent>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>

#include "app/config.h"
#include "app/globals.h"
#include "app/text.h"
#include "copy/sql_text.h"
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
  if (status_observer_) {
    status_observer_(text);
  }
  // Lets the status line repaint; the run's controls are disabled, so no click can start a
  // second run from in here.
  QCoreApplication::processEvents();
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

void TForm1::FormCreate() {
  app::ReportErrors([this](const std::string& text) { ShowMessage(text); },
                    [this] {
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
  if (btrOpen(ApRead, "", "ap", 1, 1, 0) != 0) {
    ShowMessage("Error Opening AP Read");
  }
  if (btrOpen(ApWrite, "", "ap", 1, 1, 0) != 0) {
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
  app::ReportErrors([this](const std::string& text) { ShowMessage(text); },
                    [this] { LookUpAgencyName(edtFromAgy, edtFromName); });
}

void TForm1::edtToAgyExit() {
  if (running_) {
    return;
  }
  app::ReportErrors([this](const std::string& text) { ShowMessage(text); },
                    [this] {
                      OpenDatabases();
                      LookUpAgencyName(edtToAgy, edtToName);
                    });
}

void TForm1::Button1Click() {
  if (running_) {
    return;
  }
  app::ReportErrors([this](const std::string& text) { ShowMessage(text); },
                    [this] {
                      RunCopy(app::ToBytes(edtFromAgy->text()), app::ToBytes(edtToAgy->text()));
                      close();
                    });
}

void TForm1::SetRunControlsEnabled(bool enabled) {
  Button1->setEnabled(enabled);
  edtFromAgy->setEnabled(enabled);
  edtToAgy->setEnabled(enabled);
}

void TForm1::RunCopy(const std::string& from_code, const std::string& to_code) {
  if (running_) {
    throw std::logic_error("A run is already in progress.");
  }
  if (std::optional<std::string> refusal = app::CheckCodes(from_code, to_code)) {
    throw std::invalid_argument(*refusal);
  }
  RequireConnectionParameters();
  sFromAgy = from_code;
  sToAgy = to_code;

  running_ = true;
  SetRunControlsEnabled(false);

  struct EndOfRun {
    TForm1* form;

    ~EndOfRun() {
      form->running_ = false;
      form->SetRunControlsEnabled(true);
    }
  } end_of_run{this};

  run_report_ = app::RunReport{};
  run_report_.from_code = from_code;
  run_report_.to_code = to_code;
  app::RunSequence(*this, run_report_);
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
      .progress = {},
      .batch_size = 1,
  };
}

recstore::ApCopyStats TForm1::CopyAP(const std::string& from_code, const std::string& to_code,
                                     const std::string& record_type) {
  const recstore::ApCopyStats stats =
      recstore::CopyApRecords(ApRead, ApWrite, ApSize, from_code, to_code, record_type);
  run_report_.ap_refused += stats.refused;
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
