// The saved profiles, newest first, and putting one back.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <QDialog>

class QLabel;
class QPushButton;
class QTableWidget;

namespace app {

// One saved profile.
struct HistoryRow {
  std::string path;     // the file
  std::string time;     // when it was saved
  std::string agency;   // whose profile it is
  std::string made_by;  // what saved it: "copy from 01", or "put back"
  std::string outcome;  // how that run or put back ended: "completed", "failed", "unknown"
  uint64_t rows = 0;
  uint64_t records = 0;
  std::string tables;   // "Bank, GLCodes" when the run chose some tables; "": all of them
  std::string problem;  // not empty when the file cannot be read; it cannot be put back
};

// Lists what `load` gives, newest first with the newest selected. "Put back" (default:
// Enter) hands the selected row to `put_back` (which asks, restores and reports) and then
// lists again; "Close" and Esc close. `load` may throw: its text is then shown instead of
// a list. Object names: the dialog "HistoryDialog", the list "HistoryList", the selected
// file "HistoryFile", the buttons "PutBackButton" and "CloseButton".
class HistoryDialog : public QDialog {
  Q_OBJECT

 public:
  using Loader = std::function<std::vector<HistoryRow>()>;
  using PutBack = std::function<void(const HistoryRow&)>;

  HistoryDialog(const std::string& folder, Loader load, PutBack put_back,
                QWidget* parent = nullptr);

  // Lists again and selects the newest.
  void Reload();

 private:
  void SelectionChanged();
  void PutBackSelected();

  Loader load_;
  PutBack put_back_;
  std::vector<HistoryRow> rows_;
  QTableWidget* list_ = nullptr;
  QLabel* file_ = nullptr;
  QPushButton* put_back_button_ = nullptr;
};

}  // namespace app
