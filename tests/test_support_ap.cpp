// Test support: a scratch database that holds only the record store's ap table.
#include "tests/test_support_ap.h"

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
  store_.SetConnectionSettings(settings());
  store_.Initialize("zarfiles.ndx", "ovk.ini");
}

std::string RefuseOneClassRecord(const ScratchDatabase& database) {
  std::string key = database.Scalar(
      "SELECT HEX(Index0Col) FROM zz_data_ap WHERE Index0Col LIKE '00600001%' ORDER BY "
      "Index0Col LIMIT 1");
  key.replace(12, 4, "3032");
  database.Run(
      "CREATE TRIGGER refuse_one BEFORE INSERT ON zz_data_ap FOR EACH ROW IF HEX(NEW.Index0Col) = "
      "'" +
      key + "' THEN SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'injected ap refusal'; END IF;");
  return key;
}

}  // namespace testing_support
