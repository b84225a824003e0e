// Putting an agency's saved state back from a backup file, checked first and applied in one
// transaction.
#include "core/restore.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <utility>

#include "copy/table_desc.h"
#include "copy/wording.h"
#include "core/run_lock.h"
#include "core/run_steps.h"
#include "db/ascii.h"
#include "db/connection.h"
#include "db/error.h"
#include "db/query.h"
#include "db/sql_text.h"
#include "recstore/ap_file.h"

namespace core {

namespace {

std::string Scalar(db::Connection& connection, const std::string& sql) {
  db::Result result = connection.Query(sql);
  if (result.Eof() || result.IsNull(0)) {
    return "";
  }
  return std::string(result.Value(0));
}

using db::Count;

[[noreturn]] void Refuse(const std::string& path, const std::string& reason) {
  throw RestoreRefused("Refusing to restore " + path + ": " + reason + ". Nothing was changed.");
}

const copy::TableDesc& TableNamed(const std::string& table) {
  for (const copy::TableDesc& desc : copy::AllTables()) {
    if (desc.table == table) {
      return desc;
    }
  }
  throw std::logic_error("a backup section names an unknown table " + table);
}

// Every column the file holds must still be there: an insert naming a column that is gone
// would fail halfway, and one silently left out would not give the state back.
void CheckColumns(db::Connection& connection, const std::string& path,
                  const BackupContents& contents) {
  for (const BackupSection& section : contents.sections) {
    if (section.IsAp()) {
      continue;
    }
    std::set<std::string> present;
    try {
      db::Result result =
          connection.Query("SHOW COLUMNS FROM " + db::QuoteIdentifier(section.table));
      for (; !result.Eof(); result.Next()) {
        present.insert(db::AsciiLower(result.Value(0)));
      }
    } catch (const db::Error& e) {
      Refuse(path, "table " + section.table + " cannot be read: " + e.what());
    }
    for (const std::string& column : section.columns) {
      if (present.count(db::AsciiLower(column)) == 0) {
        Refuse(path, "table " + section.table + " has no column " + db::QuoteIdentifier(column) +
                         " any more, which the backup holds");
      }
    }
  }
}

std::string CountStatement(const BackupSection& section, const std::string& code) {
  if (section.IsAp()) {
    return recstore::ApCountStatement(section.record_type, code);
  }
  const copy::TableDesc& table = TableNamed(section.table);
  return "SELECT COUNT(*) FROM " + db::QuoteIdentifier(table.table) + " WHERE " +
         db::QuoteIdentifier(table.code_column) + " = " + db::QuotedText(code);
}

void Apply(db::Connection& connection, const std::string& path, const BackupContents& contents,
           RestoreResult& result) {
  // The session settings the file's statements are written for, the caller's put back after.
  const db::ScopedSessionVariables session(
      connection, {{"sql_mode", kBackupSqlMode}, {"time_zone", kBackupTimeZone}});
  try {
    Transaction transaction(connection);
    for (std::size_t i = 0; i < contents.sections.size(); ++i) {
      const BackupSection& section = contents.sections[i];
      result.sections[i].replaced = connection.Execute(section.statements.front());
      uint64_t inserted = 0;
      for (std::size_t j = 1; j < section.statements.size(); ++j) {
        inserted += connection.Execute(section.statements[j]);
      }
      if (inserted != section.count) {
        throw std::runtime_error("the server stored " + std::to_string(inserted) + " of the " +
                                 std::to_string(section.count) + " saved of " + section.Name());
      }
    }
    transaction.Commit();
  } catch (const std::exception& e) {
    // The transaction is rolled back by now (or its session gone, which rolls it back).
    const auto* error = dynamic_cast<const db::Error*>(&e);
    throw RunError("The restore from " + path +
                       " failed and was rolled back, nothing was changed: " + e.what(),
                   {.step = RunStep::kRestore,
                    .cause = e.what(),
                    .server_error = error != nullptr ? error->code() : 0});
  }
}

}  // namespace

BackupContents ReadBackupFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw RestoreRefused("Cannot read the backup " + path + ": " + std::strerror(errno));
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    throw RestoreRefused("Cannot read the backup " + path + ": " + std::strerror(errno));
  }
  try {
    return ParseBackup(text.str());
  } catch (const BackupFormatError& e) {
    throw RestoreRefused("The backup " + path + " cannot be restored: " + e.what());
  }
}

RestoreResult RestoreBackup(db::Connection& connection, const std::string& path,
                            const RestoreOptions& options) {
  BackupContents contents;
  try {
    contents = ReadBackupFile(path);
  } catch (const RestoreRefused& e) {
    throw RestoreRefused(std::string(e.what()) + ". Nothing was changed.");
  }
  const BackupHeader& header = contents.header;
  RestoreResult result;
  result.file = path;
  result.database = header.database;
  result.from_code = header.from_code;
  result.to_code = header.to_code;
  result.time = header.time;
  result.dry_run = options.dry_run;
  for (const BackupSection& section : contents.sections) {
    result.sections.push_back(RestoreSection{section.Name(), section.count, 0});
  }

  connection.DropIfGone();
  const std::string database = Scalar(connection, "SELECT DATABASE()");
  if (database != header.database) {
    Refuse(path, "it was made in database '" + header.database + "', and this connection is to '" +
                     database + "'");
  }
  std::shared_ptr<void> lock;
  if (!options.dry_run) {
    lock = options.take_lock
               ? options.take_lock(header.to_code)
               : std::shared_ptr<void>(RunLock::Acquire(
                     connection.settings(), {header.to_code},
                     "restore of " + std::filesystem::path(path).filename().string()));
  }
  CheckColumns(connection, path, contents);
  if (options.dry_run) {
    for (std::size_t i = 0; i < contents.sections.size(); ++i) {
      result.sections[i].replaced =
          Count(connection, CountStatement(contents.sections[i], header.to_code));
    }
    return result;
  }
  SavedState saved;
  if (options.make_backup) {
    try {
      saved.Write(connection, options.backup_dir, "restore", header.to_code);
    } catch (const std::runtime_error& e) {
      if (dynamic_cast<const db::Error*>(&e) != nullptr) {
        throw;
      }
      Refuse(path, std::string("the state it would replace could not be saved first: ") + e.what());
    }
    result.backup = saved.summary();
  }
  try {
    Apply(connection, path, contents, result);
  } catch (RunError& failure) {
    // The restore's own failure is what the caller must see.
    (void)saved.MarkOutcome(false);
    throw RunError(failure.what(), [&] {
      RunError::Details details = failure.details();
      details.backup_file = saved.path();
      return details;
    }());
  }
  if (std::optional<std::string> warning = saved.MarkOutcome(true)) {
    result.warnings.push_back(*warning);
  }
  return result;
}

std::vector<std::string> DescribeRestore(const RestoreResult& result) {
  std::vector<std::string> lines;
  for (const RestoreSection& section : result.sections) {
    const bool ap = section.name.rfind("ap ", 0) == 0;
    const char* one = ap ? "record" : "row";
    const char* many = ap ? "records" : "rows";
    if (result.dry_run) {
      lines.push_back(section.name + ": would restore " + copy::Quantity(section.saved, one, many) +
                      ", replacing " + std::to_string(section.replaced));
    } else {
      lines.push_back(section.name + ": " + copy::Quantity(section.saved, one, many) +
                      " restored, " + std::to_string(section.replaced) + " replaced");
    }
  }
  return lines;
}

}  // namespace core
