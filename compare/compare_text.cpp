// A comparison as the command line prints it.
#include <algorithm>
#include <string>
#include <vector>

#include "compare/compare.h"
#include "copy/wording.h"
#include "recstore/ap_file.h"

namespace compare {

namespace {

// A count right-aligned in a column as wide as its heading.
std::string Cell(const std::string& text, std::size_t width) {
  return std::string(width > text.size() ? width - text.size() : 0, ' ') + text;
}

std::string CountsLine(const std::string& name, std::size_t name_width, const CompareCounts& counts,
                       const std::vector<std::string>& headings) {
  std::string line = name + std::string(name_width - name.size(), ' ');
  const uint64_t values[] = {counts.same, counts.only_from, counts.only_to, counts.differ};
  for (std::size_t i = 0; i < headings.size(); ++i) {
    line += "  " + Cell(std::to_string(values[i]), headings[i].size());
  }
  return line;
}

// "Bank 'B3': only in 02 (a copy adds it)".
std::string RowLine(const CompareEntry& entry, const RowDifference& row, const Comparison& all) {
  std::string line = entry.Name() + " " +
                     (entry.IsAp() ? recstore::PrintableKey(row.key) : "'" + row.key + "'") + ": ";
  switch (row.change) {
    case RowChange::kOnlyFrom:
      return line + "only in " + all.from_code + " (a copy adds it)";
    case RowChange::kOnlyTo:
      return line + "only in " + all.to_code + " (a copy removes it)";
    case RowChange::kDiffer:
      break;
  }
  std::string columns;
  for (const std::string& column : row.columns) {
    columns += (columns.empty() ? "" : ", ") + column;
  }
  const bool one_byte = row.columns.size() == 1 && row.columns[0].find('-') == std::string::npos;
  return line + "differs in " + (entry.IsAp() ? (one_byte ? "byte " : "bytes ") : "") + columns;
}

}  // namespace

std::vector<std::string> DescribeComparison(const Comparison& comparison, std::size_t max_rows) {
  // Each table followed by its record type, as the steps take them.
  std::vector<const CompareEntry*> entries;
  for (const CompareEntry& table : comparison.tables) {
    entries.push_back(&table);
    for (const CompareEntry& ap : comparison.ap) {
      if (ap.status_text == table.status_text) {
        entries.push_back(&ap);
      }
    }
  }
  std::size_t name_width = 18;
  for (const CompareEntry* entry : entries) {
    name_width = std::max(name_width, entry->Name().size());
  }
  const std::vector<std::string> headings = {"Same", "Only in " + comparison.from_code,
                                             "Only in " + comparison.to_code, "Differ"};
  std::string heading = "Table or ap records";
  heading.resize(std::max(name_width, heading.size()), ' ');
  name_width = heading.size();
  for (const std::string& title : headings) {
    heading += "  " + title;
  }
  std::vector<std::string> lines = {heading};
  std::vector<std::string> differences;
  std::vector<std::string> resets;
  uint64_t rows = 0;
  uint64_t records = 0;
  for (const CompareEntry* entry : entries) {
    lines.push_back(CountsLine(entry->Name(), name_width, entry->counts, headings));
    for (const RowDifference& row : entry->rows) {
      differences.push_back(RowLine(*entry, row, comparison));
    }
    (entry->IsAp() ? records : rows) += entry->rows.size();
    for (const ResetColumn& reset : entry->reset_columns) {
      resets.push_back(entry->table + "." + reset.column + ": " +
                       copy::Quantity(reset.rows, "row", "rows") + " of " + comparison.to_code +
                       (reset.rows == 1 ? " holds" : " hold") + " another value");
    }
  }
  if (!differences.empty()) {
    lines.push_back("");
    lines.push_back("Rows and ap records that differ:");
    for (std::size_t i = 0; i < differences.size() && i < max_rows; ++i) {
      lines.push_back(differences[i]);
    }
    if (differences.size() > max_rows) {
      lines.push_back("... and " + std::to_string(differences.size() - max_rows) +
                      " more (--json lists every one)");
    }
  }
  if (!resets.empty()) {
    lines.push_back("");
    lines.push_back("Columns the copy does not write, which it leaves at their defaults:");
    lines.insert(lines.end(), resets.begin(), resets.end());
  }
  lines.push_back("");
  const std::string copy = "A copy of " + comparison.from_code + " to " + comparison.to_code;
  if (comparison.Identical()) {
    lines.push_back(copy + " would change nothing: " + comparison.to_code + " is identical.");
  } else {
    lines.push_back(copy + " would change " + copy::Quantity(rows, "row", "rows") + " and " +
                    copy::Quantity(records, "ap record", "ap records") +
                    (resets.empty() ? std::string() : ", and reset columns") + ".");
  }
  return lines;
}

}  // namespace compare
