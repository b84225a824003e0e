// What a backup reads from the database: an agency's rows of a table and its ap records of a
// type, as sections of the backup file. Only SELECT and SHOW statements.
#pragma once

#include <string>

#include "core/backup_file.h"

namespace copy {
struct TableDesc;
}

namespace db {
class Connection;
}

namespace core {

// The connection's current database. Throws std::runtime_error when none is selected.
std::string CurrentDatabase(db::Connection& connection);

// Every row of `table` whose code column matches `code` (as the run's clear matches it),
// with every column but generated ones, read so that writing them back gives the same
// stored values. Throws std::runtime_error for a column whose type cannot be saved exactly.
BackupSection ReadTableSection(db::Connection& connection, const copy::TableDesc& table,
                               const std::string& code);

// The agency's ap records of `record_type`, keys and bytes exact.
BackupSection ReadApSection(db::Connection& connection, const std::string& record_type,
                            const std::string& code);

}  // namespace core
