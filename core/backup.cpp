// Backups of an agency's state: reading it from the database, writing the file safely, the
// run's outcome and the folder's history.
#include "core/backup.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <tuple>

#include "copy/table_desc.h"
#include "copy/wording.h"
#include "core/agency_code.h"
#include "core/backup_file.h"
#include "db/ascii.h"
#include "db/connection.h"
#include "db/query.h"
#include "db/sql_text.h"
#include "recstore/ap_file.h"

namespace core {

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string SystemError(int error) {
  return std::strerror(error);
}

using db::IsAsciiAlnum;

// How a column's value is read so that writing it back gives the same stored value.
enum class ReadForm {
  kBytes,   // CAST(c AS BINARY): the bytes in the column's own character set
  kNumber,  // the server's text, which is exact for integers and decimals
  kFloat,   // CAST(c AS DOUBLE): a FLOAT's own text has 6 digits, a double's round-trips
  kBit,     // CAST(c AS UNSIGNED): a BIT's text is raw bytes, its number is exact
};

struct ColumnRead {
  std::string name;
  ReadForm form;
  bool primary_key;
};

std::optional<ReadForm> FormOfType(const std::string& type) {
  static const char* const kBytes[] = {
      "char",     "varchar",  "binary",   "varbinary",  "tinytext", "text", "mediumtext",
      "longtext", "tinyblob", "blob",     "mediumblob", "longblob", "enum", "set",
      "json",     "date",     "datetime", "timestamp",  "time"};
  static const char* const kNumbers[] = {"tinyint", "smallint", "mediumint", "int", "integer",
                                         "bigint",  "decimal",  "numeric",   "year"};
  for (const char* name : kBytes) {
    if (type == name) {
      return ReadForm::kBytes;
    }
  }
  for (const char* name : kNumbers) {
    if (type == name) {
      return ReadForm::kNumber;
    }
  }
  if (type == "float" || type == "double" || type == "real") {
    return ReadForm::kFloat;
  }
  if (type == "bit") {
    return ReadForm::kBit;
  }
  return std::nullopt;
}

// The columns a backup saves: every column of the table but generated ones, which the
// server computes and refuses values for.
std::vector<ColumnRead> ReadableColumns(db::Connection& connection, const std::string& table) {
  db::Result result = connection.Query("SHOW COLUMNS FROM " + db::QuoteIdentifier(table));
  const std::size_t field = result.FindField("Field").value_or(0);
  const std::size_t type = result.FindField("Type").value_or(1);
  const std::size_t key = result.FindField("Key").value_or(3);
  const std::size_t extra = result.FindField("Extra").value_or(5);
  std::vector<ColumnRead> columns;
  for (; !result.Eof(); result.Next()) {
    const std::string name(result.Value(field));
    const std::string extra_text = db::AsciiLower(result.Value(extra));
    if (extra_text.find("generated") != std::string::npos) {
      continue;
    }
    const std::string full_type = db::AsciiLower(result.Value(type));
    const std::string base_type = full_type.substr(0, full_type.find_first_of("( "));
    std::optional<ReadForm> form = FormOfType(base_type);
    if (!form.has_value()) {
      throw std::runtime_error("Cannot back up column " + name + " of table " + table +
                               ": its type " + full_type + " cannot be saved exactly");
    }
    columns.push_back(ColumnRead{name, *form, result.Value(key) == "PRI"});
  }
  return columns;
}

std::string ReadExpression(const ColumnRead& column) {
  const std::string name = db::QuoteIdentifier(column.name);
  switch (column.form) {
    case ReadForm::kBytes:
      return "CAST(" + name + " AS BINARY)";
    case ReadForm::kNumber:
      return name;
    case ReadForm::kFloat:
      return "CAST(" + name + " AS DOUBLE)";
    case ReadForm::kBit:
      return "CAST(" + name + " AS UNSIGNED)";
  }
  return name;
}

BackupSection ReadTable(db::Connection& connection, const copy::TableDesc& table,
                        const std::string& code) {
  const std::vector<ColumnRead> columns = ReadableColumns(connection, table.table);
  std::vector<std::string> names;
  std::string select;
  std::string order;
  for (const ColumnRead& column : columns) {
    names.push_back(column.name);
    select += (select.empty() ? "SELECT " : ", ") + ReadExpression(column);
    if (column.primary_key) {
      order += (order.empty() ? " ORDER BY " : ", ") + db::QuoteIdentifier(column.name);
    }
  }
  SectionBuilder builder(table.table, table.code_column, code, names);
  // The condition is the clear's own, so the backup holds exactly the rows a run deletes.
  select += " FROM " + db::QuoteIdentifier(table.table) + " WHERE " +
            db::QuoteIdentifier(table.code_column) + " = " + db::QuotedText(code) + order;
  db::Result result = connection.Query(select);
  std::vector<SavedValue> values(columns.size());
  for (; !result.Eof(); result.Next()) {
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (result.IsNull(i)) {
        values[i] = SavedValue{SavedValue::Form::kNull, ""};
      } else if (columns[i].form == ReadForm::kBytes) {
        values[i] = SavedValue{SavedValue::Form::kBytes, std::string(result.Value(i))};
      } else {
        values[i] = SavedValue{SavedValue::Form::kNumber, std::string(result.Value(i))};
      }
    }
    try {
      builder.AddRow(values);
    } catch (const std::invalid_argument& e) {
      throw std::runtime_error(std::string("Cannot back up ") + e.what());
    }
  }
  return builder.Finish();
}

BackupSection ReadApRecords(db::Connection& connection, const std::string& record_type,
                            const std::string& code) {
  SectionBuilder builder(record_type, code);
  db::Result result = connection.Query(recstore::ApReadClearedStatement(record_type, code));
  for (; !result.Eof(); result.Next()) {
    builder.AddRecord(result.Value(0), result.Value(1));
  }
  return builder.Finish();
}

std::string CurrentDatabase(db::Connection& connection) {
  db::Result result = connection.Query("SELECT DATABASE()");
  if (result.Eof() || result.IsNull(0)) {
    throw std::runtime_error("Cannot back up: the connection has no database selected");
  }
  return std::string(result.Value(0));
}

struct Stamp {
  std::string name;    // "20261209-194003.123"
  std::string header;  // "2026-12-09 19:40:03.123 +0100"
};

Stamp StampOf(std::chrono::system_clock::time_point time) {
  const int64_t since_epoch =
      std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
  int64_t whole_seconds = since_epoch / 1000;
  int64_t millis = since_epoch % 1000;
  if (millis < 0) {
    millis += 1000;
    whole_seconds -= 1;
  }
  const auto seconds = static_cast<std::time_t>(whole_seconds);
  std::tm local{};
  localtime_r(&seconds, &local);
  char date[32];
  char name[32];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
  std::strftime(name, sizeof name, "%Y%m%d-%H%M%S", &local);
  char offset[16];
  std::strftime(offset, sizeof offset, "%z", &local);
  char ms[8];
  std::snprintf(ms, sizeof ms, ".%03d", static_cast<int>(millis));
  return Stamp{std::string(name) + ms, std::string(date) + ms + " " + offset};
}

[[noreturn]] void ThrowSystem(const std::string& what, const std::string& path, int error) {
  throw std::runtime_error(what + " " + path + ": " + SystemError(error));
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

// Unlinks the temporary file unless released.
class TempFile {
 public:
  explicit TempFile(std::string path) : path_(std::move(path)) {}

  ~TempFile() {
    if (!path_.empty()) {
      ::unlink(path_.c_str());
    }
  }

  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  void Release() { path_.clear(); }

 private:
  std::string path_;
};

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}

  ~Fd() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }

  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }

  // Closes now, returning close()'s result.
  int Close() {
    int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

void WriteAll(int fd, std::string_view text, const std::string& path) {
  while (!text.empty()) {
    ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      ThrowSystem("Cannot write the backup", path, errno);
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

void SyncFolder(const std::string& dir, const std::string& path) {
  Fd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) {
    ThrowSystem("Cannot write the backup", path, errno);
  }
  // Some file systems cannot flush a folder and say so with EINVAL; the rename is then as
  // durable as they make anything.
  if (::fsync(folder.get()) != 0 && errno != EINVAL) {
    ThrowSystem("Cannot write the backup", path, errno);
  }
}

// Moves `from` to `to` unless `to` exists. Returns false when it does.
bool RenameNoReplace(const std::string& from, const std::string& to, const std::string& shown) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno == EEXIST) {
    return false;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    ThrowSystem("Cannot write the backup", shown, errno);
  }
  // A file system without RENAME_NOREPLACE: a hard link refuses an existing name too.
  if (::link(from.c_str(), to.c_str()) != 0) {
    if (errno == EEXIST) {
      return false;
    }
    ThrowSystem("Cannot write the backup", shown, errno);
  }
  ::unlink(from.c_str());
  return true;
}

// Writes what `write` writes to the descriptor it is given as a new file "<base>.sql" (or
// "<base>-2.sql", ...) in `dir` and returns its path. See WriteBackup for what is guaranteed.
std::string WriteNewFile(const std::string& dir, const std::string& base,
                         const std::function<void(int fd, const std::string& shown)>& write) {
  MakeFolders(dir);
  const std::string folder = std::filesystem::path(dir).string();
  const std::string first = (std::filesystem::path(dir) / (base + ".sql")).string();
  std::string temp_path;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    temp_path = (std::filesystem::path(dir) / ("." + base + "." + std::to_string(::getpid()) + "." +
                                               std::to_string(attempt) + ".tmp"))
                    .string();
    fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && (errno != EEXIST || attempt > 1000)) {
      ThrowSystem("Cannot write the backup", first, errno);
    }
  }
  Fd file(fd);
  TempFile temp(temp_path);
  if (::fchmod(file.get(), 0600) != 0) {
    ThrowSystem("Cannot write the backup", first, errno);
  }
  write(file.get(), first);
  if (::fsync(file.get()) != 0) {
    ThrowSystem("Cannot write the backup", first, errno);
  }
  if (file.Close() != 0) {
    ThrowSystem("Cannot write the backup", first, errno);
  }
  std::string final_path;
  for (int number = 1;; ++number) {
    final_path = (std::filesystem::path(dir) /
                  (base + (number == 1 ? "" : "-" + std::to_string(number)) + ".sql"))
                     .string();
    if (RenameNoReplace(temp_path, final_path, first)) {
      break;
    }
    if (number > 1000) {
      ThrowSystem("Cannot write the backup", first, EEXIST);
    }
  }
  temp.Release();
  try {
    SyncFolder(folder, final_path);
  } catch (...) {
    ::unlink(final_path.c_str());
    throw;
  }
  return final_path;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

// The instant of a header's time, in milliseconds since the epoch.
std::optional<int64_t> InstantOf(const std::string& time) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0, offset = 0;
  char sign = '+';
  if (std::sscanf(time.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d %c%4d", &year, &month, &day, &hour,
                  &minute, &second, &millis, &sign, &offset) != 9) {
    return std::nullopt;
  }
  const int64_t offset_minutes = (offset / 100 * 60 + offset % 100) * (sign == '-' ? -1 : 1);
  const int64_t minutes = DaysFromCivil(year, month, day) * 1440 + hour * 60 + minute;
  return ((minutes - offset_minutes) * 60 + second) * 1000 + millis;
}

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
    entry.problem = "cannot be read: " + SystemError(errno);
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

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

}  // namespace

std::string DefaultBackupDir() {
  if (std::string dir = Env("KELVANE_BACKUP_DIR"); !dir.empty()) {
    return dir;
  }
  // A relative XDG_STATE_HOME is invalid and to be ignored, as the base-directory rules say.
  if (std::string state = Env("XDG_STATE_HOME"); !state.empty() && state.front() == '/') {
    return (std::filesystem::path(state) / "kelvane" / "backups").string();
  }
  std::string home = Env("HOME");
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
  if (!IsAgencyCode(to_code) || !(IsAgencyCode(from_code) || from_code == "restore")) {
    throw std::invalid_argument("A backup needs agency codes of two ASCII letters or digits");
  }
  const Stamp stamp = StampOf(time);
  BackupHeader header{std::string("Kelvane ") + KELVANE_VERSION, CurrentDatabase(connection),
                      stamp.header, from_code, to_code};
  // One section at a time: its statements go to an unnamed scratch file beside the backup
  // and only its counts and checksum stay in memory, so a large profile costs no more than
  // its largest table.
  MakeFolders(dir);
  const std::string scratch_path =
      (std::filesystem::path(dir) / (".scratch." + std::to_string(::getpid()) + ".tmp")).string();
  Fd scratch(::open(scratch_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
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
  {
    // UTC while the backup reads: TIMESTAMP values then come as the UTC text the file restores
    // them from, with no hour that a local zone's clock change makes ambiguous.
    const db::ScopedSessionVariables utc(connection, {{"time_zone", kBackupTimeZone}});
    for (const copy::TableDesc& table : copy::AllTables()) {
      keep(ReadTable(connection, table, to_code));
    }
    for (const char* type : recstore::kApRecordTypes) {
      keep(ReadApRecords(connection, type, to_code));
    }
  }
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
  Fd file(::open(path.c_str(), O_RDWR | O_CLOEXEC));
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
  return entry.time + "  " + entry.from_code + " -> " + entry.to_code + "  " +
         copy::Quantity(entry.rows, "row", "rows") + ", " +
         copy::Quantity(entry.records, "record", "records") + "  " + RunOutcomeText(entry.outcome) +
         "  " + entry.path;
}

std::string HistoryJson(const std::vector<HistoryEntry>& entries) {
  std::string out = "[";
  for (const HistoryEntry& entry : entries) {
    out += out.size() > 1 ? ",{" : "{";
    const std::pair<const char*, const std::string*> texts[] = {{"time", &entry.time},
                                                                {"from", &entry.from_code},
                                                                {"to", &entry.to_code},
                                                                {"database", &entry.database}};
    for (const auto& [key, value] : texts) {
      AppendJsonString(out, key);
      out += ':';
      AppendJsonString(out, *value);
      out += ',';
    }
    out += "\"rows\":" + std::to_string(entry.rows) +
           ",\"records\":" + std::to_string(entry.records) + ",\"outcome\":";
    AppendJsonString(out, RunOutcomeText(entry.outcome));
    out += ",\"file\":";
    AppendJsonString(out, entry.path);
    if (!entry.problem.empty()) {
      out += ",\"problem\":";
      AppendJsonString(out, entry.problem);
    }
    out += '}';
  }
  return out + "]";
}

}  // namespace core
