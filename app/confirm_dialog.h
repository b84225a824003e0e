// The question before a run: what the destination holds now, what replaces it, and how.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <QDialog>

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
};

struct ConfirmData {
  AgencyLabel from;
  AgencyLabel to;
  std::vector<ReplaceLine> lines;  // tables in run order, then the ap record types
  bool atomic = false;             // all or nothing; else step by step
  std::string run_kind_reason;     // why the run is made that way
  bool backup = true;              // the destination's profile is saved first
  std::string backup_dir;          // where it is saved
};

// "Replace" (default: Enter) accepts, "Cancel" (Esc) rejects. Object names: the dialog
// "ConfirmDialog", its text "ConfirmText", the table "ConfirmTable", the buttons
// "ReplaceButton" and "CancelButton".
class ConfirmDialog : public QDialog {
  Q_OBJECT

 public:
  explicit ConfirmDialog(const ConfirmData& plan, QWidget* parent = nullptr);
};

}  // namespace app
