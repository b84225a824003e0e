// Text and JSON accounts of a run, a dry run and a verification.
#include "core/run_report.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "recstore/ap_file.h"

namespace core {

namespace {

// Length of the valid UTF-8 sequence starting at text[i], 0 when it is not one.
std::size_t Utf8Length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  uint32_t min = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    min = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) {
    return 0;
  }
  uint32_t code = lead & (0x7Fu >> length);
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      return 0;
    }
    code = (code << 6) | (byte(i + k) & 0x3Fu);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8 either.
  if (code < min || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
    return 0;
  }
  return length;
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

std::string StatsJson(const copy::TableCopyStats& stats) {
  return "\"rows_deleted\":" + Count(stats.rows_deleted) +
         ",\"rows_selected\":" + Count(stats.rows_selected) +
         ",\"rows_inserted\":" + Count(stats.rows_inserted) +
         ",\"ap_deleted\":" + Count(stats.ap_deleted) + ",\"ap_copied\":" + Count(stats.ap_copied);
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

const char* Bool(bool value) {
  return value ? "true" : "false";
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (const std::size_t length = Utf8Length(text, i); length > 0) {
      out.append(text.substr(i, length));
      i += length;
      continue;
    } else {
      out += "\\ufffd";
    }
    ++i;
  }
  return out + "\"";
}

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
  return text;
}

std::string RunReportJson(const RunReport& report) {
  std::string json =
      "{\"from\":" + JsonString(report.from_code) + ",\"to\":" + JsonString(report.to_code) +
      ",\"finished\":" + Bool(report.finished) + ",\"atomic\":" + Bool(report.atomic) +
      ",\"rolled_back\":" + Bool(report.rolled_back) + ",\"backup_file\":" +
      (report.backup_file.empty() ? std::string("null") : JsonString(report.backup_file)) +
      ",\"seconds\":" + FormatSeconds(report.elapsed) + ",\"steps\":[";
  for (std::size_t i = 0; i < report.steps.size(); ++i) {
    const StepReport& step = report.steps[i];
    json += (i > 0 ? ",{" : "{");
    json += "\"method\":" + JsonString(step.method) +
            ",\"status_text\":" + JsonString(step.status_text) + "," + StatsJson(step.stats) +
            ",\"ap_refused\":" + Count(step.ap_refused) + ",\"ap_refused_keys\":[";
    for (std::size_t k = 0; k < step.refused_records.size(); ++k) {
      json += (k > 0 ? "," : "") + JsonString(recstore::PrintableKey(step.refused_records[k].key));
    }
    json += "],\"seconds\":" + FormatSeconds(step.elapsed) + "}";
  }
  json += "],\"totals\":{" + StatsJson(Totals(report)) +
          ",\"ap_refused\":" + Count(report.ap_refused) + "}}";
  return json;
}

std::string PlanJson(const std::vector<copy::TablePlan>& plan) {
  std::string json = "[";
  for (std::size_t i = 0; i < plan.size(); ++i) {
    const copy::TablePlan& entry = plan[i];
    json += (i > 0 ? ",{" : "{");
    json += "\"table\":" + JsonString(entry.table) +
            ",\"status_text\":" + JsonString(entry.status_text) +
            ",\"ap_record_type\":" + JsonString(entry.ap_record_type) +
            ",\"rows_to_delete\":" + Count(entry.counts.rows_to_delete) +
            ",\"rows_to_copy\":" + Count(entry.counts.rows_to_copy) +
            ",\"ap_to_delete\":" + Count(entry.counts.ap_to_delete) +
            ",\"ap_to_copy\":" + Count(entry.counts.ap_to_copy) + "}";
  }
  return json + "]";
}

std::string VerifyJson(const std::vector<copy::VerifyLine>& lines) {
  std::string json = "[";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    json += (i > 0 ? ",{" : "{");
    json += "\"subject\":" + JsonString(lines[i].subject) + ",\"ok\":" + Bool(lines[i].ok) +
            ",\"detail\":" + JsonString(lines[i].detail) + "}";
  }
  return json + "]";
}

}  // namespace core
