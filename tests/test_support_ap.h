// Test support: a scratch database that holds only the record store's ap table.
#pragma once

#include <string>

#include "tests/test_db.h"

namespace testing_support {

// `bytes` as upper-case hexadecimal, two digits a byte: for X'...' literals and for messages
// that must show bytes a terminal would hide.
std::string Hex(const std::string& bytes);

// A scratch database with the ap table (zz_data_ap) and nothing else, and the record store
// pointed at it and initialised. Destruction initialises the store again, which drops its
// connection, before the database goes. One at a time: the store has one set of settings.
class ApStoreDatabase : public ScratchDatabase {
 public:
  explicit ApStoreDatabase(const std::string& prefix);
  ~ApStoreDatabase();
  ApStoreDatabase(const ApStoreDatabase&) = delete;
  ApStoreDatabase& operator=(const ApStoreDatabase&) = delete;
};

// Makes `database` refuse agency 02's copy of agency 01's first class record (a trigger on
// zz_data_ap); returns that record's key in hexadecimal.
std::string RefuseOneClassRecord(const ScratchDatabase& database);

}  // namespace testing_support
