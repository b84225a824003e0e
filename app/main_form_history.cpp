// The window's history: the backups listed newest first, and putting one of them back.
#include <QMessageBox>
#include <QPushButton>

#include "app/dialog_support.h"
#include "app/history_dialog.h"
#include "app/main_form.h"
#include "app/text.h"
#include "backup/backup.h"
#include "backup/history.h"
#include "run/restore.h"

std::vector<app::HistoryRow> TForm1::HistoryRows(const std::string& dir) {
  std::vector<app::HistoryRow> rows;
  for (const backup::HistoryEntry& entry : backup::ListBackups(dir)) {
    std::string tables;
    for (const std::string& table : entry.tables) {
      tables += (tables.empty() ? "" : ", ") + table;
    }
    rows.push_back(app::HistoryRow{
        .path = entry.path,
        .time = entry.time,
        .agency = entry.to_code,
        .made_by = entry.from_code == "restore" ? "put back" : "copy from " + entry.from_code,
        .outcome = backup::RunOutcomeText(entry.outcome),
        .rows = entry.rows,
        .records = entry.records,
        .tables = tables,
        .problem = entry.problem,
    });
  }
  return rows;
}

void TForm1::OpenHistory() {
  if (running_) {
    return;
  }
  ReportErrors([this] {
    const std::string dir = WindowRunOptions().backup_dir.empty() ? backup::DefaultBackupDir()
                                                                  : WindowRunOptions().backup_dir;
    app::HistoryDialog dialog(
        dir, [this, dir] { return HistoryRows(dir); },
        [this](const app::HistoryRow& row) { PutBack(row); }, this);
    app::RunDialog(dialog, dialog_hook_);
  });
}

namespace {

// A question or a report of the put back: the window's font, Enter for `default_name`.
void NameBox(QMessageBox& box, const char* name, QPushButton* default_button) {
  box.setObjectName(name);
  box.setDefaultButton(default_button);
  box.setTextInteractionFlags(Qt::TextSelectableByMouse);
}

}  // namespace

void TForm1::PutBack(const app::HistoryRow& row) {
  ReportErrors([this, &row] {
    session_.RequireConnectionParameters();
    FDConnection1.DropIfGone();
    // Counts only (no lock, no change), so the question can say what the put back replaces.
    const run::RestoreResult preview =
        run::RestoreRun(
            FDConnection1, row.path,
            run::RestoreOptions{
                .dry_run = true, .make_backup = false, .backup_dir = "", .take_lock = {}})
            .Prepare();
    uint64_t rows_now = 0;
    uint64_t records_now = 0;
    uint64_t rows_saved = 0;
    uint64_t records_saved = 0;
    for (const run::RestoreSection& section : preview.sections) {
      const bool ap = section.name.starts_with("ap ");
      (ap ? records_now : rows_now) += section.replaced;
      (ap ? records_saved : rows_saved) += section.saved;
    }
    const QString agency = app::FromBytes(preview.to_code);
    QString question = QString(
                           "Put back the profile of agency %1 saved %2?\n\n"
                           "It replaces the current profile of agency %1 (%3 rows and %4 ap "
                           "records) with the saved one (%5 rows and %6 ap records). The "
                           "current profile is saved first, so this too can be put back.")
                           .arg(agency, app::FromBytes(preview.time))
                           .arg(rows_now)
                           .arg(records_now)
                           .arg(rows_saved)
                           .arg(records_saved);
    // A backup of a run that chose its tables holds those alone: say so before anyone
    // expects the whole profile back.
    if (!row.tables.empty()) {
      question += QString(
                      "\n\nThe saved profile holds only %1 (with their ap records); the "
                      "other tables of agency %2 stay as they are.")
                      .arg(app::FromBytes(row.tables), agency);
    }
    QMessageBox ask(QMessageBox::Question, "Kelvane: put back a profile?", question,
                    QMessageBox::NoButton, this);
    QPushButton* yes = ask.addButton("Put back", QMessageBox::AcceptRole);
    yes->setObjectName("ConfirmPutBackButton");
    QPushButton* no = ask.addButton("Cancel", QMessageBox::RejectRole);
    no->setObjectName("CancelButton");
    ask.setEscapeButton(no);
    NameBox(ask, "PutBackConfirm", yes);
    app::RunDialog(ask, dialog_hook_);
    if (ask.clickedButton() != yes) {
      return;
    }

    const run::RestoreResult result = run::RestoreRun(FDConnection1, row.path).Execute();
    QString text = QString("Agency %1 is put back as it was saved %2.")
                       .arg(app::FromBytes(result.to_code), app::FromBytes(result.time));
    if (result.backup) {
      text += QString(
                  "\n\nThe profile it replaced is saved in\n%1\n\n\"History…\" puts "
                  "that back too.")
                  .arg(app::FromBytes(result.backup->path));
    }
    for (const std::string& warning : result.warnings) {
      text += "\n\n" + app::FromBytes(warning);
    }
    QMessageBox done(QMessageBox::Information, "Kelvane: profile put back", text,
                     QMessageBox::NoButton, this);
    QPushButton* ok = done.addButton("OK", QMessageBox::AcceptRole);
    ok->setObjectName("OkButton");
    done.setEscapeButton(ok);
    NameBox(done, "PutBackResult", ok);
    app::RunDialog(done, dialog_hook_);
  });
}
