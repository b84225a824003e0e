// The question before a run.
#include "app/confirm_dialog.h"

#include <algorithm>

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/dialog_support.h"
#include "app/text.h"

namespace app {

namespace {

QString Agency(const AgencyLabel& agency) {
  const QString name = FromBytes(agency.name).trimmed();
  return name.isEmpty() ? QString("agency %1").arg(FromBytes(agency.code))
                        : QString("agency %1 (%2)").arg(FromBytes(agency.code), name);
}

QTableWidgetItem* NumberItem(uint64_t value) {
  auto* item = new QTableWidgetItem(QString::number(value));
  item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
  return item;
}

// Every line shows at once: a run replaces all of them, and a scroll bar would hide some.
void FitToContents(QTableWidget& table) {
  table.resizeColumnsToContents();
  table.resizeRowsToContents();
  int height = table.horizontalHeader()->sizeHint().height() + 2 * table.frameWidth();
  for (int row = 0; row < table.rowCount(); ++row) {
    height += table.rowHeight(row);
  }
  int width = 2 * table.frameWidth();
  for (int column = 0; column < table.columnCount(); ++column) {
    width += table.columnWidth(column);
  }
  table.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  table.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  table.horizontalHeader()->setStretchLastSection(true);
  table.setMinimumSize(width, height);
}

}  // namespace

ConfirmDialog::ConfirmDialog(const ConfirmData& plan, QWidget* parent) : QDialog(parent) {
  setObjectName("ConfirmDialog");
  setWindowTitle("Kelvane: replace a profile?");
  setFont(WindowFont());

  auto* text = new QLabel(this);
  text->setObjectName("ConfirmText");
  // Lines broken by hand rather than wrapped: a wrapped label's height depends on its
  // width, which the layout does not reserve, and the table below then covers it.
  text->setText(QString("Replace the profile of %1\nwith a copy of the profile of %2?")
                    .arg(Agency(plan.to), Agency(plan.from)));

  auto* table = new QTableWidget(static_cast<int>(plan.lines.size()), 3, this);
  table->setObjectName("ConfirmTable");
  table->setHorizontalHeaderLabels({"Table or ap records",
                                    QString("Now in %1 (deleted)").arg(FromBytes(plan.to.code)),
                                    QString("From %1 (copied)").arg(FromBytes(plan.from.code))});
  table->verticalHeader()->hide();
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setSelectionMode(QAbstractItemView::NoSelection);
  table->setFocusPolicy(Qt::NoFocus);
  for (std::size_t i = 0; i < plan.lines.size(); ++i) {
    const int row = static_cast<int>(i);
    table->setItem(row, 0, new QTableWidgetItem(FromBytes(plan.lines[i].what)));
    table->setItem(row, 1, NumberItem(plan.lines[i].now));
    table->setItem(row, 2, NumberItem(plan.lines[i].replacing));
  }
  FitToContents(*table);

  auto* how = new QLabel(this);
  how->setObjectName("ConfirmRunKind");
  how->setText(QString("%1 %2").arg(plan.atomic ? "All or nothing:" : "Step by step:",
                                    FromBytes(plan.run_kind_reason)));

  auto* saved = new QLabel(this);
  saved->setObjectName("ConfirmBackup");
  saved->setTextInteractionFlags(Qt::TextSelectableByMouse);
  saved->setText(plan.backup ? QString("The current profile of agency %1 is saved first, in\n%2;\n"
                                       "\"History…\" puts it back.")
                                   .arg(FromBytes(plan.to.code), FromBytes(plan.backup_dir))
                             : QString("The current profile of agency %1 is not saved first.")
                                   .arg(FromBytes(plan.to.code)));

  auto* replace = new QPushButton("Replace", this);
  replace->setObjectName("ReplaceButton");
  auto* cancel = new QPushButton("Cancel", this);
  cancel->setObjectName("CancelButton");
  // Enter replaces only when the user means it: the button holds the focus and is the
  // default; Esc (and the window's close box) cancels.
  cancel->setAutoDefault(false);
  replace->setDefault(true);
  connect(replace, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(replace);
  buttons->addWidget(cancel);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(text);
  layout->addWidget(table);
  layout->addWidget(how);
  layout->addWidget(saved);
  layout->addLayout(buttons);
  // Wrapped labels take the table's width rather than squeezing it.
  setMinimumWidth(std::max(table->minimumWidth() + 40, 640));
  replace->setFocus();
}

}  // namespace app
