// Test support: a scratch database that holds only the record store's ap table.
#include "tests/test_support_ap.h"

#include "recstore/recstore.h"

namespace testing_support {

std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (char c : bytes) {
    auto byte = static_cast<unsigned char>(c);
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

ApStoreDatabase::ApStoreDatabase(const std::string& prefix) : ScratchDatabase(prefix, false) {
  Run("CREATE TABLE zz_data_ap (Index0Col VARBINARY(255) NOT NULL PRIMARY KEY, "
      "RecData VARBINARY(4096) NOT NULL) ENGINE=InnoDB");
  recstore::SetConnectionSettings(settings());
  MCBInitializeFauxBtrieve("zarfiles.ndx", "ovk.ini");
}

ApStoreDatabase::~ApStoreDatabase() {
  MCBInitializeFauxBtrieve("zarfiles.ndx", "ovk.ini");
}

}  // namespace testing_support
