// What a finished run did, said once before the window closes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <QDialog>

namespace app {

struct RunResultData {
  std::string from_code;
  std::string to_code;
  uint64_t rows = 0;        // table rows copied
  uint64_t ap_records = 0;  // ap records copied
  std::string seconds;      // the run's time, e.g. "3.204"
  std::string backup_file;  // the saved profile; "" when none was saved
  // The tables copied when the run chose some, in run order; empty: all twelve.
  std::vector<std::string> tables = {};
};

// One text and "OK" (default: Enter; Esc too). Object names: the dialog "ResultDialog",
// its text "ResultText", the button "OkButton".
class ResultDialog : public QDialog {
  Q_OBJECT

 public:
  explicit ResultDialog(const RunResultData& result, QWidget* parent = nullptr);
};

}  // namespace app
