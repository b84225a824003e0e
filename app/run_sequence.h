// The run: the codes it accepts, the twelve copy steps in their fixed order, and what
// each step did.
#pragma once

#include <array>
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
};

// What the last run did, kept for reporting.
struct RunReport {
  std::string from_code;
  std::string to_code;
  std::vector<StepReport> steps;  // finished steps, in run order
  uint64_t ap_refused = 0;        // ap inserts the record store refused over the run
  bool finished = false;          // all twelve steps ran
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
