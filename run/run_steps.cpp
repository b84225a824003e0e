// The pieces a run and a restore both go through.
#include "run/run_steps.h"

#include "db/connection.h"
#include "db/error.h"

namespace run {

unsigned int ServerError(const std::exception& failure) {
  const auto* error = dynamic_cast<const db::Error*>(&failure);
  return error != nullptr ? error->code() : 0;
}

std::unique_ptr<lock::RunLock> TakeLock(const db::ConnectionSettings& settings,
                                        const std::vector<std::string>& codes,
                                        const std::string& purpose) {
  try {
    return lock::RunLock::Acquire(settings, codes, purpose);
  } catch (const lock::Held& held) {
    throw LockHeld(held);
  }
}

void SavedState::Write(db::Connection& connection, const copy::Catalogue& catalogue,
                       const std::vector<copy::TableDesc>& tables, const std::string& dir,
                       const std::string& from_code, const std::string& to_code) {
  summary_ = backup::WriteBackup(connection, catalogue, tables,
                                 dir.empty() ? backup::DefaultBackupDir() : dir, from_code, to_code,
                                 std::chrono::system_clock::now());
}

std::optional<std::string> SavedState::MarkOutcome(bool completed) const noexcept {
  if (!summary_) {
    return std::nullopt;
  }
  try {
    backup::MarkBackupOutcome(summary_->path, completed);
  } catch (const std::exception& e) {
    return std::string(e.what());
  }
  return std::nullopt;
}

std::string SavedState::WithRestoreHint(const std::string& text) const {
  return summary_ ? text + "\n" + backup::RestoreHint(*summary_) : text;
}

Transaction::Transaction(db::Connection& connection) : connection_(connection) {
  connection_.Execute("START TRANSACTION");
}

Transaction::~Transaction() {
  RollBack();
}

void Transaction::Commit() {
  committing_ = true;
  connection_.Execute("COMMIT");
  open_ = false;
}

void Transaction::RollBack() noexcept {
  if (!open_) {
    return;
  }
  open_ = false;
  try {
    connection_.Execute("ROLLBACK");
  } catch (const std::exception&) {
    // The session is gone; the server rolls back what a lost session left open.
    connection_.Close();
  }
}

void Transaction::Abandon() noexcept {
  open_ = false;
  connection_.Close();
}

}  // namespace run
