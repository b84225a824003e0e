// Checks, before a run deletes anything, that the database and the ap file can take it.
#pragma once

#include <string>
#include <vector>

#include "copy/catalogue.h"
#include "copy/table_desc.h"

namespace db {
class Connection;
}

namespace copy {

// The problems that would make a run over `tables` fail part way, found by asking the
// connection's current database (DATABASE()) and without changing anything. Checks that:
// every table the statements name exists (the clear and select table and the insert table,
// under the server's own rule for letter case in table names); each has every column the
// copy reads or writes, AgyCode included (column names compared without regard to case);
// and, when a table is mirrored in the ap file, that the ap table exists with the record
// store's columns and that both ap handles are open (`ap_read_open`, `ap_write_open`).
// Returns one line per problem, e.g. "Table Vendor lacks columns FedID, Ten99Type" or
// "Table DLNAIC does not exist"; empty when the run can start. Throws db::Error when the
// server cannot be asked.
std::vector<std::string> PreflightProblems(db::Connection& connection,
                                           const std::vector<TableDesc>& tables, bool ap_read_open,
                                           bool ap_write_open);

// The tables a run over `tables` writes (each once, with the ap table when a table is
// mirrored) whose storage engine cannot roll back, each as "Bank (MyISAM)", in run order.
// Inside a transaction these keep whatever was done to them even when the run is rolled
// back. Tables that do not exist are left to PreflightProblems. Throws db::Error.
std::vector<std::string> NonTransactionalTables(db::Connection& connection,
                                                const std::vector<TableDesc>& tables);

// The same two from a catalogue read before (one read for a run that asks for both).
std::vector<std::string> PreflightProblems(const Catalogue& catalogue,
                                           const std::vector<TableDesc>& tables, bool ap_read_open,
                                           bool ap_write_open);
std::vector<std::string> NonTransactionalTables(const Catalogue& catalogue,
                                                const std::vector<TableDesc>& tables);

}  // namespace copy
