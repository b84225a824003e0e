// The run: the codes it accepts, the twelve copy steps in their fixed order, and what
// each step did.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "copy/table_copy.h"

class TForm1;

namespace app {

// One copy step: the window's method and its name, as the table descriptions name it.
struct RunStep {
  const char* method;
  copy::TableCopyStats (TForm1::*copy)();
};

// The twelve steps in run order: banks first, download lines last.
const std::array<RunStep, 12>& RunSteps();

// What one finished step did.
struct StepReport {
  std::string method;
  std::string status_text;
  copy::TableCopyStats stats;
  std::chrono::steady_clock::duration elapsed{};  // from the status text to the last ap record
};

// What the last run did, kept for reporting.
struct RunReport {
  std::string from_code;
  std::string to_code;
  std::vector<StepReport> steps;  // finished steps, in run order
  uint64_t ap_refused = 0;        // ap inserts the record store refused over the run
  bool finished = false;          // all twelve steps ran
  bool atomic = false;            // the run was one transaction
  bool rolled_back = false;       // atomic and failed: nothing of it stays
  std::chrono::steady_clock::duration elapsed{};  // the whole run, commit included
};

// How a run is made.
struct RunOptions {
  // All or nothing: the twelve steps and the ap records in one transaction on the program's
  // connection, rolled back on any failure. Refused before anything changes when a table of
  // the run cannot roll back.
  bool atomic = false;
};

// Why the two codes may not be run, or nothing when they may. Each code must be exactly two
// ASCII letters or digits (anything else breaks the statements or, through LIKE, the ap
// clear of other agencies), and the two must differ even ignoring letter case (the tables'
// collation ignores case, so the clear would delete the very rows about to be copied).
std::optional<std::string> CheckCodes(const std::string& from_code, const std::string& to_code);

// Runs the twelve steps on `form` in order, appending each finished step to report.steps,
// and sets report.finished after the last. Throws what a step throws; the steps before
// stay done and reported.
void RunSequence(TForm1& form, RunReport& report);

}  // namespace app
