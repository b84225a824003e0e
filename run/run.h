// What a run is asked to do and what it did: the codes it accepts, how it commits, what each
// step did, and how a user watches it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "copy/table_copy.h"
#include "recstore/ap_copy.h"

namespace run {

// Receives a message for the user: the text of an error, or one of the program's own.
using MessageSink = std::function<void(const std::string&)>;

// What one finished step did.
struct StepReport {
  std::string method;  // the window's copy method, e.g. "CopyBanks"
  std::string status_text;
  copy::TableCopyStats stats;
  std::chrono::steady_clock::duration elapsed{};  // from the status text to the last ap record
  uint64_t ap_refused = 0;                        // ap inserts the record store refused
  std::vector<recstore::RefusedRecord> refused_records = {};  // the first of them
};

// What a run did, kept for reporting.
struct RunReport {
  std::string from_code;
  std::string to_code;
  std::vector<StepReport> steps;  // finished steps, in run order
  uint64_t ap_refused = 0;        // ap inserts the record store refused over the run
  bool finished = false;          // every step of the run ran
  bool atomic = false;            // the run was one transaction
  // Why the run commits step by step, each statement on its own; "" when it is one
  // transaction. Known before the first step.
  std::string step_by_step_reason;
  bool rolled_back = false;  // atomic and failed: nothing of it stays
  std::string backup_file;   // where the destination's previous state is, "" if none
  std::chrono::steady_clock::duration elapsed{};  // the whole run, commit included
};

// How a run commits.
enum class RunMode {
  // All or nothing whenever the tables and the cluster allow it, else step by step with the
  // reason told before the first step: what a press of "GO!" and a plain command-line run do.
  kAuto,
  // All or nothing, or refused before anything changes (--atomic).
  kAtomic,
  // The original stream: each statement commits on its own, one insert per row
  // (--step-by-step).
  kStepByStep,
};

// The step-by-step reason of a run that asked for it.
inline constexpr std::string_view kStepByStepAsked = "it was asked for (--step-by-step)";

// How a run is made.
struct RunOptions {
  // All or nothing: the twelve steps and the ap records in one transaction on the program's
  // connection, rolled back on any failure. Step by step: each statement commits on its own,
  // so a failure leaves the steps before it copied.
  RunMode mode = RunMode::kAuto;
  // Save the destination's state before the first delete. Only --no-backup turns it off.
  bool backup = true;
  // Where the backup goes; "" is DefaultBackupDir().
  std::string backup_dir = {};
  // The tables the run copies, as the statements name them ("GLCodes"), each with its ap
  // record type; they keep the run order whatever order they are given in. Empty: all twelve.
  // The lock still takes both agencies; the checks, the plan, the backup and the report
  // cover the chosen tables alone.
  std::vector<std::string> tables = {};
};

// Called with each step's status text as the step starts, and now and then while a step
// inserts rows with (status text, rows inserted, rows selected). Either may be empty.
struct RunObserver {
  std::function<void(std::string_view)> status;
  std::function<void(std::string_view, uint64_t, uint64_t)> progress;
};

// Why the two codes may not be run, or nothing when they may. Each code must be exactly two
// ASCII letters or digits (anything else breaks the statements or, through LIKE, the ap
// clear of other agencies), and the two must differ even ignoring letter case (the tables'
// collation ignores case, so the clear would delete the very rows about to be copied).
std::optional<std::string> CheckCodes(const std::string& from_code, const std::string& to_code);

// "type 006: 1 record refused, the first with key '...' (status 5: ...)".
std::string RefusalLine(const std::string& record_type, uint64_t count,
                        const std::vector<recstore::RefusedRecord>& records);

}  // namespace run
