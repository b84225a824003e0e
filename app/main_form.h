// The one window: the two agency codes, their names, "GO!" and the status line.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QMainWindow>

#include "app/confirm_dialog.h"
#include "app/dialog_support.h"
#include "app/history_dialog.h"
#include "app/report_errors.h"
#include "compare/verify.h"
#include "copy/plan.h"
#include "copy/table_copy.h"
#include "db/connection.h"
#include "db/query.h"
#include "recstore/ap_copy.h"
#include "run/copy_run.h"
#include "run/session.h"
#include "settings/config.h"

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
// open after any failure. The work itself is the run core's (run::Session), which the
// command line drives too. Uses the process-wide values of app/globals.h; one window at a
// time.
class TForm1 : public QMainWindow {
  Q_OBJECT

 public:
  // Messages (errors and the program's own) go to `message_sink`; when empty, each is shown
  // in a modal box with one OK button titled "Kelvane". OpenDatabases reads the
  // configuration file at `config_path`. Both are needed by FormCreate, hence constructor
  // arguments.
  explicit TForm1(app::MessageSink message_sink = {},
                  std::string config_path = settings::ConfigPath(), QWidget* parent = nullptr);
  ~TForm1() override;

  // Called with each step's status text right after the status bar shows it (the headless
  // mode prints it; tests record it). Empty: none.
  void SetStatusObserver(std::function<void(std::string_view)> observer);

  // Called while a step inserts rows, with the step's status text, the rows inserted so far
  // and the rows selected; at most every 1000 rows and after the last (the callee
  // throttles). Empty: none.
  using ProgressObserver = std::function<void(std::string_view, uint64_t, uint64_t)>;
  void SetProgressObserver(ProgressObserver observer);

  // The run core's set-up (run::Session::OpenDatabases): configuration, "Utility.ini",
  // the record store and a new pair of ap handles, opened into ApRead and ApWrite.
  // Throws as that does; a failed ap open is reported through the sink and set-up carries on.
  void OpenDatabases();

  // A run from `from_code` to `to_code`: sets sFromAgy and sToAgy and carries out a
  // run::CopyRun (locks, checks, plan, backup, the twelve steps), with "GO!" and the code
  // fields disabled meanwhile. Throws std::invalid_argument for refused codes and
  // run::RunError; the status bar keeps the failing step's text. Does not close the window.
  void RunCopy(const std::string& from_code, const std::string& to_code,
               run::RunOptions options = {});

  // The two phases of RunCopy, for a caller that shows the plan and asks before anything
  // changes. PrepareRun checks the codes (std::invalid_argument), sets sFromAgy and sToAgy
  // and prepares the run (run::CopyRun::Prepare: lock, check, plan; nothing changed); the
  // run holds the agencies' locks until it is destroyed. ExecuteRun carries it out with
  // the controls disabled. Both throw run::RunError.
  std::unique_ptr<run::CopyRun> PrepareRun(const std::string& from_code, const std::string& to_code,
                                           run::RunOptions options = {});
  void ExecuteRun(run::CopyRun& run);

  // Everything that would make a run fail part way (missing tables or columns, an ap handle
  // that did not open), one line each; empty when a run can start. Changes nothing. Throws
  // what the set-up check and the database throw.
  std::vector<std::string> PreflightProblems();

  // What a run from `from_code` to `to_code` would delete and copy, table by table.
  // Changes nothing. Throws db::Error.
  copy::Plan PlanCopy(const std::string& from_code, const std::string& to_code);

  // Whether the destination holds exactly the copy of the source, one line per table and
  // ap record type. Changes nothing. Throws db::Error.
  std::vector<compare::VerifyLine> VerifyCopy(const std::string& from_code,
                                              const std::string& to_code);

  // What the last run did; its steps are those that finished.
  const run::RunReport& run_report() const { return run_report_; }

  bool running() const { return running_; }

  // Every dialog the window opens (the question before a run, its result, the saved
  // profiles and what putting one back asks and says) is handed to `hook` just before it
  // runs modally, so a test can answer it. Empty: the user answers.
  void SetDialogHook(app::DialogHook hook);

  // How "GO!" commits. The window offers no choice: it is all or nothing when it can be
  // (run::RunMode::kAuto); tests of the original stream set kStepByStep.
  void SetRunMode(run::RunMode mode) { run_mode_ = mode; }

  // The saved profiles, where one can be put back ("History…", Alt+H). Returns when the
  // user closes it.
  void OpenHistory();

  // Copies the ap records of `record_type` from `from_code` to `to_code` through ApRead and
  // ApWrite, with ApSize as the length; what the store refused is counted in the result.
  // Throws std::runtime_error naming the record type, the status, the store's message and
  // the key read last when a read fails.
  recstore::ApCopyStats CopyAP(const std::string& from_code, const std::string& to_code,
                               const std::string& record_type);

  // The twelve table copies, each of its own table with its ap records, for sFromAgy and
  // sToAgy on the window's connection, outside any run. Throw db::Error at the first
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
  void CloseApHandles();
  void SetRunControlsEnabled(bool enabled);
  copy::TableCopyStats CopyStep(const char* method);
  run::RunObserver Observer();
  // "GO!" in four parts: what a run checks before it changes anything, the question, the
  // run itself, and what it did.
  run::RunOptions WindowRunOptions() const;
  // The question before a prepared run: its agencies, its plan, what the copy changes row
  // by row (compared now, under the run's locks), how it runs, where the destination's
  // profile is saved. Throws what the comparison throws.
  app::ConfirmData Question(const run::CopyRun& run);
  // The tables the user chose to replace, or nothing when the run is cancelled.
  std::optional<std::vector<std::string>> ConfirmRun(const app::ConfirmData& question);
  void RunConfirmed(run::CopyRun& run);
  void ShowRunResult();
  // The history's two halves: the list, and putting one profile back.
  std::vector<app::HistoryRow> HistoryRows(const std::string& dir);
  void PutBack(const app::HistoryRow& row);

  // Owned by the window through Qt's parent chain.
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* edtFromAgy = nullptr;
  QLineEdit* edtToAgy = nullptr;
  QLineEdit* edtFromName = nullptr;
  QLineEdit* edtToName = nullptr;
  QCheckBox* cbClearExisting = nullptr;
  QPushButton* Button1 = nullptr;
  QPushButton* btnHistory = nullptr;  // right of "GO!", in space the fixed controls leave
  QStatusBar* StatusBar1 = nullptr;
  QProgressBar* run_progress_ = nullptr;  // right end of StatusBar1, shown during a run

  app::MessageSink message_sink_;
  // The run core owns the connection and the two statement objects, the window names them
  // as it always has; the ap handles it opens are ApRead and ApWrite themselves.
  run::Session session_;
  db::Connection& FDConnection1 = session_.connection();
  db::Query& FDQuery1 = session_.select_query();
  db::Query& AddQuery = session_.insert_query();

  std::function<void(std::string_view)> status_observer_;
  ProgressObserver progress_observer_;
  app::DialogHook dialog_hook_;
  run::RunMode run_mode_ = run::RunMode::kAuto;
  std::string current_step_;   // status text of the running step
  run::RunReport run_report_;  // what the last run did
  std::chrono::steady_clock::time_point last_repaint_;
  bool running_ = false;  // a run is in progress; no second one, no set-up meanwhile
};
