// Checks after a run that the destination holds exactly what a correct copy produces.
#pragma once

#include <string>
#include <vector>

#include "copy/table_desc.h"

namespace db {
class Connection;
}

namespace copy {

struct VerifyLine {
  std::string subject;  // a table as the statements name it ("Bank"), or "ap 009"
  bool ok = false;
  std::string detail;  // the counts, and when not ok the first difference
};

// Compares, for each of `tables` in order, the source agency's rows with the destination
// agency's: the source rows, each turned into the values its insert would carry, and the
// destination rows, read back under the insert's column names, must be equal as multisets
// (order and unnamed columns do not matter). AgyCode must hold `to_code`, and a literal
// column the literal. A mirrored table is followed by a line for its ap records: every
// source record of the kind (first eight bytes the ap key prefix of the type and from_code) must be
// found at the destination with bytes 7 and 8 replaced by `to_code`, and nothing else.
// A line that is not ok names the counts and the first difference: a row by its first
// copied column ("row Number 'FNB'"), a record by its key. Reads only. Throws db::Error
// as the statements and column reads do (a column missing from either side, for one).
std::vector<VerifyLine> VerifyRun(db::Connection& connection, const std::vector<TableDesc>& tables,
                                  const std::string& from_code, const std::string& to_code);

// "Bank: ok, 3 rows" or "Bank: DIFFERS, source 3 rows, destination 2 rows; ...".
std::string DescribeVerify(const VerifyLine& line);

}  // namespace copy
