// Test support: a scratch database that holds only the record store's ap table.
#pragma once

#include <string>

#include "recstore/store.h"
#include "tests/test_db.h"

namespace testing_support {

// `bytes` as upper-case hexadecimal, two digits a byte: for X'...' literals and for messages
// that must show bytes a terminal would hide.
std::string Hex(const std::string& bytes);

// A scratch database with the ap table (zz_data_ap) and nothing else, and a record store of
// its own pointed at it and initialised, current while it lives (recstore::Store). The store
// and its connection go before the database does.
class ApStoreDatabase : public ScratchDatabase {
 public:
  explicit ApStoreDatabase(const std::string& prefix);
  ApStoreDatabase(const ApStoreDatabase&) = delete;
  ApStoreDatabase& operator=(const ApStoreDatabase&) = delete;

 private:
  recstore::Store store_;
};

// Makes `database` refuse agency 02's copy of agency 01's first class record (a trigger on
// zz_data_ap); returns that record's key in hexadecimal.
std::string RefuseOneClassRecord(const ScratchDatabase& database);

}  // namespace testing_support
