// Backups of an agency's state: where they go, writing the file, and the run's outcome.
#include "backup/backup.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "backup/backup_file.h"
#include "backup/backup_read.h"
#include "backup/backup_stamp.h"
#include "copy/agency_code.h"
#include "copy/catalogue.h"
#include "copy/table_desc.h"
#include "copy/wording.h"
#include "db/connection.h"
#include "db/query.h"
#include "recstore/ap_file.h"
#include "settings/durable_file.h"
#include "settings/system.h"

namespace backup {

namespace {

using settings::FilePath;
using settings::Utf8Path;

[[noreturn]] void ThrowSystem(const std::string& what, const std::string& path, int error) {
  throw std::runtime_error(what + " " + path + ": " + settings::SystemErrorText(error));
}

// What a failed stream operation left in errno; streams do not always set it.
int StreamError() {
  return errno != 0 ? errno : EIO;
}

// Creates `dir` and any missing parent readable by the user alone, as the folders of a
// user's state should be. Folders that exist keep theirs.
void MakeFolders(const std::string& dir) {
  if (dir.empty()) {
    throw std::runtime_error("Cannot write the backup: no backups folder is given");
  }
  try {
    settings::MakePrivateFolders(dir);
  } catch (const settings::DurableWriteError& e) {
    throw std::runtime_error("Cannot create the backups folder " + e.path() + ": " + e.what());
  }
}

// The statements of the sections read so far, in a file beside the backup that is removed
// when this goes: only a section's counts and checksum stay in memory.
class ScratchFile {
 public:
  explicit ScratchFile(const std::string& dir)
      : path_(Utf8Path(FilePath(dir) /
                       (".scratch." + std::to_string(settings::ProcessId()) + ".tmp"))) {
    errno = 0;
    file_.open(FilePath(path_), std::ios::in | std::ios::out | std::ios::trunc | std::ios::binary);
    if (!file_) {
      ThrowSystem("Cannot write the backup", path_, StreamError());
    }
  }

  ~ScratchFile() {
    file_.close();
    std::error_code ignored;
    std::filesystem::remove(FilePath(path_), ignored);
  }

  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  void Write(std::string_view text) {
    if (!file_.write(text.data(), static_cast<std::streamsize>(text.size()))) {
      ThrowSystem("Cannot write the backup", path_, StreamError());
    }
  }

  // Hands everything written, from the start, to `take` a part at a time.
  void CopyTo(const std::function<void(std::string_view)>& take) {
    file_.flush();
    file_.seekg(0);
    std::vector<char> buffer(1 << 20);
    while (file_) {
      file_.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
      take(std::string_view(buffer.data(), static_cast<std::size_t>(file_.gcount())));
    }
    if (!file_.eof()) {
      ThrowSystem("Cannot write the backup", path_, StreamError());
    }
  }

 private:
  std::string path_;
  std::fstream file_;
};

// Writes what `write` writes to the file it is given as a new file "<base>.sql" (or
// "<base>-2.sql", ...) in `dir` and returns its path. See WriteBackup for what is guaranteed.
std::string WriteNewFile(const std::string& dir, const std::string& base,
                         const std::function<void(settings::DurableFile&)>& write) {
  MakeFolders(dir);
  const std::filesystem::path folder = FilePath(dir);
  const std::string first = Utf8Path(folder / FilePath(base + ".sql"));
  try {
    // Hidden while it is written, so the history never lists half a backup.
    settings::DurableFile file(Utf8Path(folder / FilePath("." + base + ".")), 0600);
    write(file);
    return file.PlaceNew(
        [&](int number) {
          return Utf8Path(
              folder / FilePath(base + (number == 1 ? "" : "-" + std::to_string(number)) + ".sql"));
        },
        1000);
  } catch (const settings::DurableWriteError& e) {
    throw std::runtime_error("Cannot write the backup " + first + ": " + e.what());
  }
}

// The header's list of tables: none when the file holds all twelve.
std::vector<std::string> ChosenNames(const std::vector<copy::TableDesc>& tables) {
  std::vector<std::string> names;
  if (tables.size() != copy::AllTables().size()) {
    for (const copy::TableDesc& table : tables) {
      names.push_back(table.table);
    }
  }
  return names;
}

}  // namespace

std::string DefaultBackupDir() {
  if (std::string dir = settings::EnvironmentValue("KELVANE_BACKUP_DIR"); !dir.empty()) {
    return dir;
  }
  const std::optional<std::string> state = settings::UserStateFolder();
  if (!state) {
    throw std::runtime_error(
        "Cannot find a folder for the backups: HOME is not set; set KELVANE_BACKUP_DIR");
  }
  return Utf8Path(FilePath(*state) / "backups");
}

BackupSummary WriteBackup(db::Connection& connection, const std::string& dir,
                          const std::string& from_code, const std::string& to_code) {
  return WriteBackup(connection, dir, from_code, to_code, std::chrono::system_clock::now());
}

BackupSummary WriteBackup(db::Connection& connection, const std::string& dir,
                          const std::string& from_code, const std::string& to_code,
                          std::chrono::system_clock::time_point time) {
  return WriteBackup(connection, copy::Catalogue::Read(connection), dir, from_code, to_code, time);
}

BackupSummary WriteBackup(db::Connection& connection, const copy::Catalogue& catalogue,
                          const std::string& dir, const std::string& from_code,
                          const std::string& to_code, std::chrono::system_clock::time_point time) {
  return WriteBackup(connection, catalogue, copy::AllTables(), dir, from_code, to_code, time);
}

BackupSummary WriteBackup(db::Connection& connection, const copy::Catalogue& catalogue,
                          const std::vector<copy::TableDesc>& tables, const std::string& dir,
                          const std::string& from_code, const std::string& to_code,
                          std::chrono::system_clock::time_point time) {
  if (!copy::IsAgencyCode(to_code) || !(copy::IsAgencyCode(from_code) || from_code == "restore")) {
    throw std::invalid_argument("A backup needs agency codes of two ASCII letters or digits");
  }
  if (tables.empty()) {
    throw std::invalid_argument("A backup needs one table at least");
  }
  const BackupStamp stamp = StampOf(time);
  BackupHeader header{std::string("Kelvane ") + KELVANE_VERSION, "", stamp.header, from_code,
                      to_code};
  header.tables = ChosenNames(tables);
  // One section at a time: its statements go to an unnamed scratch file beside the backup
  // and only its counts and checksum stay in memory, so a large profile costs no more than
  // its largest table.
  MakeFolders(dir);
  ScratchFile scratch(dir);
  std::vector<BackupSection> sections;
  std::vector<std::string> checksums;
  const auto keep = [&](BackupSection section) {
    checksums.emplace_back();
    scratch.Write(RenderSectionLines(section, checksums.back()));
    section.statements.clear();
    section.statements.shrink_to_fit();
    sections.push_back(std::move(section));
  };
  header.database = ReadAgencyState(connection, catalogue, tables, to_code, keep);
  std::string head;
  try {
    head = RenderHead(header, sections, checksums);
  } catch (const std::invalid_argument& e) {
    throw std::runtime_error(std::string("Cannot back up: ") + e.what());
  }
  const auto write = [&](settings::DurableFile& file) {
    file.Write(head);
    scratch.CopyTo([&file](std::string_view part) { file.Write(part); });
    file.Write(RenderTail());
  };
  BackupSummary summary;
  summary.path = WriteNewFile(dir, stamp.name + "-" + from_code + "-to-" + to_code, write);
  summary.database = header.database;
  summary.from_code = from_code;
  summary.to_code = to_code;
  summary.time = stamp.header;
  for (const BackupSection& section : sections) {
    summary.counts.emplace_back(section.Name(), section.count);
    (section.IsAp() ? summary.records : summary.rows) += section.count;
  }
  return summary;
}

std::string RestoreHint(const BackupSummary& backup) {
  return "The previous profile of agency " + backup.to_code + " is saved in " + backup.path +
         "; to put it back: kelvane --restore " + settings::CommandLineWord(backup.path);
}

void MarkBackupOutcome(const std::string& path, bool completed) {
  const auto fail = [&path](int error) {
    ThrowSystem("Cannot record the outcome in the backup", path, error);
  };
  std::error_code error;
  const auto size = static_cast<std::size_t>(std::filesystem::file_size(FilePath(path), error));
  if (error) {
    fail(error.value());
  }
  std::string tail(std::min<std::size_t>(size, 128), '\0');
  {
    std::ifstream in(FilePath(path), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(size - tail.size()));
    if (!in.read(tail.data(), static_cast<std::streamsize>(tail.size()))) {
      fail(StreamError());
    }
  }
  const std::string end = std::string("COMMIT;\n") + kBackupEndLine + "\n";
  std::size_t keep = std::string::npos;
  for (const std::string& suffix : {end, end + OutcomeLine(true), end + OutcomeLine(false)}) {
    if (tail.size() >= suffix.size() &&
        tail.compare(tail.size() - suffix.size(), suffix.size(), suffix) == 0) {
      keep = size - suffix.size() + end.size();
    }
  }
  if (keep == std::string::npos) {
    throw std::runtime_error("Cannot record the outcome in the backup " + path +
                             ": it does not end as a complete backup does");
  }
  std::filesystem::resize_file(FilePath(path), keep, error);
  if (error) {
    fail(error.value());
  }
  const std::string line = OutcomeLine(completed);
  {
    std::ofstream out(FilePath(path), std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(keep));
    if (!out.write(line.data(), static_cast<std::streamsize>(line.size())) || !out.flush()) {
      fail(StreamError());
    }
  }
  try {
    settings::FlushToDisk(path);
  } catch (const settings::DurableWriteError& e) {
    fail(e.error());
  }
}

}  // namespace backup
