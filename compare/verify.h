// Checks after a run that the destination holds exactly what a correct copy produces.
#pragma once

#include <string>
#include <vector>

#include "copy/table_desc.h"

namespace db {
class Connection;
}

namespace compare {

struct VerifyLine {
  std::string subject;  // a table as the statements name it ("Bank"), or "ap 009"
  bool ok = false;
  std::string detail;  // the counts, and when not ok the first difference
};

// Compares, for each of `tables` in order, the source agency's rows with the destination
// agency's, on the server and independently of the copy's own readers: the server turns each
// source row into the values a correct copy writes (the copy's rules stated in SQL, from how
// each column is declared: text as its characters, NULL as "", 0 or false, whole numbers
// and amounts rounded half away from zero, flags from numbers or the usual words, the code
// and the literals as written) and reads each destination row's stored values in the same
// form, and the two must be equal as multisets of per-row digests (order and unnamed columns
// do not matter). A stored value a reader would normalise (a flag of 7, a NULL for "") is a
// difference. A mirrored table is followed by a line for its ap records: every source record
// of the kind (first eight bytes the ap key prefix of the type and from_code) must be found
// at the destination with bytes 7 and 8 replaced by `to_code`, and nothing else.
// A line that is not ok names the counts and the first difference: a row by its first
// copied column ("row Number 'FNB'"), a record by its key. Reads only. Throws db::Error
// as the statements do, when a column is missing from the table, and when a source value is
// one the copy cannot read ("Cannot access field 'X' as type Integer").
std::vector<VerifyLine> VerifyRun(db::Connection& connection,
                                  const std::vector<copy::TableDesc>& tables,
                                  const std::string& from_code, const std::string& to_code);

// "Bank: ok, 3 rows" or "Bank: DIFFERS, source 3 rows, destination 2 rows; ...".
std::string DescribeVerify(const VerifyLine& line);

}  // namespace compare
