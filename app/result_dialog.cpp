// What a finished run did.
#include "app/result_dialog.h"

#include <algorithm>

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/dialog_support.h"
#include "app/text.h"

namespace app {

ResultDialog::ResultDialog(const RunResultData& result, QWidget* parent) : QDialog(parent) {
  setObjectName("ResultDialog");
  setWindowTitle("Kelvane: profile copied");
  setFont(WindowFont());

  QString tables;
  for (const std::string& table : result.tables) {
    tables += (tables.isEmpty() ? "" : ", ") + FromBytes(table);
  }
  // A run of some tables copied no profile, and must not say it did.
  const QString copied =
      tables.isEmpty() ? QString("Agency %1 now holds a copy of the profile of agency %2:\n")
                       : QString(
                             "Agency %1 now holds a copy of agency %2's %3\n"
                             "(its other tables are as they were):\n")
                             .arg(FromBytes(result.to_code), FromBytes(result.from_code), tables);
  QString text = QString(copied + "%3 rows and %4 ap records copied in %5 seconds.")
                     .arg(FromBytes(result.to_code), FromBytes(result.from_code))
                     .arg(result.rows)
                     .arg(result.ap_records)
                     .arg(FromBytes(result.seconds));
  if (!result.backup_file.empty()) {
    text += QString("\n\nIts previous profile is saved in\n%1\n\n\"History…\" puts it back.")
                .arg(FromBytes(result.backup_file));
  }
  auto* label = new QLabel(text, this);
  label->setObjectName("ResultText");
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);

  auto* ok = new QPushButton("OK", this);
  ok->setObjectName("OkButton");
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(label);
  layout->addLayout(buttons);
  // A backup's path is long and has no spaces to wrap at.
  setMinimumWidth(
      std::max(640, label->fontMetrics().horizontalAdvance(FromBytes(result.backup_file)) + 60));
  ok->setFocus();
}

}  // namespace app
