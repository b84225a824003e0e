// The question before a run: what the destination holds now, what replaces it, what changes
// row by row, which tables, and how.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <QDialog>

#include "app/dialog_support.h"

class QCheckBox;
class QFrame;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QTableWidget;

namespace app {

struct AgencyLabel {
  std::string code;
  std::string name;  // as the window shows it; may be " Not Found"
};

// One table, or one ap record type, of a run.
struct ReplaceLine {
  std::string what;        // "Bank", or "ap 009 (Banks)"
  uint64_t now = 0;        // rows or records the destination holds now, which the run deletes
  uint64_t replacing = 0;  // the source's rows or records the run copies in their place
  std::string table = {};  // the table whose check box the line follows: "Bank" for both
  // What the copy does to the destination's rows or records, by the comparison: those it
  // adds (only in the source), removes (only in the destination) and changes.
  uint64_t adds = 0;
  uint64_t removes = 0;
  uint64_t changes = 0;
};

// One row of "Details…": a row or record the copy adds, removes or changes, or a column it
// resets.
struct ChangeLine {
  std::string table;    // the table whose check box the line follows
  std::string what;     // "Bank", or "ap 009"
  std::string key;      // the row's key ("C1, 1"), a record's key bytes 9-16; "" for a reset
  std::string change;   // "added", "removed", "changed" or "reset to default"
  std::string columns;  // what changes: "Name, City", "bytes 17-20", "Memo in 2 rows"
};

struct ConfirmData {
  AgencyLabel from;
  AgencyLabel to;
  std::vector<ReplaceLine> lines;  // tables in run order, then the ap record types
  std::vector<ChangeLine> details;
  bool atomic = false;          // all or nothing; else step by step
  std::string run_kind_reason;  // why the run is made that way
  bool backup = true;           // the destination's profile is saved first
  std::string backup_dir;       // where it is saved
};

// "Replace" (default: Enter) accepts, "Cancel" (Esc) rejects. Each table has a check box,
// all checked; an unchecked table is left out of the run, its lines show nothing deleted,
// copied or changed and the totals follow; with none checked "Replace" is disabled.
// "Details…" lists the rows of the checked tables that the copy changes. Object names: the
// dialog "ConfirmDialog", its text "ConfirmText", the tables "ConfirmTable" (table or ap
// records, now, copied) and "ConfirmChanges" (added, removed, changed) side by side, the
// check boxes "ConfirmCheck" + the table ("ConfirmCheckBank"), the choice "ConfirmChoice",
// the buttons "DetailsButton", "ReplaceButton" and "CancelButton".
class ConfirmDialog : public QDialog {
  Q_OBJECT

 public:
  explicit ConfirmDialog(const ConfirmData& plan, QWidget* parent = nullptr);

  // The checked tables, in run order.
  std::vector<std::string> ChosenTables() const;

  // "Details…" hands its dialog to `hook` (see RunDialog), as the window does its own.
  void SetDialogHook(DialogHook hook) { hook_ = std::move(hook); }

 private:
  // The two tables side by side in a frame, with a check box for each table.
  QFrame* BuildTables();
  QHBoxLayout* BuildButtons();
  bool IsChosen(const std::string& table) const;
  // Shows each line's counts as the check boxes choose, and the totals.
  void ShowCounts();
  void ShowDetails();

  ConfirmData plan_;
  DialogHook hook_;
  QTableWidget* table_ = nullptr;
  QTableWidget* changes_ = nullptr;
  QLabel* choice_ = nullptr;
  QPushButton* replace_ = nullptr;
  std::vector<std::pair<std::string, QCheckBox*>> checks_;  // table, its box, in run order
};

}  // namespace app
