// Test support: the private Galera cluster of scripts/cluster, seen node by node.
#pragma once

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/settings.h"
#include "tests/test_support_cli.h"

struct st_mysql;

namespace testing_support {

// True when scripts/cluster's variables are set: KELVANE_CLUSTER_SOCKETS names three
// sockets. The cluster tests skip without them.
bool ClusterConfigured();

// The Unix socket of node `node` (1, 2 or 3).
std::string NodeSocket(int node);

// Settings for the program's configuration file: the cluster's user on `database`. Which
// node the program reaches is set by NodeEnv, since the configuration names no socket.
db::ConnectionSettings ClusterSettings(const std::string& database);

// Arguments of env(1), for RunKelvane, that point the program at node `node`.
std::string NodeEnv(int node);

// A failing statement on a node: the server's (or client library's) code and message.
class NodeError : public std::runtime_error {
 public:
  NodeError(const std::string& message, unsigned int code)
      : std::runtime_error(message), code_(code) {}

  unsigned int code() const { return code_; }

 private:
  unsigned int code_;
};

// One session on one node as the cluster's user, in utf8mb4, with wsrep_sync_wait=15: each
// statement first waits until the node has applied every transaction committed anywhere in
// the cluster before it began, so what it reads is the cluster's latest state and not a
// lagging copy. Several statements separated by ";" may be sent at once. Throws NodeError.
class NodeSession {
 public:
  explicit NodeSession(int node, const std::string& database = "");
  ~NodeSession();
  NodeSession(const NodeSession&) = delete;
  NodeSession& operator=(const NodeSession&) = delete;

  // Runs statements that return no rows (results, if any, are read and dropped).
  void Execute(const std::string& sql);
  // The rows of one query, each field as text and NULL as "\N".
  std::vector<std::vector<std::string>> Rows(const std::string& sql);
  // The first field of the first row, "" when there is no row.
  std::string Scalar(const std::string& sql);

 private:
  [[noreturn]] void Fail(const std::string& sql);

  st_mysql* mysql_ = nullptr;
};

// The node commands of scripts/cluster (KELVANE_CLUSTER_SCRIPT on the cluster of
// KELVANE_CLUSTER_DIR). Each returns true when the command succeeded; StartNode and
// EnsureClusterUp return once the nodes are synced.
bool ClusterScriptAvailable();
bool KillNode(int node);
bool StartNode(int node);
bool EnsureClusterUp();

// Waits until node `node` takes statements, is synced and sees a cluster of `size` nodes.
// False when that did not happen within a generous bound (minutes).
bool WaitForClusterSize(int node, int size);

// Every row of every table of `database` as node `node` holds it, table by table, rows in
// the order of the first column (the primary key in every table of the schema), each row
// one text.
using TableRows = std::map<std::string, std::vector<std::string>>;
TableRows DumpTables(int node, const std::string& database);

// `rows` without the run lock's table: what a run copies, without who holds a lock.
TableRows WithoutLockTable(TableRows rows);

// "" when both are equal, else where they first differ (table, row), for a failure message.
std::string FirstDifference(const TableRows& expected, const TableRows& actual);

// A database with a unique name created on node 1 (it replicates to the others) from
// sql/schema.sql and sql/demo.sql, and dropped on destruction through the first running node.
class ClusterDatabase {
 public:
  ClusterDatabase();
  ~ClusterDatabase();
  ClusterDatabase(const ClusterDatabase&) = delete;
  ClusterDatabase& operator=(const ClusterDatabase&) = delete;

  const std::string& name() const { return name_; }

  db::ConnectionSettings settings() const { return ClusterSettings(name_); }

 private:
  std::string name_;
};

// Waits until a session on node `node` runs a DELETE from `table` in `database`: in the
// cluster tests the DELETE waits there for rows another session holds FOR UPDATE. (The
// process list, since information_schema.INNODB_TRX does not always list a waiting
// transaction of a cluster node.) False when `run_ended` was set first, or nothing came
// within a generous bound.
bool WaitForDeleteFrom(int node, const std::string& database, const std::string& table,
                       const std::atomic<bool>& run_ended);

// Waits until `done` is set, for at most `seconds`. True when it was set.
bool WaitFor(const std::atomic<bool>& done, int seconds);

// The fixture of the cluster tests: skips without a cluster, starts what scripts/cluster
// has stopped, gives each test its own database (agencies 01, 02 and 03 of the demo data)
// and temporary folder, and keeps the backups its runs make in a temporary folder.
class ClusterTest : public testing::Test {
 protected:
  static void SetUpTestSuite();
  void SetUp() override;
  void TearDown() override;

  // A headless run through node `node` on this test's database, in a folder of its own so
  // that runs may overlap.
  CliOutcome Run(int node, const std::string& args);

  TableRows Dump(int node) { return DumpTables(node, database_->name()); }

  // Dump without the lock table.
  TableRows Data(int node) { return WithoutLockTable(Dump(node)); }

  // Each of the running nodes `nodes` holds exactly `expected`, the lock table aside.
  void ExpectNodesHold(const TableRows& expected, const std::vector<int>& nodes = {1, 2, 3});

  // A --verify through node `node` finds agency `to` equal to agency `from`. Only after a
  // read of that node with sync-wait (Dump): the program's own reads do not wait for the
  // cluster.
  void ExpectVerifiedOn(int node, const std::string& from = "01", const std::string& to = "02");

  std::unique_ptr<ClusterDatabase> database_;
  std::filesystem::path dir_;

 private:
  std::unique_ptr<BackupFolder> backups_;
  int runs_ = 0;
};

}  // namespace testing_support
