// What a run does differently on a Galera cluster: the tables it refuses, and the size of
// an all-or-nothing run's write set.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "copy/catalogue.h"
#include "copy/plan.h"
#include "copy/table_desc.h"

namespace db {
class Connection;
class Error;
}  // namespace db

namespace lock {

// What OnCluster asks, once per session (db::Connection::SessionConstant).
inline constexpr const char* kClusterStatement = "SELECT @@wsrep_on";

// Whether the connection's server is a node of a running cluster (wsrep_on is ON). False
// on a server without the variable. Throws db::Error when the server cannot be asked.
// Asked once per session (the connection remembers the answer).
bool OnCluster(db::Connection& connection);

// On a cluster, the tables of the run (each table of `tables`, its insert table and the ap
// table) that the cluster does not replicate safely, one line each: a table whose engine
// is not InnoDB (its changes are not replicated, or not reliably), and a table without a
// primary key (deletes from it are not supported), as `catalogue` describes them. Empty off a
// cluster and for tables that do not exist (the preflight names those). Throws db::Error when
// the server cannot be asked whether it is a cluster node.
std::vector<std::string> ClusterProblems(db::Connection& connection,
                                         const copy::Catalogue& catalogue,
                                         const std::vector<copy::TableDesc>& tables);

// What the cluster makes of a run as one transaction.
struct ClusterTransaction {
  bool streaming = false;  // streaming replication was turned on; EndClusterTransaction ends it
  uint64_t fragment_bytes = 0;  // with streaming: the size of each replicated fragment
  // Why the cluster cannot take the run as one transaction, with the limit and the numbers,
  // as a clause without a full stop ("" when it can): the reason a run that may go step by
  // step gives.
  std::string limit;
  // The whole refusal of an --atomic run, with advice ("" when it can).
  std::string refusal;
  // A statement of a step-by-step run would pass the row limit too: no way of running it.
  bool step_by_step_fails = false;
};

// Before an all-or-nothing run on a cluster, with the run's plan: the rows the run's
// transaction changes and an estimate of their bytes. Says why, with the numbers, when the
// rows would pass wsrep_max_ws_rows (the server counts them over the whole transaction,
// fragments or not). When the bytes could pass wsrep_max_ws_size, turns on streaming
// replication for the session (the transaction then replicates in fragments, each within
// the limit), or says why when it cannot be turned on. Does nothing off a cluster. Throws
// db::Error when the server cannot be asked.
ClusterTransaction PrepareClusterTransaction(db::Connection& connection, const copy::Plan& plan);

// Turns streaming replication on for the session, in fragments of `fragment_bytes`: what
// PrepareClusterTransaction does, again on a session that replaced the one it prepared.
// Throws db::Error.
void StartStreaming(db::Connection& connection, uint64_t fragment_bytes);

// Turns streaming replication off for the session again. Never throws.
void EndClusterTransaction(db::Connection& connection) noexcept;

// Whether `error` says the server rolled the transaction back because another session or
// cluster node changed the same rows (a deadlock, which is how a cluster reports a failed
// certification).
bool IsCertificationFailure(const db::Error& error);

}  // namespace lock
