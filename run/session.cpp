// The check of a run's codes and the session: its set-up, and a copy step on its handles.
#include "run/session.h"

#include <stdexcept>
#include <utility>

#include "copy/agency_code.h"
#include "copy/preflight.h"
#include "copy/table_desc.h"
#include "db/ascii.h"
#include "db/multi_row_insert.h"
#include "db/query.h"
#include "db/sql_text.h"
#include "lock/cluster.h"
#include "lock/run_lock.h"
#include "recstore/ap_file.h"
#include "recstore/btrv_constants.h"
#include "recstore/recstore.h"
#include "run/run_steps.h"
#include "settings/client_options.h"
#include "settings/config.h"

namespace run {

namespace {

// The reason behind a failed ap open, as the store gives it.
std::string OpenFailure(const char* fixed_text, int16_t status) {
  std::string reason = recstore::LastErrorText();
  if (reason.empty()) {
    reason = "no reason given";
  }
  return std::string(fixed_text) + " (record-store status " + std::to_string(status) + ": " +
         reason + ")";
}

}  // namespace

Session::Session(MessageSink sink, std::string config_path, ApVariables ap)
    : sink_(std::move(sink)),
      config_path_(std::move(config_path)),
      ap_read_(ap.read != nullptr ? ap.read : &own_read_),
      ap_write_(ap.write != nullptr ? ap.write : &own_write_),
      ap_size_(ap.size != nullptr ? ap.size : &own_size_) {}

Session::~Session() {
  CloseApHandles();
}

void Session::CloseApHandles() {
  if (*ap_read_ != 0) {
    btrClose(*ap_read_);
  }
  if (*ap_write_ != 0) {
    btrClose(*ap_write_);
  }
  *ap_read_ = 0;
  *ap_write_ = 0;
  ap_read_open_ = false;
  ap_write_open_ = false;
}

void Session::OpenDatabases() {
  db::ConnectionSettings settings = settings::ReadConfig(config_path_);
  settings.transport = settings::ReadTransport();
  settings::WriteUtilityIni("Utility.ini", settings);

  recstore::SetConnectionSettings(settings);
  char ndx_name[256] = "zarfiles.ndx";
  char ini_name[256] = "ovk.ini";
  MCBInitializeFauxBtrieve(ndx_name, ini_name);

  // The parameter file carries the four settings only; how to reach the server stays.
  db::ConnectionSettings loaded = settings::LoadUtilityIni(".");
  loaded.transport = settings.transport;
  connection_.SetSettings(std::move(loaded));
  parameters_loaded_ = true;

  // A pair left open on every repeat of the set-up would accumulate until the process ends.
  CloseApHandles();
  *ap_read_ = CBtrvOapi();
  *ap_write_ = CBtrvOapi();
  // Opened on the program's connection, which every run lends the store for its records
  // anyway: the store then never needs a connection of its own, and the second open finds
  // the file the first one found without asking again.
  const recstore::BorrowedConnection borrowed(connection_, false);
  const int16_t read_status = btrOpen(*ap_read_, "", recstore::kApFileName, 1, 1, 0);
  ap_read_open_ = read_status == BTRV_ERR_NONE;
  if (!ap_read_open_ && sink_) {
    sink_(OpenFailure("Error Opening AP Read", read_status));
  }
  const int16_t write_status = btrOpen(*ap_write_, "", recstore::kApFileName, 1, 1, 0);
  ap_write_open_ = write_status == BTRV_ERR_NONE;
  if (!ap_write_open_ && sink_) {
    sink_(OpenFailure("Error Opening AP Write", write_status));
  }
}

std::optional<std::string> Session::AgencyName(const std::string& code) {
  RequireConnectionParameters();
  connection_.DropIfGone();
  select_query_.SetSql("Select * from Agency where AgyCode = " + db::QuotedText(code));
  select_query_.Open();
  if (select_query_.Eof()) {
    return std::nullopt;
  }
  return select_query_.FieldByName("AgencyName").AsString();
}

void Session::RequireConnectionParameters() const {
  if (!parameters_loaded_) {
    throw std::runtime_error(
        "The connection parameters were never loaded, because the set-up failed (see the "
        "earlier message). Fix the cause, then leave the To Agency field to repeat it.");
  }
}

std::vector<std::string> Session::PreflightProblems(const std::vector<copy::TableDesc>& tables) {
  return CheckTables(tables).problems;
}

Session::TableChecks Session::CheckTables(const std::vector<copy::TableDesc>& tables) {
  RequireConnectionParameters();
  TableChecks checks;
  checks.catalogue =
      copy::Catalogue::Read(connection_, {db::kMaxPacketStatement, lock::kClusterStatement});
  checks.problems =
      copy::PreflightProblems(checks.catalogue, tables, ap_read_open_, ap_write_open_);
  checks.non_transactional = copy::NonTransactionalTables(checks.catalogue, tables);
  for (std::string& problem : lock::ClusterProblems(connection_, checks.catalogue, tables)) {
    checks.problems.push_back(std::move(problem));
  }
  return checks;
}

std::unique_ptr<lock::RunLock> Session::LockAgencies(const std::vector<std::string>& codes,
                                                     const std::string& purpose) {
  RequireConnectionParameters();
  return TakeLock(connection_.settings(), codes, purpose);
}

copy::Plan Session::PlanCopy(const std::string& from_code, const std::string& to_code,
                             const copy::Catalogue* catalogue,
                             const std::vector<copy::TableDesc>& tables) {
  // The counts mean nothing while a run writes either agency.
  const std::unique_ptr<lock::RunLock> lock =
      LockAgencies({from_code, to_code}, "dry run " + from_code + " to " + to_code);
  return copy::PlanRun(connection_,
                       catalogue != nullptr ? *catalogue : copy::Catalogue::Read(connection_),
                       tables, from_code, to_code);
}

std::vector<compare::VerifyLine> Session::VerifyCopy(const std::string& from_code,
                                                     const std::string& to_code,
                                                     const std::vector<copy::TableDesc>& tables) {
  const std::unique_ptr<lock::RunLock> lock =
      LockAgencies({from_code, to_code}, "verification " + from_code + " to " + to_code);
  return compare::VerifyRun(connection_, tables, from_code, to_code);
}

compare::Comparison Session::CompareCopy(const std::string& from_code, const std::string& to_code,
                                         const std::vector<copy::TableDesc>& tables,
                                         const copy::Catalogue* catalogue) {
  RequireConnectionParameters();
  copy::Catalogue read;
  if (catalogue == nullptr) {
    read = copy::Catalogue::Read(connection_);
    catalogue = &read;
  }
  // What a comparison reads is what a copy reads and writes; the ap file it reads by SQL.
  const std::vector<std::string> problems = copy::PreflightProblems(*catalogue, tables, true, true);
  if (!problems.empty()) {
    std::string text = "The comparison cannot start:";
    for (const std::string& problem : problems) {
      text += "\n- " + problem;
    }
    throw std::runtime_error(text);
  }
  // No lock: the snapshot alone makes the reads agree with each other, and a comparison
  // must not keep a run out.
  return compare::CompareAgencies(connection_, *catalogue, tables, from_code, to_code);
}

copy::CopyContext Session::StepContext(const std::string& from_code, const std::string& to_code,
                                       const RunObserver& observer, StepReport& step,
                                       bool all_or_nothing, copy::InsertSink& sink) {
  copy::CopyContext context{
      .select_query = select_query_,
      .from_code = from_code,
      .to_code = to_code,
      .clear_existing = true,
      .status = observer.status,
      .copy_ap = [this, &step, all_or_nothing](const std::string& from, const std::string& to,
                                               const std::string& record_type) -> uint64_t {
        const recstore::ApCopyStats stats = CopyAp(from, to, record_type, all_or_nothing);
        step.ap_refused += stats.refused;
        step.refused_records = stats.refused_records;
        return stats.copied;
      },
      .progress = {},
      .ap_first_read =
          [this](const std::string& from, const std::string& record_type) {
            return recstore::ScanStartStatement(*ap_read_,
                                                recstore::ApKeyPrefix(record_type, from));
          },
      .ap_read_answer =
          [](std::string statement, db::Result answer) {
            recstore::ProvideRead(std::move(statement), std::move(answer));
          },
      .sink = sink,
  };
  if (observer.progress) {
    // The step's own status text goes with its progress.
    context.progress = [progress = observer.progress, &step](uint64_t inserted, uint64_t selected) {
      progress(step.status_text, inserted, selected);
    };
  }
  return context;
}

copy::TableCopyStats Session::CopyStep(const copy::TableDesc& table, const std::string& from_code,
                                       const std::string& to_code, const RunObserver& observer) {
  StepReport step;
  step.method = table.method;
  step.status_text = table.status_text;
  copy::StepByStepSink sink(insert_query_);
  return copy::CopyTable(table, StepContext(from_code, to_code, observer, step, false, sink));
}

recstore::ApCopyStats Session::CopyAp(const std::string& from_code, const std::string& to_code,
                                      const std::string& record_type, bool all_or_nothing) {
  const recstore::ApCopyStats stats =
      recstore::CopyApRecords(*ap_read_, *ap_write_, *ap_size_, from_code, to_code, record_type);
  // A scan that a failed read ended copied only part of the kind; going on would report the
  // run as a success.
  if (stats.read_status != BTRV_ERR_NONE) {
    std::string text =
        "The ap records of type " + record_type +
        " could not all be read: the record store returned status " +
        std::to_string(stats.read_status) + " (" +
        (stats.read_error.empty() ? std::string("no reason given") : stats.read_error) + ")";
    text += stats.last_key.empty()
                ? ", before any record of the type was read."
                : ", after the record with key " + recstore::PrintableKey(stats.last_key) + ".";
    throw std::runtime_error(text);
  }
  // Only an atomic run queues inserts; committing it would make a copy with records missing
  // look complete, so the run fails and is rolled back instead.
  if (stats.incomplete) {
    throw std::runtime_error("The ap records of type " + record_type +
                             " were not all copied: " + stats.error);
  }
  if (all_or_nothing && stats.refused > 0) {
    throw std::runtime_error("The ap records of type " + record_type + " were not all copied: " +
                             RefusalLine(record_type, stats.refused, stats.refused_records));
  }
  return stats;
}

}  // namespace run
