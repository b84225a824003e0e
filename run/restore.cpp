// Putting an agency's saved state back from a backup file, checked first and applied in one
// transaction.
#include "run/restore.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include "copy/table_desc.h"
#include "copy/wording.h"
#include "db/ascii.h"
#include "db/connection.h"
#include "db/error.h"
#include "db/multi_row_insert.h"
#include "db/query.h"
#include "db/sql_text.h"
#include "lock/run_lock.h"
#include "recstore/ap_file.h"
#include "run/run_steps.h"

namespace run {

namespace {

const copy::TableDesc& TableNamed(const std::string& table) {
  for (const copy::TableDesc& desc : copy::AllTables()) {
    if (desc.table == table) {
      return desc;
    }
  }
  throw std::logic_error("a backup section names an unknown table " + table);
}

std::string CountStatement(const backup::BackupSection& section, const std::string& code) {
  if (section.IsAp()) {
    return recstore::ApCountStatement(section.record_type, code);
  }
  const copy::TableDesc& table = TableNamed(section.table);
  return "SELECT COUNT(*) FROM " + db::QuoteIdentifier(table.table) + " WHERE " +
         db::QuoteIdentifier(table.code_column) + " = " + db::QuotedText(code);
}

}  // namespace

backup::BackupContents ReadBackupFile(const std::string& path) {
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
    return backup::ParseBackup(text.str());
  } catch (const backup::BackupFormatError& e) {
    throw RestoreRefused("The backup " + path + " cannot be restored: " + e.what());
  }
}

RestoreRun::RestoreRun(db::Connection& connection, std::string path, RestoreOptions options)
    : connection_(connection), options_(std::move(options)) {
  result_.file = std::move(path);
  result_.dry_run = options_.dry_run;
}

RestoreRun::~RestoreRun() = default;

void RestoreRun::Refuse(const std::string& reason, RunStep step) const {
  throw RestoreRefused(
      "Refusing to restore " + result_.file + ": " + reason + ". Nothing was changed.", step);
}

const RestoreResult& RestoreRun::Prepare() {
  if (prepared_) {
    return result_;
  }
  try {
    contents_ = ReadBackupFile(result_.file);
  } catch (const RestoreRefused& e) {
    throw RestoreRefused(std::string(e.what()) + ". Nothing was changed.");
  }
  const backup::BackupHeader& header = contents_.header;
  result_.database = header.database;
  result_.from_code = header.from_code;
  result_.to_code = header.to_code;
  result_.time = header.time;
  for (const backup::BackupSection& section : contents_.sections) {
    result_.sections.push_back(RestoreSection{section.Name(), section.count, 0});
  }
  InStep(RunStep::kCheck, [this] {
    CheckDatabase();
    CheckStatementSizes();
  });
  if (!options_.dry_run) {
    lock_ = InStep(RunStep::kLock, [this, &header] {
      return options_.take_lock
                 ? options_.take_lock(header.to_code)
                 : std::shared_ptr<void>(TakeLock(
                       connection_.settings(), {header.to_code},
                       "restore of " + std::filesystem::path(result_.file).filename().string()));
    });
  }
  InStep(RunStep::kCheck, [this] { CheckColumns(); });
  if (options_.dry_run) {
    InStep(RunStep::kPlan, [this, &header] {
      for (std::size_t i = 0; i < contents_.sections.size(); ++i) {
        result_.sections[i].replaced =
            db::Count(connection_, CountStatement(contents_.sections[i], header.to_code));
      }
    });
  }
  prepared_ = true;
  return result_;
}

void RestoreRun::CheckDatabase() {
  connection_.DropIfGone();
  const std::string database = db::Scalar(connection_, "SELECT DATABASE()");
  if (database != contents_.header.database) {
    Refuse("it was made in database '" + contents_.header.database +
           "', and this connection is to '" + database + "'");
  }
}

// A file's statements are cut at kMaxStatementBytes, which a server may take less of; a row
// too long for a statement of its own would fail the restore halfway.
void RestoreRun::CheckStatementSizes() {
  const std::size_t packet = db::MaxAllowedPacket(connection_);
  statement_bytes_ = db::MultiRowLimit(connection_);
  for (const backup::BackupSection& section : contents_.sections) {
    const std::size_t longest = backup::LongestSingleRowInsert(section);
    // The packet holds the statement and the byte that says it is one, and the server
    // takes a packet only when it is shorter than max_allowed_packet.
    if (longest > 0 && longest + 1 >= packet) {
      Refuse("a row of " + section.Name() + " needs a statement of " + std::to_string(longest) +
             " bytes, and this server takes packets of at most " + std::to_string(packet) +
             " bytes (its max_allowed_packet)");
    }
  }
}

// Every column the file holds must still be there: an insert naming a column that is gone
// would fail halfway, and one silently left out would not give the state back. The catalogue
// read here serves the backup of the state being replaced too.
void RestoreRun::CheckColumns() {
  catalogue_ = copy::Catalogue::Read(connection_);
  for (const backup::BackupSection& section : contents_.sections) {
    if (section.IsAp()) {
      continue;
    }
    const copy::CatalogueTable* table = catalogue_.Find(section.table);
    if (table == nullptr) {
      // Asked on its own, so that the server says why.
      try {
        connection_.Query("SHOW COLUMNS FROM " + db::QuoteIdentifier(section.table));
      } catch (const db::Error& e) {
        Refuse("table " + section.table + " cannot be read: " + e.what());
      }
      Refuse("table " + section.table + " cannot be read");
    }
    for (const std::string& column : section.columns) {
      if (!table->HasColumn(column)) {
        Refuse("table " + section.table + " has no column " + db::QuoteIdentifier(column) +
               " any more, which the backup holds");
      }
    }
  }
}

void RestoreRun::Backup() {
  // What the restore replaces is what its own backup keeps: the file's tables alone, so that
  // putting that backup back undoes exactly this restore.
  std::vector<std::string> tables;
  for (const backup::BackupSection& section : contents_.sections) {
    if (!section.IsAp()) {
      tables.push_back(section.table);
    }
  }
  try {
    saved_.Write(connection_, catalogue_, copy::ChooseTables(tables), options_.backup_dir,
                 "restore", contents_.header.to_code);
  } catch (const db::Error&) {
    throw;  // the server's own words, made a RunError of the step by the caller
  } catch (const std::runtime_error& e) {
    Refuse(std::string("the state it would replace could not be saved first: ") + e.what(),
           RunStep::kBackup);
  }
  result_.backup = saved_.summary();
}

void RestoreRun::Restore() {
  // The session settings the file's statements are written for, the caller's put back after.
  const db::ScopedSessionVariables session(
      connection_, {{"sql_mode", backup::kBackupSqlMode}, {"time_zone", backup::kBackupTimeZone}});
  try {
    Transaction transaction(connection_);
    for (std::size_t i = 0; i < contents_.sections.size(); ++i) {
      const backup::BackupSection& section = contents_.sections[i];
      result_.sections[i].replaced = connection_.Execute(section.statements.front());
      uint64_t inserted = 0;
      backup::ForEachInsertWithin(section, statement_bytes_, [&](const std::string& statement) {
        inserted += connection_.Execute(statement);
      });
      if (inserted != section.count) {
        throw std::runtime_error("the server stored " + std::to_string(inserted) + " of the " +
                                 std::to_string(section.count) + " saved of " + section.Name());
      }
    }
    transaction.Commit();
  } catch (const std::exception& e) {
    // The transaction is rolled back by now (or its session gone, which rolls it back).
    (void)saved_.MarkOutcome(false);
    throw RunError("The restore from " + result_.file +
                       " failed and was rolled back, nothing was changed: " + e.what(),
                   {.step = RunStep::kRestore,
                    .backup_file = saved_.path(),
                    .cause = e.what(),
                    .server_error = ServerError(e)});
  }
}

const RestoreResult& RestoreRun::Execute() {
  if (executed_) {
    throw std::logic_error("A restore is carried out once.");
  }
  Prepare();
  executed_ = true;
  if (options_.dry_run) {
    return result_;
  }
  if (options_.make_backup) {
    InStep(RunStep::kBackup, [this] { Backup(); });
  }
  InStep(RunStep::kRestore, [this] { Restore(); });
  if (std::optional<std::string> warning = saved_.MarkOutcome(true)) {
    result_.warnings.push_back(*warning);
  }
  return result_;
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

}  // namespace run
