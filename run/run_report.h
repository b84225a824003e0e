// The command line's account of a run, a dry run and a verification, as text or JSON.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "backup/history.h"
#include "compare/compare.h"
#include "compare/verify.h"
#include "copy/plan.h"
#include "run/json.h"
#include "run/session.h"
#include <nlohmann/json.hpp>  // the documents below are built on by their callers

namespace run {

// `heading`, then each item on a line of its own after "- ": how every list of problems
// reaches the user, in the window and on the command line alike.
std::string BulletList(const std::string& heading, const std::vector<std::string>& items);

// Seconds with three decimals ("0.042").
std::string FormatSeconds(std::chrono::steady_clock::duration elapsed);

// What a run that commits step by step says before its first step, from its reason:
// "The run commits step by step, because ...", and what that means for a failure.
std::string StepByStepNotice(const std::string& reason);

// A table with one line per finished step (rows deleted, rows inserted, ap records deleted
// and copied, seconds), then the totals and the whole run's time, and for a step-by-step
// run its reason. Ends with a newline.
std::string FormatRunReport(const RunReport& report);

// The same as a JSON object (for run::DumpJson, alone or inside the command line's
// document): from, to, finished, atomic, mode ("all-or-nothing" or "step-by-step"),
// step_by_step_reason (null for all or nothing), rolled_back, seconds, steps (each
// with method, status_text, rows_deleted, rows_selected, rows_inserted, ap_deleted,
// ap_copied, seconds) and totals.
Json RunReportJson(const RunReport& report);

// The plan as a JSON array, one object per table (table, status_text, ap_record_type,
// rows_to_delete, rows_to_copy, ap_to_delete, ap_to_copy).
Json PlanJson(const std::vector<copy::TablePlan>& plan);

// The history as one JSON array of objects with keys "time", "from", "to", "database",
// "rows", "records", "tables" (only for a backup of some of the tables: their names),
// "outcome", "file" (and "problem" for an unreadable header).
std::string HistoryJson(const std::vector<backup::HistoryEntry>& entries);

// The verification as a JSON array, one object per line (subject, ok, detail).
Json VerifyJson(const std::vector<compare::VerifyLine>& lines);

// The comparison as --compare --json prints it: {"from", "to", "identical", "tables": [{"table",
// "same", "only_from", "only_to", "differ", "rows": [{"key", "change", "columns"}],
// "reset_columns": [{"column", "rows"}]}], "ap": [{"type", "same", "only_from", "only_to",
// "differ", "records": [{"key", "change", "bytes"}]}]}, every table and type compared
// present, in run order; "columns" and "bytes" only for a row that differs.
Json CompareJson(const compare::Comparison& comparison);

}  // namespace run
