// The fixed order of the twelve table copies, and the check of a run's codes.
#include "app/run_sequence.h"

#include "app/main_form.h"
#include "copy/table_desc.h"
#include "db/ascii.h"

namespace app {

namespace {

bool IsCode(const std::string& code) {
  if (code.size() != 2) {
    return false;
  }
  for (char c : code) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!alnum) {
      return false;
    }
  }
  return true;
}

}  // namespace

const std::array<RunStep, 12>& RunSteps() {
  static const std::array<RunStep, 12> kSteps = {{
      {"CopyBanks", &TForm1::CopyBanks},
      {"CopyClass", &TForm1::CopyClass},
      {"CopyCompany", &TForm1::CopyCompany},
      {"CopyCompanyContacts", &TForm1::CopyCompanyContacts},
      {"CopyDepartment", &TForm1::CopyDepartment},
      {"CopyGL", &TForm1::CopyGL},
      {"CopyProducer", &TForm1::CopyProducer},
      {"CopyTransaction", &TForm1::CopyTransaction},
      {"CopyVendor", &TForm1::CopyVendor},
      {"CopyAdditionalInterests", &TForm1::CopyAdditionalInterests},
      {"CopyDLNAIC", &TForm1::CopyDLNAIC},
      {"CopyDLLines", &TForm1::CopyDLLines},
  }};
  return kSteps;
}

std::optional<std::string> CheckCodes(const std::string& from_code, const std::string& to_code) {
  if (!IsCode(from_code)) {
    return "The From Agency code \"" + from_code +
           "\" is not two letters or digits. Nothing was copied.";
  }
  if (!IsCode(to_code)) {
    return "The To Agency code \"" + to_code +
           "\" is not two letters or digits. Nothing was copied.";
  }
  if (db::EqualsIgnoringCase(from_code, to_code)) {
    return "From Agency and To Agency are the same agency (\"" + from_code + "\", \"" + to_code +
           "\"); copying would delete its profile. Nothing was copied.";
  }
  return std::nullopt;
}

void RunSequence(TForm1& form, RunReport& report) {
  for (const RunStep& step : RunSteps()) {
    const auto start = std::chrono::steady_clock::now();
    copy::TableCopyStats stats = (form.*step.copy)();
    report.steps.push_back({step.method, copy::TableByMethod(step.method).status_text, stats,
                            std::chrono::steady_clock::now() - start});
  }
  report.finished = true;
}

}  // namespace app
