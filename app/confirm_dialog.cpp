// The question before a run.
#include "app/confirm_dialog.h"

#include <algorithm>

#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/details_dialog.h"
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

// A table of the question: no editing, no selection, no focus of its own.
QTableWidget* MakeTable(QWidget* parent, const char* name, int rows, const QStringList& headings) {
  auto* table = new QTableWidget(rows, static_cast<int>(headings.size()), parent);
  table->setObjectName(name);
  table->setHorizontalHeaderLabels(headings);
  table->verticalHeader()->hide();
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setSelectionMode(QAbstractItemView::NoSelection);
  table->setFocusPolicy(Qt::NoFocus);
  // The two tables read as one: their frames are the box around both.
  table->setFrameShape(QFrame::NoFrame);
  return table;
}

// Every line shows at once: a run replaces all of them, and a scroll bar would hide some.
// Rows as high as the other table's, so that the two tables' lines stay side by side.
void FitToContents(QTableWidget& table, const QTableWidget* beside) {
  table.resizeColumnsToContents();
  table.resizeRowsToContents();
  int height = table.horizontalHeader()->sizeHint().height() + 2 * table.frameWidth();
  for (int row = 0; row < table.rowCount(); ++row) {
    if (beside != nullptr) {
      table.setRowHeight(row, std::max(table.rowHeight(row), beside->rowHeight(row)));
    }
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

ConfirmDialog::ConfirmDialog(const ConfirmData& plan, QWidget* parent)
    : QDialog(parent), plan_(plan) {
  setObjectName("ConfirmDialog");
  setWindowTitle("Kelvane: replace a profile?");
  setFont(WindowFont());

  auto* text = new QLabel(this);
  text->setObjectName("ConfirmText");
  // Lines broken by hand rather than wrapped: a wrapped label's height depends on its
  // width, which the layout does not reserve, and the table below then covers it.
  text->setText(QString("Replace the profile of %1\nwith a copy of the profile of %2?")
                    .arg(Agency(plan.to), Agency(plan.from)));

  QFrame* box = BuildTables();

  choice_ = new QLabel(this);
  choice_->setObjectName("ConfirmChoice");

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

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(text);
  layout->addWidget(box);
  layout->addWidget(choice_);
  layout->addWidget(how);
  layout->addWidget(saved);
  layout->addLayout(BuildButtons());
  ShowCounts();
  // Wrapped labels take the tables' width rather than squeezing them.
  setMinimumWidth(std::max(table_->minimumWidth() + changes_->minimumWidth() + 40, 640));
  replace_->setFocus();
}

QFrame* ConfirmDialog::BuildTables() {
  // A line per table and record type, and the totals.
  const int rows = static_cast<int>(plan_.lines.size()) + 1;
  table_ = MakeTable(
      this, "ConfirmTable", rows,
      {"Table or ap records", QString("Now in %1 (deleted)").arg(FromBytes(plan_.to.code)),
       QString("From %1 (copied)").arg(FromBytes(plan_.from.code))});
  changes_ = MakeTable(this, "ConfirmChanges", rows, {"Added", "Removed", "Changed"});
  for (std::size_t i = 0; i < plan_.lines.size(); ++i) {
    const ReplaceLine& line = plan_.lines[i];
    const int row = static_cast<int>(i);
    // The text stays in the cell beneath a table's check box, for whoever reads the cells.
    table_->setItem(row, 0, new QTableWidgetItem(FromBytes(line.what)));
    if (line.what == line.table) {
      auto* check = new QCheckBox(FromBytes(line.what));
      check->setObjectName(QString("ConfirmCheck%1").arg(FromBytes(line.table)));
      check->setChecked(true);
      check->setAutoFillBackground(true);
      check->setBackgroundRole(QPalette::Base);
      connect(check, &QCheckBox::toggled, this, &ConfirmDialog::ShowCounts);
      table_->setCellWidget(row, 0, check);
      checks_.emplace_back(line.table, check);
    }
  }
  table_->setItem(rows - 1, 0, new QTableWidgetItem("Total"));
  ShowCounts();
  FitToContents(*table_, nullptr);
  FitToContents(*changes_, table_);
  FitToContents(*table_, changes_);

  auto* box = new QFrame(this);
  box->setFrameShape(QFrame::StyledPanel);
  auto* both = new QHBoxLayout(box);
  both->setContentsMargins(1, 1, 1, 1);
  both->setSpacing(0);
  both->addWidget(table_, 3);
  both->addWidget(changes_, 2);
  return box;
}

QHBoxLayout* ConfirmDialog::BuildButtons() {
  auto* details = new QPushButton("&Details…", this);
  details->setObjectName("DetailsButton");
  details->setAutoDefault(false);
  replace_ = new QPushButton("Replace", this);
  replace_->setObjectName("ReplaceButton");
  auto* cancel = new QPushButton("Cancel", this);
  cancel->setObjectName("CancelButton");
  // Enter replaces only when the user means it: the button holds the focus and is the
  // default; Esc (and the window's close box) cancels.
  cancel->setAutoDefault(false);
  replace_->setDefault(true);
  connect(details, &QPushButton::clicked, this, &ConfirmDialog::ShowDetails);
  connect(replace_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(details);
  buttons->addStretch();
  buttons->addWidget(replace_);
  buttons->addWidget(cancel);
  return buttons;
}

bool ConfirmDialog::IsChosen(const std::string& table) const {
  for (const auto& [name, check] : checks_) {
    if (name == table) {
      return check->isChecked();
    }
  }
  return true;
}

std::vector<std::string> ConfirmDialog::ChosenTables() const {
  std::vector<std::string> tables;
  for (const auto& [name, check] : checks_) {
    if (check->isChecked()) {
      tables.push_back(name);
    }
  }
  return tables;
}

void ConfirmDialog::ShowCounts() {
  uint64_t totals[5] = {};
  const int rows = static_cast<int>(plan_.lines.size());
  for (int row = 0; row <= rows; ++row) {
    const bool total = row == rows;
    const ReplaceLine* line = total ? nullptr : &plan_.lines[static_cast<std::size_t>(row)];
    const bool chosen = total || IsChosen(line->table);
    // What the run does to a line it leaves out: nothing.
    const uint64_t counts[5] = {line == nullptr || !chosen ? 0 : line->now,
                                line == nullptr || !chosen ? 0 : line->replacing,
                                line == nullptr || !chosen ? 0 : line->adds,
                                line == nullptr || !chosen ? 0 : line->removes,
                                line == nullptr || !chosen ? 0 : line->changes};
    for (int column = 0; column < 5; ++column) {
      QTableWidget* table = column < 2 ? table_ : changes_;
      const int cell = column < 2 ? column + 1 : column - 2;
      QTableWidgetItem* item = NumberItem(total ? totals[column] : counts[column]);
      if (!chosen) {
        item->setForeground(palette().brush(QPalette::Disabled, QPalette::Text));
      }
      table->setItem(row, cell, item);
      totals[column] += counts[column];
    }
    if (!total) {
      table_->item(row, 0)->setForeground(
          palette().brush(chosen ? QPalette::Active : QPalette::Disabled, QPalette::Text));
    }
  }
  const std::size_t chosen = ChosenTables().size();
  if (choice_ != nullptr) {
    QString text = chosen == checks_.size()
                       ? QString("Every table is replaced; uncheck one to leave it as it is.")
                       : QString(
                             "Only the checked tables are replaced (%1 of %2), each with its "
                             "ap records;\nthe others stay as they are.")
                             .arg(chosen)
                             .arg(checks_.size());
    // A column the copy does not write is no row's change, yet the copy does change it.
    if (std::any_of(plan_.details.begin(), plan_.details.end(), [this](const ChangeLine& line) {
          return line.key.empty() && IsChosen(line.table);
        })) {
      text += "\nThe copy also sets columns it does not write to their defaults (see Details…).";
    }
    choice_->setText(text);
  }
  if (replace_ != nullptr) {
    replace_->setEnabled(chosen > 0);
  }
}

void ConfirmDialog::ShowDetails() {
  std::vector<ChangeLine> lines;
  for (const ChangeLine& line : plan_.details) {
    if (IsChosen(line.table)) {
      lines.push_back(line);
    }
  }
  DetailsDialog dialog(plan_.from.code, plan_.to.code, lines, this);
  RunDialog(dialog, hook_);
}

}  // namespace app
