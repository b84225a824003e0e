// Backups of an agency's state: where they go, writing the file, and the run's outcome.
#include "backup/backup.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string_view>

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

using db::IsAsciiAlnum;

[[noreturn]] void ThrowSystem(const std::string& what, const std::string& path, int error) {
  throw std::runtime_error(what + " " + path + ": " + settings::SystemErrorText(error));
}

// Creates `dir` and any missing parent with mode 0700, as the folders of a user's state
// should be. Folders that exist keep their mode.
void MakeFolders(const std::string& dir) {
  if (dir.empty()) {
    throw std::runtime_error("Cannot write the backup: no backups folder is given");
  }
  std::filesystem::path path(dir);
  std::filesystem::path prefix;
  for (const std::filesystem::path& part : path) {
    prefix /= part;

    struct stat info {};

    if (::stat(prefix.c_str(), &info) == 0) {
      if (!S_ISDIR(info.st_mode)) {
        ThrowSystem("Cannot create the backups folder", prefix.string(), ENOTDIR);
      }
      continue;
    }
    if (errno != ENOENT) {
      ThrowSystem("Cannot create the backups folder", prefix.string(), errno);
    }
    if (::mkdir(prefix.c_str(), 0700) != 0) {
      if (errno == EEXIST) {
        continue;  // made meanwhile by someone else, whose mode it keeps
      }
      ThrowSystem("Cannot create the backups folder", prefix.string(), errno);
    }
    // The umask may have taken bits away; the owner needs all three.
    if (::chmod(prefix.c_str(), 0700) != 0) {
      ThrowSystem("Cannot create the backups folder", prefix.string(), errno);
    }
  }
}

void WriteAll(int fd, std::string_view text, const std::string& path) {
  if (const int error = settings::WriteFully(fd, text); error != 0) {
    ThrowSystem("Cannot write the backup", path, error);
  }
}

// Writes what `write` writes to the descriptor it is given as a new file "<base>.sql" (or
// "<base>-2.sql", ...) in `dir` and returns its path. See WriteBackup for what is guaranteed.
std::string WriteNewFile(const std::string& dir, const std::string& base,
                         const std::function<void(int fd, const std::string& shown)>& write) {
  MakeFolders(dir);
  const std::filesystem::path folder(dir);
  const std::string first = (folder / (base + ".sql")).string();
  try {
    // Hidden while it is written, so the history never lists half a backup.
    settings::DurableFile file((folder / ("." + base + ".")).string(), 0600);
    write(file.fd(), first);
    return file.PlaceNew(
        [&](int number) {
          return (folder / (base + (number == 1 ? "" : "-" + std::to_string(number)) + ".sql"))
              .string();
        },
        1000);
  } catch (const settings::DurableWriteError& e) {
    ThrowSystem("Cannot write the backup", first, e.error());
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
  // A relative XDG_STATE_HOME is invalid and to be ignored, as the base-directory rules say.
  if (std::string state = settings::EnvironmentValue("XDG_STATE_HOME");
      !state.empty() && state.front() == '/') {
    return (std::filesystem::path(state) / "kelvane" / "backups").string();
  }
  std::string home = settings::EnvironmentValue("HOME");
  if (home.empty()) {
    if (const passwd* entry = ::getpwuid(::getuid());
        entry != nullptr && entry->pw_dir != nullptr) {
      home = entry->pw_dir;
    }
  }
  if (home.empty()) {
    throw std::runtime_error(
        "Cannot find a folder for the backups: HOME is not set; set KELVANE_BACKUP_DIR");
  }
  return (std::filesystem::path(home) / ".local" / "state" / "kelvane" / "backups").string();
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
  const std::string scratch_path =
      (std::filesystem::path(dir) / (".scratch." + std::to_string(::getpid()) + ".tmp")).string();
  settings::FileDescriptor scratch(
      ::open(scratch_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (scratch.get() < 0) {
    ThrowSystem("Cannot write the backup", scratch_path, errno);
  }
  ::unlink(scratch_path.c_str());
  std::vector<BackupSection> sections;
  std::vector<std::string> checksums;
  const auto keep = [&](BackupSection section) {
    checksums.emplace_back();
    WriteAll(scratch.get(), RenderSectionLines(section, checksums.back()), scratch_path);
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
  const auto write = [&](int fd, const std::string& shown) {
    WriteAll(fd, head, shown);
    if (::lseek(scratch.get(), 0, SEEK_SET) != 0) {
      ThrowSystem("Cannot write the backup", shown, errno);
    }
    std::vector<char> buffer(1 << 20);
    for (;;) {
      const ssize_t got = ::read(scratch.get(), buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got < 0) {
        ThrowSystem("Cannot write the backup", shown, errno);
      }
      if (got == 0) {
        break;
      }
      WriteAll(fd, std::string_view(buffer.data(), static_cast<std::size_t>(got)), shown);
    }
    WriteAll(fd, RenderTail(), shown);
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
  std::string shown = backup.path;
  const bool plain = std::all_of(shown.begin(), shown.end(), [](char c) {
    return IsAsciiAlnum(c) || c == '/' || c == '.' || c == '_' || c == '-' || c == '+';
  });
  if (!plain) {
    shown = "'";
    for (char c : backup.path) {
      shown += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    shown += "'";
  }
  return "The previous profile of agency " + backup.to_code + " is saved in " + backup.path +
         "; to put it back: kelvane --restore " + shown;
}

void MarkBackupOutcome(const std::string& path, bool completed) {
  settings::FileDescriptor file(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  if (file.get() < 0) {
    ThrowSystem("Cannot record the outcome in the backup", path, errno);
  }

  struct stat info {};

  if (::fstat(file.get(), &info) != 0) {
    ThrowSystem("Cannot record the outcome in the backup", path, errno);
  }
  const auto size = static_cast<std::size_t>(info.st_size);
  std::string tail(std::min<std::size_t>(size, 128), '\0');
  const auto tail_start = static_cast<off_t>(size - tail.size());
  errno = EIO;
  if (::pread(file.get(), tail.data(), tail.size(), tail_start) !=
      static_cast<ssize_t>(tail.size())) {
    ThrowSystem("Cannot record the outcome in the backup", path, errno);
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
  const std::string line = OutcomeLine(completed);
  errno = EIO;
  if (::ftruncate(file.get(), static_cast<off_t>(keep)) != 0 ||
      ::pwrite(file.get(), line.data(), line.size(), static_cast<off_t>(keep)) !=
          static_cast<ssize_t>(line.size()) ||
      ::fsync(file.get()) != 0 || file.Close() != 0) {
    ThrowSystem("Cannot record the outcome in the backup", path, errno);
  }
}

}  // namespace backup
