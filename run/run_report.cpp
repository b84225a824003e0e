// Text and JSON accounts of a run, a dry run and a verification.
#include "run/run_report.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

#include "recstore/ap_file.h"
#include "run/json.h"
#include <nlohmann/json.hpp>

namespace run {

namespace {

// A JSON array of one object per item, each filled in by `fill`.
template <typename Items, typename Fill>
Json ObjectsOf(const Items& items, Fill fill) {
  Json array = Json::array();
  for (const auto& item : items) {
    Json object = Json::object();
    fill(object, item);
    array.push_back(std::move(object));
  }
  return array;
}

std::string Count(uint64_t value) {
  return std::to_string(value);
}

std::string PadLeft(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

std::string PadRight(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

void AddStats(Json& object, const copy::TableCopyStats& stats) {
  object["rows_deleted"] = stats.rows_deleted;
  object["rows_selected"] = stats.rows_selected;
  object["rows_inserted"] = stats.rows_inserted;
  object["ap_deleted"] = stats.ap_deleted;
  object["ap_copied"] = stats.ap_copied;
}

// Seconds as a JSON number, to the millisecond.
double Seconds(std::chrono::steady_clock::duration elapsed) {
  return static_cast<double>(
             std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()) /
         1000.0;
}

copy::TableCopyStats Totals(const RunReport& report) {
  copy::TableCopyStats totals;
  for (const StepReport& step : report.steps) {
    totals.rows_deleted += step.stats.rows_deleted;
    totals.rows_selected += step.stats.rows_selected;
    totals.rows_inserted += step.stats.rows_inserted;
    totals.ap_deleted += step.stats.ap_deleted;
    totals.ap_copied += step.stats.ap_copied;
  }
  return totals;
}

}  // namespace

std::string BulletList(const std::string& heading, const std::vector<std::string>& items) {
  std::string text = heading;
  for (const std::string& item : items) {
    text += "\n- " + item;
  }
  return text;
}

std::string FormatSeconds(std::chrono::steady_clock::duration elapsed) {
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(millis / 1000),
                static_cast<long long>(millis % 1000));
  return text;
}

std::string StepByStepNotice(const std::string& reason) {
  return "The run commits step by step, each table on its own, because " + reason +
         ". A failure part way leaves the tables before it copied; the saved profile puts them "
         "back.";
}

std::string FormatRunReport(const RunReport& report) {
  constexpr std::size_t kStepWidth = 22;
  constexpr std::size_t kNumberWidth = 10;
  auto line = [&](const std::string& step, const std::string& deleted, const std::string& inserted,
                  const std::string& ap_deleted, const std::string& ap_copied,
                  const std::string& seconds) {
    return PadRight(step, kStepWidth) + PadLeft(deleted, kNumberWidth) +
           PadLeft(inserted, kNumberWidth) + PadLeft(ap_deleted, kNumberWidth) +
           PadLeft(ap_copied, kNumberWidth) + PadLeft(seconds, kNumberWidth) + "\n";
  };
  std::string text = line("Step", "Deleted", "Inserted", "AP del", "AP copied", "Seconds");
  for (const StepReport& step : report.steps) {
    text += line(step.status_text, Count(step.stats.rows_deleted), Count(step.stats.rows_inserted),
                 Count(step.stats.ap_deleted), Count(step.stats.ap_copied),
                 FormatSeconds(step.elapsed));
  }
  const copy::TableCopyStats totals = Totals(report);
  text += line("Total", Count(totals.rows_deleted), Count(totals.rows_inserted),
               Count(totals.ap_deleted), Count(totals.ap_copied), FormatSeconds(report.elapsed));
  if (report.ap_refused > 0) {
    text += "The record store refused " + Count(report.ap_refused) + " ap record inserts.\n";
  }
  if (!report.backup_file.empty()) {
    text += "The destination's previous profile is saved in " + report.backup_file + ".\n";
  }
  if (!report.step_by_step_reason.empty()) {
    text += "Committed step by step, because " + report.step_by_step_reason + ".\n";
  }
  return text;
}

Json RunReportJson(const RunReport& report) {
  Json json = Json::object();
  json["from"] = report.from_code;
  json["to"] = report.to_code;
  json["finished"] = report.finished;
  json["atomic"] = report.atomic;
  json["mode"] = report.atomic ? "all-or-nothing" : "step-by-step";
  json["step_by_step_reason"] =
      report.step_by_step_reason.empty() ? Json(nullptr) : Json(report.step_by_step_reason);
  json["rolled_back"] = report.rolled_back;
  json["backup_file"] = report.backup_file.empty() ? Json(nullptr) : Json(report.backup_file);
  json["seconds"] = Seconds(report.elapsed);
  json["steps"] = ObjectsOf(report.steps, [](Json& item, const StepReport& step) {
    item["method"] = step.method;
    item["status_text"] = step.status_text;
    AddStats(item, step.stats);
    item["ap_refused"] = step.ap_refused;
    Json keys = Json::array();
    for (const auto& refused : step.refused_records) {
      keys.push_back(recstore::PrintableKey(refused.key));
    }
    item["ap_refused_keys"] = std::move(keys);
    item["seconds"] = Seconds(step.elapsed);
  });
  Json totals = Json::object();
  AddStats(totals, Totals(report));
  totals["ap_refused"] = report.ap_refused;
  json["totals"] = std::move(totals);
  return json;
}

Json PlanJson(const std::vector<copy::TablePlan>& plan) {
  return ObjectsOf(plan, [](Json& item, const copy::TablePlan& entry) {
    item["table"] = entry.table;
    item["status_text"] = entry.status_text;
    item["ap_record_type"] = entry.ap_record_type;
    item["rows_to_delete"] = entry.counts.rows_to_delete;
    item["rows_to_copy"] = entry.counts.rows_to_copy;
    item["ap_to_delete"] = entry.counts.ap_to_delete;
    item["ap_to_copy"] = entry.counts.ap_to_copy;
  });
}

Json VerifyJson(const std::vector<compare::VerifyLine>& lines) {
  return ObjectsOf(lines, [](Json& item, const compare::VerifyLine& line) {
    item["subject"] = line.subject;
    item["ok"] = line.ok;
    item["detail"] = line.detail;
  });
}

std::string HistoryJson(const std::vector<backup::HistoryEntry>& entries) {
  return DumpJson(ObjectsOf(entries, [](Json& item, const backup::HistoryEntry& entry) {
    item["time"] = entry.time;
    item["from"] = entry.from_code;
    item["to"] = entry.to_code;
    item["database"] = entry.database;
    item["rows"] = entry.rows;
    item["records"] = entry.records;
    // Only a backup of a run that chose its tables names them; the others hold all twelve.
    if (!entry.tables.empty()) {
      item["tables"] = entry.tables;
    }
    item["outcome"] = backup::RunOutcomeText(entry.outcome);
    item["file"] = entry.path;
    if (!entry.problem.empty()) {
      item["problem"] = entry.problem;
    }
  }));
}

namespace {

// One table's or record type's counts and the rows that are not the same.
void FillEntry(Json& json, const compare::CompareEntry& entry) {
  if (entry.IsAp()) {
    json["type"] = entry.record_type;
  } else {
    json["table"] = entry.table;
  }
  json["same"] = entry.counts.same;
  json["only_from"] = entry.counts.only_from;
  json["only_to"] = entry.counts.only_to;
  json["differ"] = entry.counts.differ;
  json[entry.IsAp() ? "records" : "rows"] =
      ObjectsOf(entry.rows, [&entry](Json& item, const compare::RowDifference& row) {
        item["key"] = row.key;
        item["change"] = compare::RowChangeName(row.change);
        if (row.change == compare::RowChange::kDiffer) {
          item[entry.IsAp() ? "bytes" : "columns"] = row.columns;
        }
      });
  if (!entry.IsAp()) {
    Json resets = Json::array();
    for (const compare::ResetColumn& reset : entry.reset_columns) {
      resets.push_back(Json{{"column", reset.column}, {"rows", reset.rows}});
    }
    json["reset_columns"] = std::move(resets);
  }
}

}  // namespace

Json CompareJson(const compare::Comparison& comparison) {
  Json json = Json::object();
  json["from"] = comparison.from_code;
  json["to"] = comparison.to_code;
  json["identical"] = comparison.Identical();
  json["tables"] = ObjectsOf(comparison.tables, FillEntry);
  json["ap"] = ObjectsOf(comparison.ap, FillEntry);
  return json;
}

}  // namespace run
