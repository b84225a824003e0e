// The window's question before a run: the plan, what the copy changes row by row (the
// comparison --compare prints), the tables to copy, and how the run commits.
#include <optional>
#include <string>
#include <vector>

#include <QDialog>
#include <QLineEdit>

#include "app/main_form.h"
#include "app/text.h"
#include "backup/backup.h"
#include "compare/compare.h"

namespace {

const char* ChangeWord(compare::RowChange change) {
  switch (change) {
    case compare::RowChange::kOnlyFrom:
      return "added";
    case compare::RowChange::kOnlyTo:
      return "removed";
    case compare::RowChange::kDiffer:
      break;
  }
  return "changed";
}

// "Name, City"; an ap record's "bytes 17-20, 45".
std::string ColumnsText(const compare::CompareEntry& entry, const compare::RowDifference& row) {
  std::string text;
  for (const std::string& column : row.columns) {
    text += (text.empty() ? (entry.IsAp() ? "bytes " : "") : ", ") + column;
  }
  return text;
}

// The rows of `entry` that a copy changes, and the columns it resets, for "Details…".
void AddDetails(const compare::CompareEntry& entry, const std::string& table,
                std::vector<app::ChangeLine>& details) {
  for (const compare::RowDifference& row : entry.rows) {
    details.push_back(
        {table, entry.Name(), row.key, ChangeWord(row.change), ColumnsText(entry, row)});
  }
  for (const compare::ResetColumn& reset : entry.reset_columns) {
    details.push_back({table, entry.Name(), "", "reset to default",
                       reset.column + " in " + std::to_string(reset.rows) +
                           (reset.rows == 1 ? " row" : " rows")});
  }
}

}  // namespace

app::ConfirmData TForm1::Question(const run::CopyRun& run) {
  const copy::Plan& plan = run.plan();
  const run::RunOptions options = WindowRunOptions();
  const bool atomic = run.all_or_nothing();
  const std::string& from_code = run.report().from_code;
  const std::string& to_code = run.report().to_code;
  // Under the run's locks, with the catalogue its checks read: what the question counts is
  // what the run replaces.
  const compare::Comparison comparison =
      session_.CompareCopy(from_code, to_code, run.tables(), &run.catalogue());

  app::ConfirmData question;
  question.from = {from_code, app::ToBytes(edtFromName->text())};
  question.to = {to_code, app::ToBytes(edtToName->text())};
  for (std::size_t i = 0; i < plan.size(); ++i) {
    const copy::TablePlan& table = plan[i];
    const compare::CompareCounts& counts = comparison.tables.at(i).counts;
    question.lines.push_back({table.table, table.counts.rows_to_delete, table.counts.rows_to_copy,
                              table.table, counts.only_from, counts.only_to, counts.differ});
    AddDetails(comparison.tables[i], table.table, question.details);
  }
  std::size_t ap = 0;
  for (const copy::TablePlan& table : plan) {
    if (!table.ap_record_type.empty()) {
      const compare::CompareEntry& entry = comparison.ap.at(ap++);
      question.lines.push_back({"ap " + table.ap_record_type + " (" + table.status_text + ")",
                                table.counts.ap_to_delete, table.counts.ap_to_copy, table.table,
                                entry.counts.only_from, entry.counts.only_to, entry.counts.differ});
      AddDetails(entry, table.table, question.details);
    }
  }
  question.atomic = atomic;
  question.run_kind_reason =
      atomic ? "the whole run is one transaction,\nso a failure part way undoes all of it and "
               "agency " +
                   to_code + " stays as it was."
             : "each table is copied on its own, because " + run.step_by_step_reason() +
                   ",\nso a failure part way leaves the tables before it copied and the rest "
                   "as they were;\nthe saved profile puts them back.";
  question.backup = options.backup;
  question.backup_dir =
      options.backup_dir.empty() ? backup::DefaultBackupDir() : options.backup_dir;
  return question;
}

std::optional<std::vector<std::string>> TForm1::ConfirmRun(const app::ConfirmData& question) {
  app::ConfirmDialog dialog(question, this);
  dialog.SetDialogHook(dialog_hook_);
  if (app::RunDialog(dialog, dialog_hook_) != QDialog::Accepted) {
    return std::nullopt;
  }
  return dialog.ChosenTables();
}
