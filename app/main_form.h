// The one window: the two agency codes, their names, "GO!" and the status line.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <QMainWindow>

#include "app/report_errors.h"
#include "app/run_sequence.h"
#include "copy/dry_run.h"
#include "copy/table_copy.h"
#include "copy/verify.h"
#include "db/connection.h"
#include "db/query.h"
#include "recstore/ap_copy.h"

class QCheckBox;
class QCloseEvent;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStatusBar;

// The main window. Creating it runs FormCreate (set-up and the two name lookups) before it
// is first shown; destroying it runs FormDestroy (closes the ap handles). Every event method
// catches what its work throws and hands the text to the message sink, so the window stays
// open after any failure. Uses the process-wide values of app/globals.h; one window at a time.
class TForm1 : public QMainWindow {
  Q_OBJECT

 public:
  // Messages (errors and the program's own) go to `message_sink`; when empty, each is shown
  // in a modal box with one OK button titled "Kelvane". The sink is needed by FormCreate,
  // hence a constructor argument.
  explicit TForm1(app::MessageSink message_sink = {}, QWidget* parent = nullptr);
  ~TForm1() override;

  // Called with each step's status text right after the status bar shows it (the headless
  // mode prints it; tests record it). Empty: none.
  void SetStatusObserver(std::function<void(std::string_view)> observer);

  // Called while a step inserts rows, with the step's status text, the rows inserted so far
  // and the rows selected; at most every 1000 rows and after the last (the callee
  // throttles). Empty: none.
  using ProgressObserver = std::function<void(std::string_view, uint64_t, uint64_t)>;
  void SetProgressObserver(ProgressObserver observer);

  // Reads the configuration, writes "Utility.ini", initialises the record store, loads the
  // connection parameters back (closing an open connection) and opens ap on a new pair of
  // handles, closing the previous pair first. Does not connect to MySQL. Throws
  // std::runtime_error when "Utility.ini" cannot be written or loaded (the later steps are
  // then skipped); a failed ap open is reported through the sink and set-up carries on.
  void OpenDatabases();

  // A run from `from_code` to `to_code`: sets sFromAgy and sToAgy and runs the twelve copy
  // steps in order, with "GO!" and the code fields disabled meanwhile. Before anything is
  // deleted it checks the run: throws std::invalid_argument for codes app::CheckCodes
  // refuses, and std::runtime_error listing every problem PreflightProblems finds or, for an
  // atomic run, every table that cannot roll back (nothing runs in these cases). Otherwise
  // throws whatever the failing step throws: the steps before stay copied (the status bar
  // keeps the failing step's text), except in an atomic run, which is rolled back and then
  // throws std::runtime_error saying so. Does not close the window.
  void RunCopy(const std::string& from_code, const std::string& to_code,
               app::RunOptions options = {});

  // Everything that would make a run fail part way (missing tables or columns, an ap handle
  // that did not open), one line each; empty when a run can start. Changes nothing. Throws
  // what the set-up check and the database throw.
  std::vector<std::string> PreflightProblems();

  // What a run from `from_code` to `to_code` would delete and copy, table by table.
  // Changes nothing. Throws db::Error.
  std::vector<copy::TablePlan> PlanCopy(const std::string& from_code, const std::string& to_code);

  // Whether the destination holds exactly the copy of the source, one line per table and
  // ap record type. Changes nothing. Throws db::Error.
  std::vector<copy::VerifyLine> VerifyCopy(const std::string& from_code,
                                           const std::string& to_code);

  // What the last run did; its steps are those that finished.
  const app::RunReport& run_report() const { return run_report_; }

  bool running() const { return running_; }

  // Copies the ap records of `record_type` from `from_code` to `to_code` through ApRead and
  // ApWrite. Refused records are counted, not reported. Throws std::runtime_error naming
  // the record type and the store's error when records queued in an atomic run were lost.
  recstore::ApCopyStats CopyAP(const std::string& from_code, const std::string& to_code,
                               const std::string& record_type);

  // The twelve table copies, each for sFromAgy and sToAgy. Throw db::Error at the first
  // failing statement; what ran before stays.
  copy::TableCopyStats CopyBanks();
  copy::TableCopyStats CopyClass();
  copy::TableCopyStats CopyCompany();
  copy::TableCopyStats CopyCompanyContacts();
  copy::TableCopyStats CopyDepartment();
  copy::TableCopyStats CopyGL();
  copy::TableCopyStats CopyProducer();
  copy::TableCopyStats CopyTransaction();
  copy::TableCopyStats CopyVendor();
  copy::TableCopyStats CopyAdditionalInterests();
  copy::TableCopyStats CopyDLNAIC();
  copy::TableCopyStats CopyDLLines();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private slots:
  void FormCreate();
  void FormDestroy();
  void edtFromAgyExit();
  void edtToAgyExit();
  void Button1Click();

 private:
  void BuildControls();
  // Runs `body`; what it throws is shown as a message, and nothing leaves the event method.
  void ReportErrors(const std::function<void()>& body);
  void ShowMessage(const std::string& text);
  void ShowStatus(std::string_view text);
  void ShowProgress(uint64_t inserted, uint64_t selected);
  void LookUpAgencyName(QLineEdit* code_field, QLineEdit* name_field);
  void RequireConnectionParameters() const;
  void CloseApHandles();
  void SetRunControlsEnabled(bool enabled);
  copy::CopyContext Context();

  // Owned by the window through Qt's parent chain.
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* edtFromAgy = nullptr;
  QLineEdit* edtToAgy = nullptr;
  QLineEdit* edtFromName = nullptr;
  QLineEdit* edtToName = nullptr;
  QCheckBox* cbClearExisting = nullptr;
  QPushButton* Button1 = nullptr;
  QStatusBar* StatusBar1 = nullptr;
  QProgressBar* run_progress_ = nullptr;  // right end of StatusBar1, shown during a run

  // The connection comes first so that it outlives both queries.
  db::Connection FDConnection1;
  db::Query FDQuery1{FDConnection1, "FDQuery1"};
  db::Query AddQuery{FDConnection1, "AddQuery"};

  app::MessageSink message_sink_;
  std::function<void(std::string_view)> status_observer_;
  ProgressObserver progress_observer_;
  std::string current_step_;  // status text of the running step
  std::chrono::steady_clock::time_point last_repaint_;
  app::RunReport run_report_;
  // False until OpenDatabases has loaded the connection parameters once: before that the
  // connection would use built-in settings that nobody configured.
  bool parameters_loaded_ = false;
  bool running_ = false;     // a run is in progress; no second one, no set-up meanwhile
  bool atomic_run_ = false;  // the running run is one transaction: inserts go in batches
  // Whether the last btrOpen on ApRead / ApWrite succeeded; a run needs both.
  bool ap_read_open_ = false;
  bool ap_write_open_ = false;
};
