// The run: the check of its codes, the session's set-up, and the steps in their order.
#include "core/run.h"

#include <stdexcept>
#include <utility>

#include "copy/preflight.h"
#include "copy/table_desc.h"
#include "core/agency_code.h"
#include "core/backup.h"
#include "core/client_options.h"
#include "core/cluster.h"
#include "core/config.h"
#include "core/run_lock.h"
#include "core/run_report.h"
#include "db/ascii.h"
#include "db/error.h"
#include "recstore/ap_file.h"
#include "recstore/btrv_constants.h"
#include "recstore/recstore.h"

namespace core {

namespace {

// The reason behind a failed ap open, as the store gives it.
std::string OpenFailure(const char* fixed_text, int16_t status) {
  std::string reason = recstore::LastErrorText();
  if (reason.empty()) {
    reason = "no reason given";
  }
  return std::string(fixed_text) + " (record-store status " + std::to_string(status) + ": " +
         reason + ")";
}

std::string RefusalLine(const std::string& record_type, uint64_t count,
                        const std::vector<recstore::RefusedRecord>& records) {
  std::string line = "type " + record_type + ": " + std::to_string(count) +
                     (count == 1 ? " record refused" : " records refused");
  if (!records.empty()) {
    const recstore::RefusedRecord& first = records.front();
    line += ", the first with key " + recstore::PrintableKey(first.key) + " (status " +
            std::to_string(first.status) + ": " +
            (first.reason.empty() ? std::string("no reason given") : first.reason) + ")";
  }
  return line;
}

}  // namespace

std::optional<std::string> CheckCodes(const std::string& from_code, const std::string& to_code) {
  if (!IsAgencyCode(from_code)) {
    return "The From Agency code \"" + from_code +
           "\" is not two letters or digits. Nothing was copied.";
  }
  if (!IsAgencyCode(to_code)) {
    return "The To Agency code \"" + to_code +
           "\" is not two letters or digits. Nothing was copied.";
  }
  if (db::EqualsIgnoringCase(from_code, to_code)) {
    return "From Agency and To Agency are the same agency (\"" + from_code + "\", \"" + to_code +
           "\"); copying would delete its profile. Nothing was copied.";
  }
  return std::nullopt;
}

Session::Session(MessageSink sink) : sink_(std::move(sink)) {}

Session::~Session() {
  CloseApHandles();
}

void Session::CloseApHandles() {
  if (ap_read_ != 0) {
    btrClose(ap_read_);
  }
  if (ap_write_ != 0) {
    btrClose(ap_write_);
  }
  ap_read_ = 0;
  ap_write_ = 0;
  ap_read_open_ = false;
  ap_write_open_ = false;
}

void Session::OpenDatabases() {
  db::ConnectionSettings settings = ReadConfig(ConfigPath());
  settings.transport = ReadTransport();
  WriteUtilityIni("Utility.ini", settings);

  recstore::SetConnectionSettings(settings);
  char ndx_name[256] = "zarfiles.ndx";
  char ini_name[256] = "ovk.ini";
  MCBInitializeFauxBtrieve(ndx_name, ini_name);

  // The parameter file carries the four settings only; how to reach the server stays.
  db::ConnectionSettings loaded = LoadUtilityIni(".");
  loaded.transport = settings.transport;
  connection_.SetSettings(std::move(loaded));
  parameters_loaded_ = true;

  // A pair left open on every repeat of the set-up would accumulate until the process ends.
  CloseApHandles();
  ap_read_ = CBtrvOapi();
  ap_write_ = CBtrvOapi();
  const int16_t read_status = btrOpen(ap_read_, "", recstore::kApFileName, 1, 1, 0);
  ap_read_open_ = read_status == BTRV_ERR_NONE;
  if (!ap_read_open_ && sink_) {
    sink_(OpenFailure("Error Opening AP Read", read_status));
  }
  const int16_t write_status = btrOpen(ap_write_, "", recstore::kApFileName, 1, 1, 0);
  ap_write_open_ = write_status == BTRV_ERR_NONE;
  if (!ap_write_open_ && sink_) {
    sink_(OpenFailure("Error Opening AP Write", write_status));
  }
}

void Session::RequireConnectionParameters() const {
  if (!parameters_loaded_) {
    throw std::runtime_error(
        "The connection parameters were never loaded, because the set-up failed (see the "
        "earlier message). Fix the cause, then leave the To Agency field to repeat it.");
  }
}

std::vector<std::string> Session::PreflightProblems() {
  RequireConnectionParameters();
  std::vector<std::string> problems =
      copy::PreflightProblems(connection_, copy::AllTables(), ap_read_open_, ap_write_open_);
  for (std::string& problem : ClusterProblems(connection_, copy::AllTables())) {
    problems.push_back(std::move(problem));
  }
  return problems;
}

std::unique_ptr<RunLock> Session::LockAgencies(const std::string& from_code,
                                               const std::string& to_code,
                                               const std::string& purpose) {
  RequireConnectionParameters();
  return RunLock::Acquire(connection_.settings(), {from_code, to_code}, purpose);
}

std::vector<copy::TablePlan> Session::PlanCopy(const std::string& from_code,
                                               const std::string& to_code) {
  RequireConnectionParameters();
  // The counts mean nothing while a run writes either agency.
  const std::unique_ptr<RunLock> lock =
      LockAgencies(from_code, to_code, "dry run " + from_code + " to " + to_code);
  return copy::PlanRun(connection_, copy::AllTables(), from_code, to_code);
}

std::vector<copy::VerifyLine> Session::VerifyCopy(const std::string& from_code,
                                                  const std::string& to_code) {
  RequireConnectionParameters();
  const std::unique_ptr<RunLock> lock =
      LockAgencies(from_code, to_code, "verification " + from_code + " to " + to_code);
  return copy::VerifyRun(connection_, copy::AllTables(), from_code, to_code);
}

copy::CopyContext Session::Context(const std::string& from_code, const std::string& to_code,
                                   const RunObserver& observer, StepReport* step) {
  copy::CopyContext context{
      .select_query = select_query_,
      .insert_query = insert_query_,
      .from_code = from_code,
      .to_code = to_code,
      .clear_existing = true,
      .status = observer.status,
      .copy_ap = [this, step](const std::string& from, const std::string& to,
                              const std::string& record_type) -> uint64_t {
        const recstore::ApCopyStats stats =
            CopyAp(ap_read_, ap_write_, ap_size_, from, to, record_type);
        if (step != nullptr) {
          step->ap_refused += stats.refused;
          step->refused_records = stats.refused_records;
        }
        return stats.copied;
      },
      .progress = {},
  };
  if (observer.progress) {
    // The step's own status text goes with its progress.
    context.progress = [progress = observer.progress, step](uint64_t inserted, uint64_t selected) {
      progress(step != nullptr ? std::string_view(step->status_text) : std::string_view(), inserted,
               selected);
    };
  }
  // Inside a transaction a table's rows go in multi-row statements; a failing one is sent
  // again row by row, so the error still names the row.
  if (atomic_run_) {
    if (multi_row_bytes_ == 0) {
      multi_row_bytes_ = copy::MultiRowLimit(connection_);
    }
    context.multi_row_bytes = multi_row_bytes_;
  }
  return context;
}

copy::TableCopyStats Session::CopyStep(const copy::TableDesc& table, const std::string& from_code,
                                       const std::string& to_code, const RunObserver& observer,
                                       StepReport* step) {
  StepReport local;
  StepReport* target = step != nullptr ? step : &local;
  target->method = table.method;
  target->status_text = table.status_text;
  return copy::CopyTable(table, Context(from_code, to_code, observer, target));
}

recstore::ApCopyStats Session::CopyAp(int32_t read_handle, int32_t write_handle, uint32_t& size,
                                      const std::string& from_code, const std::string& to_code,
                                      const std::string& record_type) {
  const recstore::ApCopyStats stats =
      recstore::CopyApRecords(read_handle, write_handle, size, from_code, to_code, record_type);
  report_.ap_refused += stats.refused;
  // A scan that a failed read ended copied only part of the kind; going on would report the
  // run as a success.
  if (stats.read_status != BTRV_ERR_NONE) {
    std::string text =
        "The ap records of type " + record_type +
        " could not all be read: the record store returned status " +
        std::to_string(stats.read_status) + " (" +
        (stats.read_error.empty() ? std::string("no reason given") : stats.read_error) + ")";
    text += stats.last_key.empty()
                ? ", before any record of the type was read."
                : ", after the record with key " + recstore::PrintableKey(stats.last_key) + ".";
    throw std::runtime_error(text);
  }
  // Only an atomic run queues inserts; committing it would make a copy with records missing
  // look complete, so the run fails and is rolled back instead.
  if (stats.incomplete) {
    throw std::runtime_error("The ap records of type " + record_type +
                             " were not all copied: " + stats.error);
  }
  if (atomic_run_ && stats.refused > 0) {
    throw std::runtime_error("The ap records of type " + record_type + " were not all copied: " +
                             RefusalLine(record_type, stats.refused, stats.refused_records));
  }
  return stats;
}

void Session::CheckRun(const RunOptions& options) {
  // Everything a run needs is checked before its first delete, and every problem is named
  // at once: a run that stops at step ten leaves nine tables copied and one half cleared.
  // The catalogue is read once for both the preflight and the engines an atomic run needs.
  RequireConnectionParameters();
  copy::RunChecks checks =
      copy::CheckTables(connection_, copy::AllTables(), ap_read_open_, ap_write_open_);
  std::vector<std::string> problems = std::move(checks.problems);
  for (std::string& problem : ClusterProblems(connection_, copy::AllTables())) {
    problems.push_back(std::move(problem));
  }
  if (problems.empty()) {
    // A source record the copy cannot read whole would stop its kind half way.
    for (const copy::TableDesc& table : copy::AllTables()) {
      if (table.ap_record_type.empty()) {
        continue;
      }
      db::Result found =
          connection_.Query(recstore::ApOversizeStatement(table.ap_record_type, report_.from_code));
      if (!found.Eof()) {
        problems.push_back("The ap records of type " + table.ap_record_type +
                           " cannot be copied: the record with key " +
                           recstore::PrintableKey(found.Value(0)) + " is " +
                           std::string(found.Value(1)) + " bytes long, longer than the " +
                           std::to_string(recstore::kApRecordLength) + " the copy reads");
      }
    }
  }
  if (!problems.empty()) {
    throw std::runtime_error(BulletList("The run cannot start, so nothing was changed:", problems));
  }
  if (options.atomic) {
    const std::vector<std::string>& unsafe = checks.non_transactional;
    if (!unsafe.empty()) {
      throw std::runtime_error(BulletList(
          "An all-or-nothing run is refused, because these tables of the run cannot be rolled "
          "back, so nothing was changed:",
          unsafe));
    }
  }
}

void Session::RunSteps(const RunObserver& observer) {
  for (const copy::TableDesc& table : copy::AllTables()) {
    // Another run may have the agencies now; going on would interleave with it.
    if (run_lock_ != nullptr && run_lock_->IsLost()) {
      throw std::runtime_error(
          "The run lost its lock on the agencies (its lock session ended, or another run took "
          "the lock over after missing heartbeats), so it stopped before " +
          table.status_text + ".");
    }
    const auto start = std::chrono::steady_clock::now();
    StepReport step;
    step.stats = CopyStep(table, report_.from_code, report_.to_code, observer, &step);
    step.elapsed = std::chrono::steady_clock::now() - start;
    report_.steps.push_back(std::move(step));
  }
  report_.finished = true;
}

void Session::RunAtomic(const RunObserver& observer) {
  // The ap records go through the record store, which then works on this very connection,
  // so the table rows and the records commit or roll back together.
  connection_.Execute("START TRANSACTION");
  recstore::UseConnection(&connection_);
  bool committing = false;
  try {
    RunSteps(observer);
    // Each ap copy sends its queued inserts at its end; this covers any later insert.
    if (recstore::Flush() != 0 || recstore::QueuedInsertsLost()) {
      throw std::runtime_error("The ap records were not all copied: " + recstore::LastErrorText());
    }
    committing = true;
    connection_.Execute("COMMIT");
  } catch (const db::Error& failure) {
    recstore::UseConnection(nullptr);
    if (committing && failure.IsConnectionLost()) {
      // The server may have committed before the connection went: nobody can say which.
      connection_.Close();
      report_.rolled_back = false;
      throw std::runtime_error(
          std::string(failure.what()) +
          "\nThe connection was lost while the run was being committed, so it is not known "
          "whether the copy was committed or rolled back. To find out, run: kelvane --from " +
          report_.from_code + " --to " + report_.to_code + " --verify");
    }
    std::string text = failure.what();
    if (IsCertificationFailure(failure)) {
      text +=
          "\nAnother session or cluster node changed the same rows at the same time, so the "
          "server refused this run's changes (a deadlock, or a failed cluster certification).";
    }
    RollBack(text);
  } catch (const std::exception& failure) {
    std::string text = failure.what();
    // Before the rollback: leaving the connection sends any inserts the record store still
    // queues, and they must land in the transaction that is rolled back, not after it.
    recstore::UseConnection(nullptr);
    RollBack(text);
  }
  recstore::UseConnection(nullptr);
}

void Session::RollBack(const std::string& failure) {
  try {
    connection_.Execute("ROLLBACK");
  } catch (const std::exception&) {
    // The session is gone; the server rolls back what a lost session left open.
    connection_.Close();
  }
  report_.rolled_back = true;
  throw std::runtime_error(failure +
                           "\nThe run was rolled back: the destination is exactly as before "
                           "the run.");
}

void Session::Run(const std::string& from_code, const std::string& to_code,
                  const RunOptions& options, const RunObserver& observer) {
  if (running_) {
    throw std::logic_error("A run is already in progress.");
  }
  if (std::optional<std::string> refusal = CheckCodes(from_code, to_code)) {
    throw std::invalid_argument(*refusal);
  }
  RequireConnectionParameters();
  connection_.DropIfGone();

  report_ = RunReport{};
  report_.from_code = from_code;
  report_.to_code = to_code;
  report_.atomic = options.atomic;

  // Before anything else touches the data: two runs that share a code would interleave.
  const std::unique_ptr<RunLock> lock =
      LockAgencies(from_code, to_code, "run " + from_code + " to " + to_code);
  CheckRun(options);

  // Also before the backup: a run the cluster's write-set limits refuse changes nothing and
  // leaves no backup to speak of. Streaming, where it is turned on, ends with the run.
  struct Streaming {
    db::Connection& connection;
    bool on = false;

    ~Streaming() {
      if (on) {
        EndClusterTransaction(connection);
      }
    }
  } streaming{connection_};

  if (options.atomic) {
    streaming.on = PrepareClusterTransaction(connection_, copy::AllTables(), from_code, to_code);
  }

  std::optional<BackupSummary> backup;
  if (options.backup) {
    const std::string dir = options.backup_dir.empty() ? DefaultBackupDir() : options.backup_dir;
    try {
      backup = WriteBackup(connection_, dir, from_code, to_code);
    } catch (const std::exception& failure) {
      throw std::runtime_error(std::string("The destination's profile could not be saved "
                                           "before the run, so nothing was changed: ") +
                               failure.what());
    }
    report_.backup_file = backup->path;
  }

  running_ = true;
  atomic_run_ = options.atomic;
  run_lock_ = lock.get();
  const auto start = std::chrono::steady_clock::now();

  // Whichever way the run ends: its time (a commit or rollback included) is taken and the
  // record store is back on its own connection.
  struct EndOfRun {
    Session* session;
    std::chrono::steady_clock::time_point start;

    ~EndOfRun() {
      session->report_.elapsed = std::chrono::steady_clock::now() - start;
      recstore::UseConnection(nullptr);
      session->running_ = false;
      session->atomic_run_ = false;
      session->run_lock_ = nullptr;
      session->multi_row_bytes_ = 0;
    }
  } end_of_run{this, start};

  const auto mark = [&backup](bool completed) {
    if (backup) {
      try {
        MarkBackupOutcome(backup->path, completed);
      } catch (const std::exception&) {
        // The history then shows the outcome as unknown; the backup itself is intact.
      }
    }
  };
  const auto with_hint = [&backup](const std::string& text) {
    return backup ? text + "\n" + RestoreHint(*backup) : text;
  };

  try {
    if (options.atomic) {
      RunAtomic(observer);
    } else {
      RunSteps(observer);
    }
  } catch (const std::exception& failure) {
    mark(false);
    throw std::runtime_error(with_hint(failure.what()));
  }

  // Every table is copied, but a record the store refused is missing at the destination:
  // that is not a success, whoever is watching.
  if (report_.ap_refused > 0) {
    std::vector<std::string> lines;
    for (const StepReport& step : report_.steps) {
      if (step.ap_refused > 0) {
        const copy::TableDesc& table = copy::TableByMethod(step.method);
        lines.push_back(RefusalLine(table.ap_record_type, step.ap_refused, step.refused_records));
      }
    }
    mark(false);
    throw std::runtime_error(with_hint(BulletList(
        "Every table was copied, but the record store refused some ap records, which are "
        "missing at the destination:",
        lines)));
  }
  mark(true);
}

}  // namespace core
