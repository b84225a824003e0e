// "Details…" of the question before a run: the rows a copy adds, removes and changes.
#pragma once

#include <string>
#include <vector>

#include <QDialog>

#include "app/confirm_dialog.h"

namespace app {

// Lists `lines` (each row's table or record type, key, change and columns) under a heading
// that names both agencies; "Close" (default: Enter) and Esc close it. Object names: the
// dialog "DetailsDialog", its heading "DetailsHeading", the list "DetailsList", the button
// "CloseButton".
class DetailsDialog : public QDialog {
  Q_OBJECT

 public:
  DetailsDialog(const std::string& from_code, const std::string& to_code,
                const std::vector<ChangeLine>& lines, QWidget* parent = nullptr);
};

}  // namespace app
