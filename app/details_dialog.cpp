// The rows a copy adds, removes and changes, listed.
#include "app/details_dialog.h"

#include <algorithm>

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/dialog_support.h"
#include "app/text.h"

namespace app {

namespace {

constexpr int kColumnsWidth = 560;  // pixels at the window's font

}  // namespace

DetailsDialog::DetailsDialog(const std::string& from_code, const std::string& to_code,
                             const std::vector<ChangeLine>& lines, QWidget* parent)
    : QDialog(parent) {
  setObjectName("DetailsDialog");
  setWindowTitle("Kelvane: what the copy changes");
  setFont(WindowFont());

  auto* heading = new QLabel(this);
  heading->setObjectName("DetailsHeading");
  const QString from = FromBytes(from_code);
  const QString to = FromBytes(to_code);
  heading->setText(
      lines.empty() ? QString("A copy of %1 to %2 leaves every row of the checked tables as it is.")
                          .arg(from, to)
                    : QString("What a copy of %1 to %2 adds (only in %1), removes (only in %2)\n"
                              "and changes in %2, in the checked tables:")
                          .arg(from, to));

  auto* list = new QTableWidget(static_cast<int>(lines.size()), 4, this);
  list->setObjectName("DetailsList");
  list->setHorizontalHeaderLabels({"Table or ap records", "Key", "Change", "Columns"});
  list->verticalHeader()->hide();
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const int row = static_cast<int>(i);
    const ChangeLine& line = lines[i];
    list->setItem(row, 0, new QTableWidgetItem(FromBytes(line.what)));
    list->setItem(row, 1, new QTableWidgetItem(FromBytes(line.key)));
    list->setItem(row, 2, new QTableWidgetItem(FromBytes(line.change)));
    list->setItem(row, 3, new QTableWidgetItem(FromBytes(line.columns)));
  }
  list->resizeColumnsToContents();
  // A changed row of a wide table names many columns: they wrap rather than scroll away.
  list->setColumnWidth(3, std::min(list->columnWidth(3), kColumnsWidth));
  list->setWordWrap(true);
  list->resizeRowsToContents();
  list->horizontalHeader()->setStretchLastSection(true);
  // As wide as the rows need, within a screen; a longer list of columns scrolls.
  int width = 2 * list->frameWidth() + list->verticalScrollBar()->sizeHint().width();
  for (int column = 0; column < list->columnCount(); ++column) {
    width += list->columnWidth(column);
  }
  list->setMinimumSize(std::clamp(width, 720, 1200), 320);

  auto* close = new QPushButton("Close", this);
  close->setObjectName("CloseButton");
  close->setDefault(true);
  connect(close, &QPushButton::clicked, this, &QDialog::accept);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(close);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(heading);
  layout->addWidget(list);
  layout->addLayout(buttons);
  close->setFocus();
}

}  // namespace app
