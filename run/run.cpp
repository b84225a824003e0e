// The check of a run's codes, and how a refusal of the record store is told.
#include "run/run.h"

#include "copy/agency_code.h"
#include "db/ascii.h"
#include "recstore/ap_file.h"

namespace run {

std::string RefusalLine(const std::string& record_type, uint64_t count,
                        const std::vector<recstore::RefusedRecord>& records) {
  std::string line = "type " + record_type + ": " + std::to_string(count) +
                     (count == 1 ? " record refused" : " records refused");
  if (!records.empty()) {
    const recstore::RefusedRecord& first = records.front();
    line += ", the first with key " + recstore::PrintableKey(first.key) + " (status " +
            std::to_string(first.status) + ": " +
            (first.reason.empty() ? std::string("no reason given") : first.reason) + ")";
  }
  return line;
}

std::optional<std::string> CheckCodes(const std::string& from_code, const std::string& to_code) {
  if (!copy::IsAgencyCode(from_code)) {
    return "The From Agency code \"" + from_code +
           "\" is not two letters or digits. Nothing was copied.";
  }
  if (!copy::IsAgencyCode(to_code)) {
    return "The To Agency code \"" + to_code +
           "\" is not two letters or digits. Nothing was copied.";
  }
  if (db::EqualsIgnoringCase(from_code, to_code)) {
    return "From Agency and To Agency are the same agency (\"" + from_code + "\", \"" + to_code +
           "\"); copying would delete its profile. Nothing was copied.";
  }
  return std::nullopt;
}

}  // namespace run
