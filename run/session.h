// The session that owns what outlives a run: the connection, the statement objects, the ap
// handles. The window and the command line both drive it; neither holds any of the run's
// logic.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compare/compare.h"
#include "compare/verify.h"
#include "copy/plan.h"
#include "copy/preflight.h"
#include "copy/table_copy.h"
#include "db/connection.h"
#include "db/query.h"
#include "recstore/ap_copy.h"
#include "recstore/store.h"
#include "run/run.h"

namespace lock {
class RunLock;
}  // namespace lock

namespace run {

// Where the pair of ap handles and their length variable live. The window gives its
// process-wide ApRead, ApWrite and ApSize, so they are the very variables every record
// operation of a run is given; without them a session keeps its own.
struct ApVariables {
  int32_t* read = nullptr;
  int32_t* write = nullptr;
  uint32_t* size = nullptr;
};

// What outlives a run: the program's connection, its two statement objects, the record
// store and the pair of ap handles. The session's record store is the current one
// (recstore::Store) for the session's lifetime, unless a store made later lives. Each run is
// an object of its own (run::CopyRun, run/copy_run.h). Not copyable.
class Session {
 public:
  // Set-up messages (the program's own: the failed ap opens) go to `sink`; OpenDatabases
  // reads the configuration file at `config_path`.
  Session(MessageSink sink, std::string config_path, ApVariables ap = {});
  ~Session();  // closes the ap handles
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  db::Connection& connection() { return connection_; }

  db::Query& select_query() { return select_query_; }  // the window's FDQuery1

  db::Query& insert_query() { return insert_query_; }  // the window's AddQuery

  // Reads the configuration, writes "Utility.ini", initialises the record store, loads the
  // connection parameters back (closing an open connection) and opens ap on a new pair of
  // handles, closing the previous pair first; the opens ask the server on this session's
  // connection, which they connect. Throws
  // std::runtime_error when "Utility.ini" cannot be written or loaded (the later steps are
  // then skipped); a failed ap open is reported through the sink, with the store's status
  // and reason, and set-up carries on.
  void OpenDatabases();

  // Closes both ap handles (their statuses are of no use) and forgets them.
  void CloseApHandles();

  // The name of agency `code` in table Agency ("Select * from Agency where AgyCode = '01'" on
  // FDQuery1, the code escaped so that one holding a quote finds nothing instead of breaking
  // the statement), read as text; nullopt when no row has the code. A session the server
  // dropped meanwhile is opened afresh. Throws db::Error, and std::runtime_error before the
  // connection parameters were loaded.
  std::optional<std::string> AgencyName(const std::string& code);

  // Throws std::runtime_error unless OpenDatabases has loaded the connection parameters:
  // before that the connection would use settings nobody configured.
  void RequireConnectionParameters() const;

  // Everything that would make a run fail part way (missing tables or columns, an ap handle
  // that did not open, on a cluster tables it cannot replicate safely), one line each; empty
  // when a run can start. Changes nothing. Throws what the database throws.
  // `tables`: the run's (all twelve by default).
  std::vector<std::string> PreflightProblems(
      const std::vector<copy::TableDesc>& tables = copy::AllTables());

  // What the checks before a run find, from one read of the catalogue, which a run keeps
  // for its plan and its backup.
  struct TableChecks {
    copy::Catalogue catalogue;
    std::vector<std::string> problems;           // as PreflightProblems
    std::vector<std::string> non_transactional;  // tables that cannot roll back, "Bank (MyISAM)"
  };

  TableChecks CheckTables(const std::vector<copy::TableDesc>& tables = copy::AllTables());

  // What a run from `from_code` to `to_code` would delete and copy, table by table, counted
  // under both agencies' locks. Changes nothing. Throws run::LockHeld and db::Error.
  // `catalogue`: the one CheckTables read, so that a dry run reads it once; null reads it.
  // `tables`: the run's (all twelve by default).
  copy::Plan PlanCopy(const std::string& from_code, const std::string& to_code,
                      const copy::Catalogue* catalogue = nullptr,
                      const std::vector<copy::TableDesc>& tables = copy::AllTables());

  // Whether the destination holds exactly the copy of the source, one line per table and
  // ap record type, read under both agencies' locks. Changes nothing. Throws run::LockHeld
  // and db::Error.
  std::vector<compare::VerifyLine> VerifyCopy(
      const std::string& from_code, const std::string& to_code,
      const std::vector<copy::TableDesc>& tables = copy::AllTables());

  // What a copy of `tables` from `from_code` to `to_code` would change, row by row
  // (compare::CompareAgencies: one consistent snapshot, no lock, nothing written). The session
  // must not be inside a transaction. `catalogue`: one read before (a prepared run's); null
  // reads it. Throws db::Error, and std::runtime_error before the connection parameters
  // were loaded and when a table or column the copy uses is missing (naming each).
  compare::Comparison CompareCopy(const std::string& from_code, const std::string& to_code,
                                  const std::vector<copy::TableDesc>& tables = copy::AllTables(),
                                  const copy::Catalogue* catalogue = nullptr);

  // Takes the run locks of `codes` (see lock/run_lock.h) for `purpose`. Throws
  // run::LockHeld when another run holds one.
  std::unique_ptr<lock::RunLock> LockAgencies(const std::vector<std::string>& codes,
                                              const std::string& purpose);

  // What a copy step needs, on this session's select query and ap handles, its rows going to
  // `sink` (which the caller keeps); what the ap copy refused is added to `step`.
  // `all_or_nothing`: inside a run's transaction, where an ap record the store refused fails
  // the step.
  copy::CopyContext StepContext(const std::string& from_code, const std::string& to_code,
                                const RunObserver& observer, StepReport& step, bool all_or_nothing,
                                copy::InsertSink& sink);

  // One copy step for `table` from `from_code` to `to_code` outside any run, with its ap
  // copy. Throws db::Error at the first failing statement, std::runtime_error when the ap
  // records could not all be read; what ran before stays.
  copy::TableCopyStats CopyStep(const copy::TableDesc& table, const std::string& from_code,
                                const std::string& to_code, const RunObserver& observer);

  // The ap copy of `record_type` through the session's handles and length variable. Throws
  // std::runtime_error when the records could not all be read, when queued inserts were
  // lost, and (all_or_nothing) when the store refused a record.
  recstore::ApCopyStats CopyAp(const std::string& from_code, const std::string& to_code,
                               const std::string& record_type, bool all_or_nothing = false);

 private:
  // The store the record operations of the session's runs act on.
  recstore::Store store_;
  // The connection comes first so that it outlives both queries.
  db::Connection connection_;
  db::Query select_query_{connection_, "FDQuery1"};
  db::Query insert_query_{connection_, "AddQuery"};
  MessageSink sink_;
  std::string config_path_;
  // The session's own ap variables, used when none were given.
  int32_t own_read_ = 0;
  int32_t own_write_ = 0;
  uint32_t own_size_ = 0;
  int32_t* ap_read_;
  int32_t* ap_write_;
  uint32_t* ap_size_;
  // Whether the last btrOpen on each handle succeeded; a run needs both.
  bool ap_read_open_ = false;
  bool ap_write_open_ = false;
  // False until OpenDatabases has loaded the connection parameters once.
  bool parameters_loaded_ = false;
};

}  // namespace run
