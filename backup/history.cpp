// Listing a folder's backups, newest first, from their headers and last lines.
#include "backup/history.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <tuple>

#include "backup/backup_file.h"
#include "backup/backup_stamp.h"
#include "copy/wording.h"
#include "settings/system.h"

namespace backup {

namespace {

// 2 for "...-to-02-2.sql", 1 for "...-to-02.sql": the order of files written in one
// millisecond.
int NameNumber(const std::string& name) {
  const std::size_t to = name.rfind("-to-");
  if (to == std::string::npos || name.size() < to + 4 + 2 + 4) {
    return 1;
  }
  const std::string rest = name.substr(to + 6, name.size() - to - 6 - 4);
  if (rest.size() < 2 || rest[0] != '-' || rest.size() > 6) {
    return 1;
  }
  int number = 0;
  for (std::size_t i = 1; i < rest.size(); ++i) {
    if (rest[i] < '0' || rest[i] > '9') {
      return 1;
    }
    number = number * 10 + (rest[i] - '0');
  }
  return number;
}

// The file's first bytes up to the end of its header, and whether its last line records
// an outcome.
HistoryEntry ReadHistoryEntry(const std::filesystem::path& path) {
  HistoryEntry entry;
  entry.path = path.string();
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    entry.problem = "cannot be read: " + settings::SystemErrorText(errno);
    return entry;
  }
  // The header of twelve tables' column lists is a few kilobytes; this is far more.
  std::string head(256 * 1024, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(in.gcount()));
  const std::size_t body = head.find("\nSET NAMES");
  head.resize(body == std::string::npos ? head.rfind('\n') + 1 : body + 1);
  try {
    BackupContents contents = ParseBackupHeader(head);
    entry.time = contents.header.time;
    entry.database = contents.header.database;
    entry.from_code = contents.header.from_code;
    entry.to_code = contents.header.to_code;
    entry.tables = contents.header.tables;
    for (const BackupSection& section : contents.sections) {
      (section.IsAp() ? entry.records : entry.rows) += section.count;
    }
  } catch (const BackupFormatError& e) {
    entry.problem = e.what();
    return entry;
  }
  in.clear();
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  const std::streamoff tail_size = std::min<std::streamoff>(size, 64);
  std::string tail(static_cast<std::size_t>(tail_size), '\0');
  in.seekg(size - tail_size);
  in.read(tail.data(), tail_size);
  auto ends_with = [&tail](const std::string& suffix) {
    return tail.size() >= suffix.size() &&
           tail.compare(tail.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  if (ends_with(OutcomeLine(true))) {
    entry.outcome = RunOutcome::kCompleted;
  } else if (ends_with(OutcomeLine(false))) {
    entry.outcome = RunOutcome::kFailed;
  }
  return entry;
}

}  // namespace

const char* RunOutcomeText(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::kCompleted:
      return "completed";
    case RunOutcome::kFailed:
      return "failed";
    case RunOutcome::kUnknown:
      break;
  }
  return "unknown";
}

std::vector<HistoryEntry> ListBackups(const std::string& dir) {
  std::error_code error;
  if (!std::filesystem::exists(dir, error)) {
    if (error && error != std::errc::no_such_file_or_directory) {
      throw std::runtime_error("Cannot read the backups folder " + dir + ": " + error.message());
    }
    return {};
  }

  struct Sortable {
    HistoryEntry entry;
    int64_t instant;
    int number;
  };

  std::vector<Sortable> found;
  std::filesystem::directory_iterator it(dir, error);
  if (error) {
    throw std::runtime_error("Cannot read the backups folder " + dir + ": " + error.message());
  }
  for (const std::filesystem::directory_entry& file : it) {
    const std::string name = file.path().filename().string();
    if (name.empty() || name.front() == '.' || name.size() < 5 ||
        name.compare(name.size() - 4, 4, ".sql") != 0 || !file.is_regular_file(error)) {
      continue;
    }
    HistoryEntry entry = ReadHistoryEntry(file.path());
    int64_t instant = 0;
    if (std::optional<int64_t> header_instant = InstantOf(entry.time)) {
      instant = *header_instant;
    } else {
      const auto written = std::filesystem::last_write_time(file.path(), error);
      instant = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::file_clock::to_sys(written).time_since_epoch())
                    .count();
    }
    found.push_back(Sortable{std::move(entry), instant, NameNumber(name)});
  }
  std::sort(found.begin(), found.end(), [](const Sortable& a, const Sortable& b) {
    return std::tie(b.instant, b.number, b.entry.path) <
           std::tie(a.instant, a.number, a.entry.path);
  });
  std::vector<HistoryEntry> entries;
  for (Sortable& item : found) {
    entries.push_back(std::move(item.entry));
  }
  return entries;
}

std::string FormatHistoryLine(const HistoryEntry& entry) {
  if (!entry.problem.empty()) {
    return "(unreadable: " + entry.problem + ")  " + entry.path;
  }
  std::string tables;
  for (const std::string& table : entry.tables) {
    tables += (tables.empty() ? "  only " : ", ") + table;
  }
  return entry.time + "  " + entry.from_code + " -> " + entry.to_code + "  " +
         copy::Quantity(entry.rows, "row", "rows") + ", " +
         copy::Quantity(entry.records, "record", "records") + tables + "  " +
         RunOutcomeText(entry.outcome) + "  " + entry.path;
}

}  // namespace backup
