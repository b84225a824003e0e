// One run of the copy: made for one press of "GO!" or one command-line run, gone when done.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "copy/catalogue.h"
#include "copy/plan.h"
#include "copy/table_desc.h"
#include "db/connection.h"
#include "run/run_error.h"
#include "run/run_steps.h"
#include "run/session.h"

namespace run {

// A run from one agency to another on a session, in two phases so that a caller can show
// the plan and ask before anything changes:
//   Prepare(): the codes, both agencies' run locks (held by this object until it goes), the
//              check (preflight, records too long to copy; unless the run is to go step
//              by step the tables' engines and the cluster's limits, which choose between
//              one transaction and step by step, or refuse --atomic) and the plan.
//              Changes nothing.
//   Execute(): the backup, the copy steps with their ap records (one transaction when
//              all_or_nothing()), and the finish (commit, refused ap records, the backup's
//              outcome).
// The steps are those of the tables the options choose (all twelve by default), in run
// order; ChooseTables narrows them between the two phases.
// Every failure is a RunError (run::LockHeld is one) naming the step, what was changed
// and the backup file. Not copyable; one Prepare and one Execute each.
class CopyRun {
 public:
  CopyRun(Session& session, std::string from_code, std::string to_code, RunOptions options = {});
  ~CopyRun();
  CopyRun(const CopyRun&) = delete;
  CopyRun& operator=(const CopyRun&) = delete;

  // Throws RunError (step kCodes, kLock, kCheck or kPlan; nothing changed).
  const copy::Plan& Prepare();

  // Prepares first when Prepare has not run. Throws RunError; report() then holds what
  // was done.
  const RunReport& Execute(const RunObserver& observer);

  // After Prepare and before Execute: only the tables named in `names` (among those
  // prepared) are copied, backed up and reported, in run order; the plan keeps theirs alone.
  // The locks, the checks and how the run commits stay as prepared. Throws
  // std::invalid_argument for a name the run does not hold or no name at all,
  // std::logic_error once the run was carried out.
  void ChooseTables(const std::vector<std::string>& names);

  const copy::Plan& plan() const { return plan_; }

  // The tables the run copies, in run order.
  const std::vector<copy::TableDesc>& tables() const { return tables_; }

  // After Prepare: the catalogue the checks read, for whatever else asks before the run.
  const copy::Catalogue& catalogue() const { return catalogue_; }

  // After Prepare: whether the run is one transaction, and why not ("" when it is).
  bool all_or_nothing() const { return report_.atomic; }

  const std::string& step_by_step_reason() const { return report_.step_by_step_reason; }

  const RunReport& report() const { return report_; }

 private:
  void Check();
  // For a run that may be all or nothing: refuses it, turns it to step by step or prepares
  // the cluster for its transaction.
  void ChooseMode(const std::vector<std::string>& non_transactional);
  void StepByStep(std::string reason);
  // Before the first write of a run prepared earlier: a session the server dropped while the
  // question was open is replaced, with what the preparation set on it.
  void Resume();
  void CopySteps(const RunObserver& observer);
  void CopyAtomic(const RunObserver& observer);
  [[noreturn]] void Fail(const std::string& text, RunError::Details details);
  // The error for a failure of the copy step: the text with the restore hint.
  [[noreturn]] void FailCopy(const std::string& text, const std::string& cause,
                             unsigned int server_error, Changed changed);

  Session& session_;
  RunOptions options_;
  RunReport report_;
  std::vector<copy::TableDesc> tables_;  // the run's, in run order
  copy::Plan plan_;
  // What the checks read of the database, for the plan and the backup: read once a run.
  copy::Catalogue catalogue_;
  std::unique_ptr<lock::RunLock> lock_;
  SavedState saved_;
  bool prepared_ = false;
  bool executed_ = false;
  bool streaming_ = false;           // the cluster replicates this run's transaction in fragments
  uint64_t fragment_bytes_ = 0;      // of that many bytes each
  std::string current_step_;         // status text of the running step
  std::size_t multi_row_bytes_ = 0;  // an atomic run's statement bound
  // Held from the checks to the end: the run's reads and clears go several to a request.
  std::optional<db::MultiStatements> batching_;
};

}  // namespace run
