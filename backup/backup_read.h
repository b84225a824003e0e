// What a backup reads from the database: an agency's rows of a table and its ap records of a
// type, as sections of the backup file. Only SELECT and SHOW statements.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "backup/backup_file.h"
#include "copy/catalogue.h"
#include "copy/table_desc.h"
#include "db/connection.h"

namespace backup {

// Reads what a backup saves of agency `code`: the rows of every table of `tables` (every
// column but generated ones, read so that writing them back gives the same stored values, the
// rows the run's clear matches) and its ap records of their types (keys and bytes exact), in
// the file's order, the columns and the database as `catalogue` describes them. Each section goes
// to `keep` as soon as it is read, so one is held at a time. One request when the connection
// batches (db::MultiStatements). The reads see TIMESTAMP values in UTC (kBackupTimeZone); the
// session's own zone is put back after. Returns the connection's current database. Throws
// std::runtime_error when none is selected or a column's type cannot be saved exactly, db::Error
// when a read fails.
std::string ReadAgencyState(db::Connection& connection, const copy::Catalogue& catalogue,
                            const std::vector<copy::TableDesc>& tables, const std::string& code,
                            const std::function<void(BackupSection)>& keep);

}  // namespace backup
