// The saved profiles and putting one back.
#include "app/history_dialog.h"

#include <algorithm>
#include <exception>

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/dialog_support.h"
#include "app/text.h"

namespace app {

HistoryDialog::HistoryDialog(const std::string& folder, Loader load, PutBack put_back,
                             QWidget* parent)
    : QDialog(parent), load_(std::move(load)), put_back_(std::move(put_back)) {
  setObjectName("HistoryDialog");
  setWindowTitle("Kelvane: saved profiles");
  setFont(WindowFont());

  auto* heading =
      new QLabel(QString("The profiles saved before each copy and put back, newest first, in\n%1")
                     .arg(FromBytes(folder)),
                 this);
  heading->setObjectName("HistoryHeading");
  heading->setTextInteractionFlags(Qt::TextSelectableByMouse);

  list_ = new QTableWidget(0, 5, this);
  list_->setObjectName("HistoryList");
  list_->setHorizontalHeaderLabels({"Saved", "Agency", "Saved by", "That run", "Holds"});
  list_->verticalHeader()->hide();
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->horizontalHeader()->setStretchLastSection(true);
  list_->setMinimumHeight(260);

  file_ = new QLabel(this);
  file_->setObjectName("HistoryFile");
  file_->setTextInteractionFlags(Qt::TextSelectableByMouse);

  put_back_button_ = new QPushButton("Put back", this);
  put_back_button_->setObjectName("PutBackButton");
  put_back_button_->setDefault(true);
  auto* close = new QPushButton("Close", this);
  close->setObjectName("CloseButton");
  close->setAutoDefault(false);
  connect(put_back_button_, &QPushButton::clicked, this, &HistoryDialog::PutBackSelected);
  connect(close, &QPushButton::clicked, this, &QDialog::reject);
  connect(list_, &QTableWidget::itemSelectionChanged, this, &HistoryDialog::SelectionChanged);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(put_back_button_);
  buttons->addWidget(close);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(heading);
  layout->addWidget(list_);
  layout->addWidget(file_);
  layout->addLayout(buttons);

  Reload();
  list_->setFocus();
}

void HistoryDialog::Reload() {
  QString failure;
  try {
    rows_ = load_();
  } catch (const std::exception& e) {
    rows_.clear();
    failure = FromBytes(e.what());
  }
  list_->clearContents();
  list_->setRowCount(static_cast<int>(rows_.size()));
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    const HistoryRow& entry = rows_[i];
    const int row = static_cast<int>(i);
    QString holds = entry.problem.empty()
                        ? QString("%1 rows, %2 ap records").arg(entry.rows).arg(entry.records)
                        : FromBytes(entry.problem);
    if (!entry.tables.empty()) {
      holds += QString(" (only %1)").arg(FromBytes(entry.tables));
    }
    const QString cells[] = {FromBytes(entry.time), FromBytes(entry.agency),
                             FromBytes(entry.made_by), FromBytes(entry.outcome), holds};
    for (int column = 0; column < 5; ++column) {
      auto* item = new QTableWidgetItem(cells[column]);
      item->setToolTip(FromBytes(entry.path));
      list_->setItem(row, column, item);
    }
  }
  list_->resizeColumnsToContents();
  list_->resizeRowsToContents();
  int width = 2 * list_->frameWidth() + 24;
  for (int column = 0; column < list_->columnCount(); ++column) {
    width += list_->columnWidth(column);
  }
  list_->setMinimumWidth(std::max(width, 600));
  if (rows_.empty()) {
    file_->setText(failure.isEmpty() ? QString("No profile has been saved yet.") : failure);
    put_back_button_->setEnabled(false);
  } else {
    list_->selectRow(0);
    SelectionChanged();
  }
}

void HistoryDialog::SelectionChanged() {
  const int row = list_->currentRow();
  if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) {
    put_back_button_->setEnabled(false);
    return;
  }
  const HistoryRow& entry = rows_[static_cast<std::size_t>(row)];
  file_->setText(FromBytes(entry.path));
  put_back_button_->setEnabled(entry.problem.empty());
}

void HistoryDialog::PutBackSelected() {
  const int row = list_->currentRow();
  if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) {
    return;
  }
  // A copy: the list is read again below.
  const HistoryRow entry = rows_[static_cast<std::size_t>(row)];
  put_back_(entry);
  Reload();
}

}  // namespace app
