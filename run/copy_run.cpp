// One run of the copy, step by step: lock, check, plan, backup, copy, finish.
#include "run/copy_run.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "copy/preflight.h"
#include "copy/table_desc.h"
#include "db/connection.h"
#include "db/error.h"
#include "lock/cluster.h"
#include "lock/run_lock.h"
#include "recstore/ap_file.h"
#include "recstore/recstore.h"
#include "run/run_report.h"

namespace run {

namespace {

// "A, B and C".
std::string Listed(const std::vector<std::string>& items) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) {
      text += i + 1 == items.size() ? " and " : ", ";
    }
    text += "\"" + items[i] + "\"";
  }
  return text;
}

// The sentence that leads the message of a run whose session was lost: that the server
// stopped answering, where, and what that means for the data. The failure's own text follows.
std::string LinkLostLead(const RunError::Details& details, const std::vector<std::string>& done) {
  std::string text = "The server stopped answering (the connection to it was lost) ";
  if (details.changed == Changed::kUnknown) {
    text += "while the run was being committed";
  } else if (details.step == RunStep::kFinish) {
    text += "as the run was finishing";
  } else {
    text += "during step \"" + details.step_text + "\"";
  }
  text += ", so the run stopped. ";
  switch (details.changed) {
    case Changed::kNothing:
      text +=
          "Nothing was changed: the run was all or nothing, and the server rolls back what "
          "the lost session left open.";
      break;
    case Changed::kUnknown:
      text +=
          "The outcome is unknown: the copy may or may not have been committed (see below how "
          "to find out).";
      break;
    case Changed::kPartly:
      text += "The run went step by step: ";
      text += done.empty() ? std::string("no step had finished")
                           : "the steps before stand, copied (" + Listed(done) + ")";
      if (details.step == RunStep::kCopy && !details.step_text.empty()) {
        text += "; the table of \"" + details.step_text +
                "\" may be partly copied (cleared and partly filled again)";
      }
      text += "; the later steps are untouched.";
      break;
  }
  return text + "\n";
}

}  // namespace

CopyRun::CopyRun(Session& session, std::string from_code, std::string to_code, RunOptions options)
    : session_(session), options_(std::move(options)) {
  report_.from_code = std::move(from_code);
  report_.to_code = std::move(to_code);
  // What Check finds may still turn a run without a mode of its own to step by step.
  report_.atomic = options_.mode != RunMode::kStepByStep;
  if (options_.mode == RunMode::kStepByStep) {
    report_.step_by_step_reason = kStepByStepAsked;
  }
}

CopyRun::~CopyRun() {
  if (streaming_) {
    lock::EndClusterTransaction(session_.connection());
  }
}

void CopyRun::Fail(const std::string& text, RunError::Details details) {
  details.backup_file = saved_.path();
  if (details.cause.empty()) {
    details.cause = text;
  }
  throw RunError(text, std::move(details));
}

const copy::Plan& CopyRun::Prepare() {
  if (prepared_) {
    return plan_;
  }
  const std::string& from = report_.from_code;
  const std::string& to = report_.to_code;
  if (std::optional<std::string> refusal = CheckCodes(from, to)) {
    Fail(*refusal, {.step = RunStep::kCodes});
  }
  try {
    tables_ = copy::ChooseTables(options_.tables);
  } catch (const std::invalid_argument& refusal) {
    Fail(refusal.what(), {.step = RunStep::kCheck});
  }
  try {
    session_.RequireConnectionParameters();
    session_.connection().DropIfGone();
    // Before anything else touches the data: two runs that share a code would interleave.
    lock_ = session_.LockAgencies({from, to}, "run " + from + " to " + to);
  } catch (const RunError&) {
    throw;
  } catch (const std::exception& failure) {
    Fail(failure.what(), {.step = RunStep::kLock, .server_error = ServerError(failure)});
  }
  batching_.emplace(session_.connection());
  Check();
  prepared_ = true;
  return plan_;
}

void CopyRun::ChooseTables(const std::vector<std::string>& names) {
  if (executed_) {
    throw std::logic_error("The tables of a run are chosen before it is carried out.");
  }
  if (names.empty()) {
    throw std::invalid_argument("A run copies one table at least.");
  }
  std::vector<copy::TableDesc> chosen;
  copy::Plan plan;
  for (std::size_t i = 0; i < tables_.size(); ++i) {
    if (std::find(names.begin(), names.end(), tables_[i].table) != names.end()) {
      chosen.push_back(tables_[i]);
      if (i < plan_.size()) {
        plan.push_back(plan_[i]);
      }
    }
  }
  for (const std::string& name : names) {
    if (std::none_of(chosen.begin(), chosen.end(),
                     [&name](const copy::TableDesc& table) { return table.table == name; })) {
      throw std::invalid_argument("The run does not copy table " + name + ".");
    }
  }
  tables_ = std::move(chosen);
  plan_ = std::move(plan);
}

void CopyRun::Check() {
  db::Connection& connection = session_.connection();
  RunStep step = RunStep::kCheck;
  try {
    // Everything a run needs is checked before its first delete, and every problem is
    // named at once: a run that stops at step ten leaves nine tables copied and one half
    // cleared.
    Session::TableChecks checks = session_.CheckTables(tables_);
    catalogue_ = std::move(checks.catalogue);
    std::vector<std::string>& problems = checks.problems;
    if (problems.empty()) {
      step = RunStep::kPlan;
      plan_ = copy::PlanRun(connection, catalogue_, tables_, report_.from_code, report_.to_code);
      step = RunStep::kCheck;
      // A source record the copy cannot read whole would stop its kind half way.
      for (const copy::TablePlan& table : plan_) {
        if (table.long_ap_record) {
          problems.push_back("The ap records of type " + table.ap_record_type +
                             " cannot be copied: the record with key " +
                             recstore::PrintableKey(table.long_ap_record->key) + " is " +
                             std::to_string(table.long_ap_record->length) +
                             " bytes long, longer than the " +
                             std::to_string(recstore::kApRecordLength) + " the copy reads");
        }
      }
    }
    if (!problems.empty()) {
      Fail(BulletList("The run cannot start, so nothing was changed:", problems),
           {.step = RunStep::kCheck});
    }
    if (options_.mode != RunMode::kStepByStep) {
      ChooseMode(checks.non_transactional);
    }
  } catch (const RunError&) {
    throw;
  } catch (const std::exception& failure) {
    Fail(failure.what(), {.step = step, .server_error = ServerError(failure)});
  }
}

void CopyRun::ChooseMode(const std::vector<std::string>& non_transactional) {
  const bool may_step = options_.mode == RunMode::kAuto;
  if (!non_transactional.empty()) {
    if (!may_step) {
      Fail(BulletList("An all-or-nothing run is refused, because these tables of the run "
                      "cannot be rolled back, so nothing was changed:",
                      non_transactional),
           {.step = RunStep::kCheck});
    }
    std::string tables;
    for (const std::string& table : non_transactional) {
      tables += (tables.empty() ? "" : ", ") + table;
    }
    StepByStep((non_transactional.size() == 1 ? "table " : "tables ") + tables +
               " cannot be rolled back");
    return;
  }
  // Also before the backup: a run the cluster's write-set limits refuse changes nothing
  // and leaves no backup to speak of. Streaming, where it is turned on, ends with the run.
  const lock::ClusterTransaction cluster =
      lock::PrepareClusterTransaction(session_.connection(), plan_);
  streaming_ = cluster.streaming;
  fragment_bytes_ = cluster.fragment_bytes;
  if (cluster.refusal.empty()) {
    return;
  }
  // A step-by-step run that one of its own deletes would stop half way is no way out.
  if (!may_step || cluster.step_by_step_fails) {
    Fail(cluster.refusal, {.step = RunStep::kCheck});
  }
  StepByStep("the cluster cannot take it as one transaction: " + cluster.limit);
}

void CopyRun::StepByStep(std::string reason) {
  report_.atomic = false;
  report_.step_by_step_reason = std::move(reason);
}

void CopyRun::Resume() {
  // The question may stay open for as long as the user reads it, far longer than the server
  // keeps a silent session; the run's lock holds meanwhile, its heartbeat beating.
  if (lock_ != nullptr && lock_->IsLost()) {
    Fail(
        "The run lost its lock on the agencies while it waited (its lock session ended, or "
        "another run took the lock over), so nothing was changed.",
        {.step = RunStep::kLock});
  }
  db::Connection& connection = session_.connection();
  try {
    connection.DropIfGone();
    // A new session takes batches as the old one did (the guard still lives) and asks its
    // constants again; streaming is the one setting the preparation made on the session.
    if (!connection.IsOpen() && streaming_) {
      lock::StartStreaming(connection, fragment_bytes_);
    }
  } catch (const std::exception& failure) {
    Fail(std::string("The server could not be reached again before the run, so nothing was "
                     "changed: ") +
             failure.what(),
         {.step = RunStep::kCheck, .cause = failure.what(), .server_error = ServerError(failure)});
  }
}

void CopyRun::FailCopy(const std::string& text, const std::string& cause, unsigned int server_error,
                       Changed changed) {
  (void)saved_.MarkOutcome(false);
  RunError::Details details{
      .step = report_.finished ? RunStep::kFinish : RunStep::kCopy,
      .step_text = report_.finished ? std::string() : current_step_,
      .changed = changed,
      .cause = cause,
      .server_error = server_error,
  };
  if (changed == Changed::kPartly) {
    for (const StepReport& step : report_.steps) {
      details.changed_steps.push_back(step.status_text);
    }
    // The failing step may have cleared its table and put part of it back.
    if (!report_.finished && !current_step_.empty()) {
      details.changed_steps.push_back(current_step_);
    }
  }
  // The run's session died under it (a link that stopped answering, a server that went):
  // the user's first question is what became of the data.
  if (session_.connection().SessionLost()) {
    if (lock_ != nullptr) {
      lock_->ReleaseWithoutReconnecting();
    }
    std::vector<std::string> done;
    for (const StepReport& step : report_.steps) {
      done.push_back(step.status_text);
    }
    const std::string lead = LinkLostLead(details, done);
    Fail(saved_.WithRestoreHint(lead + text), std::move(details));
  }
  Fail(saved_.WithRestoreHint(text), std::move(details));
}

void CopyRun::CopySteps(const RunObserver& observer) {
  std::string previous_step;
  // A table's last insert, which the next table's first request carries (an atomic run). Its
  // failure means the previous step did not finish after all.
  copy::CarriedInsert carried([this, &previous_step, &observer] {
    current_step_ = previous_step;
    if (observer.status) {
      observer.status(previous_step);
    }
    if (!report_.steps.empty()) {
      report_.ap_refused -= report_.steps.back().ap_refused;
      report_.steps.pop_back();
    }
  });
  copy::StepByStepSink step_by_step(session_.insert_query());
  // Inside a transaction a table's rows go in multi-row statements, or as arrays of values
  // when there are many; a failing one is sent again row by row, so the error still names
  // the row.
  std::optional<copy::BulkSink> in_bulk;
  for (const copy::TableDesc& table : tables_) {
    // Another run may have the agencies now; going on would interleave with it.
    if (lock_ != nullptr && lock_->IsLost()) {
      throw std::runtime_error(
          "The run lost its lock on the agencies (its lock session ended, or another run took "
          "the lock over after missing heartbeats), so it stopped before " +
          table.status_text + ".");
    }
    current_step_ = table.status_text;
    const auto start = std::chrono::steady_clock::now();
    StepReport step;
    step.method = table.method;
    step.status_text = table.status_text;
    if (report_.atomic && !in_bulk) {
      if (multi_row_bytes_ == 0) {
        multi_row_bytes_ = copy::MultiRowLimit(session_.connection());
      }
      in_bulk.emplace(session_.connection(), multi_row_bytes_, &carried);
    }
    copy::InsertSink& sink = in_bulk ? static_cast<copy::InsertSink&>(*in_bulk) : step_by_step;
    step.stats = copy::CopyTable(table, session_.StepContext(report_.from_code, report_.to_code,
                                                             observer, step, report_.atomic, sink));
    previous_step = table.status_text;
    step.elapsed = std::chrono::steady_clock::now() - start;
    report_.ap_refused += step.ap_refused;
    report_.steps.push_back(std::move(step));
  }
  carried.Send(session_.connection());
  report_.finished = true;
}

void CopyRun::CopyAtomic(const RunObserver& observer) {
  db::Connection& connection = session_.connection();
  std::optional<Transaction> transaction;
  const auto roll_back = [&](const std::string& text, const std::exception& failure) {
    if (transaction) {
      transaction->RollBack();
    }
    report_.rolled_back = true;
    FailCopy(text + "\nThe run was rolled back: the destination is exactly as before the run.",
             failure.what(), ServerError(failure), Changed::kNothing);
  };
  try {
    transaction.emplace(connection);
    // The ap records go through the record store, which then works on this very
    // connection, so the table rows and the records commit or roll back together. Leaving
    // it sends any inserts the store still queues, so they land in this transaction, before
    // any rollback.
    const recstore::BorrowedConnection borrowed(connection);
    CopySteps(observer);
    // Each ap copy sends its queued inserts at its end; this covers any later insert.
    if (recstore::Flush() != 0 || recstore::QueuedInsertsLost()) {
      throw std::runtime_error("The ap records were not all copied: " + recstore::LastErrorText());
    }
    transaction->Commit();
  } catch (const db::Error& failure) {
    if (transaction && transaction->committing() && failure.IsConnectionLost()) {
      // The server may have committed before the connection went: nobody can say which.
      transaction->Abandon();
      report_.rolled_back = false;
      FailCopy(std::string(failure.what()) +
                   "\nThe connection was lost while the run was being committed, so it is not "
                   "known whether the copy was committed or rolled back. To find out, run: "
                   "kelvane --from " +
                   report_.from_code + " --to " + report_.to_code + " --verify",
               failure.what(), failure.code(), Changed::kUnknown);
    }
    std::string text = failure.what();
    if (lock::IsCertificationFailure(failure)) {
      text +=
          "\nAnother session or cluster node changed the same rows at the same time, so the "
          "server refused this run's changes (a deadlock, or a failed cluster certification).";
    }
    roll_back(text, failure);
  } catch (const std::exception& failure) {
    roll_back(failure.what(), failure);
  }
}

const RunReport& CopyRun::Execute(const RunObserver& observer) {
  if (executed_) {
    throw std::logic_error("A run is carried out once.");
  }
  const bool prepared_before = prepared_;
  Prepare();
  executed_ = true;
  // Asked already when this very call prepared the run.
  if (prepared_before) {
    Resume();
  }
  if (options_.backup) {
    try {
      saved_.Write(session_.connection(), catalogue_, tables_, options_.backup_dir,
                   report_.from_code, report_.to_code);
    } catch (const std::exception& failure) {
      Fail(std::string("The destination's profile could not be saved before the run, so "
                       "nothing was changed: ") +
               failure.what(),
           {.step = RunStep::kBackup,
            .cause = failure.what(),
            .server_error = ServerError(failure)});
    }
    report_.backup_file = saved_.path();
  }

  // Whichever way the run ends, its time (a commit or rollback included) is taken.
  struct Elapsed {
    RunReport& report;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

    ~Elapsed() { report.elapsed = std::chrono::steady_clock::now() - start; }
  } elapsed{report_};

  // From here on a lost session ends the run: nothing of it reconnects, so nothing writes
  // once the link is gone (another run may have the agencies by the time it comes back).
  // The record store works on the run's connection for the same reason; a step-by-step
  // run's records still go in one by one, each standing on its own.
  const db::SessionHold hold(session_.connection());
  const recstore::BorrowedConnection store_on_run(session_.connection(), false);
  if (report_.atomic) {
    CopyAtomic(observer);
  } else {
    try {
      CopySteps(observer);
    } catch (const std::exception& failure) {
      FailCopy(failure.what(), failure.what(), ServerError(failure), Changed::kPartly);
    }
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
    const std::string text = BulletList(
        "Every table was copied, but the record store refused some ap records, which are "
        "missing at the destination:",
        lines);
    FailCopy(text, text, 0, Changed::kPartly);
  }
  (void)saved_.MarkOutcome(true);
  return report_;
}

}  // namespace run
