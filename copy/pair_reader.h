// The common ground of the readings that set two agencies side by side over the chosen
// tables (the plan, the comparison): the connection, the run's catalogue, the tables in run
// order and the two codes, all owned by the caller for the reading's length.
#pragma once

#include <string>
#include <vector>

#include "copy/catalogue.h"
#include "copy/table_desc.h"
#include "db/connection.h"

namespace copy {

class PairReader {
 public:
  PairReader(db::Connection& connection, const Catalogue& catalogue,
             const std::vector<TableDesc>& tables, const std::string& from_code,
             const std::string& to_code)
      : connection_(connection),
        catalogue_(catalogue),
        tables_(tables),
        from_(from_code),
        to_(to_code) {}

 protected:
  db::Connection& connection_;
  const Catalogue& catalogue_;
  const std::vector<TableDesc>& tables_;
  const std::string& from_;
  const std::string& to_;
};

}  // namespace copy
