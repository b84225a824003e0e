// Runs on the private three-node Galera cluster of scripts/cluster: a copy made through one
// node is exact on every node; the preflight refuses tables that Galera does not replicate
// safely; an --atomic run that loses a write conflict, or loses its node, leaves every node
// as it was. Each test gets its own database, created on node 1 (it replicates), and reads
// each node with wsrep_sync_wait so no node's answer can lag behind the others.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support_cli.h"
#include "tests/test_support_cluster.h"

namespace {

namespace fs = std::filesystem;
using testing_support::CliOutcome;
using testing_support::ClusterDatabase;
using testing_support::DumpTables;
using testing_support::FirstDifference;
using testing_support::NodeSession;
using testing_support::TableRows;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Waits until a session on node `node` runs a DELETE from `table` in `database`: in these
// tests the DELETE waits there for rows another session holds. (The process list, since
// information_schema.INNODB_TRX does not always list a waiting transaction of a cluster
// node.) False when `run_ended` was set first, or nothing came within a generous bound.
bool WaitForDeleteFrom(int node, const std::string& database, const std::string& table,
                       const std::atomic<bool>& run_ended) {
  NodeSession session(node);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (!run_ended && std::chrono::steady_clock::now() < deadline) {
    if (session.Scalar("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE DB = '" +
                       database + "' AND INFO LIKE 'delete from " + table + " %'") != "0") {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

class ClusterCopyTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    // A session to a node a test kills must not end the test program when it is closed.
    signal(SIGPIPE, SIG_IGN);
  }

  void SetUp() override {
    if (!testing_support::ClusterConfigured()) {
      GTEST_SKIP() << "No cluster: KELVANE_CLUSTER_SOCKETS is not set (scripts/test starts "
                      "one; by hand: scripts/cluster start && eval \"$(scripts/cluster env)\")";
    }
    ASSERT_NE(std::getenv("KELVANE_BIN"), nullptr) << "KELVANE_BIN is not set";
    ASSERT_TRUE(testing_support::EnsureClusterUp()) << "the three nodes are not all synced";
    database_ = std::make_unique<ClusterDatabase>();
    dir_ = testing_support::MakeTempDir("kelvane-cluster");
  }

  void TearDown() override {
    if (database_ != nullptr) {
      // A test that failed after stopping a node leaves it to be started for the next one.
      testing_support::EnsureClusterUp();
      database_.reset();
    }
    if (!dir_.empty()) {
      fs::remove_all(dir_);
    }
  }

  // A headless run through node `node` on this test's database, in a folder of its own so
  // that runs may overlap.
  CliOutcome Run(int node, const std::string& args) {
    const fs::path run_dir = dir_ / ("run" + std::to_string(runs_++));
    fs::create_directories(run_dir / "work");
    return testing_support::RunKelvane(run_dir, database_->settings(), args,
                                       testing_support::NodeEnv(node));
  }

  TableRows Dump(int node) { return DumpTables(node, database_->name()); }

  void ExpectEveryNodeHolds(const TableRows& expected) {
    for (int node = 1; node <= 3; ++node) {
      EXPECT_EQ(FirstDifference(expected, Dump(node)), "") << "node " << node;
    }
  }

  // A --verify through node `node` finds agency 02 equal to agency 01. Only after a read of
  // that node with sync-wait (Dump): the program's own reads do not wait for the cluster.
  void ExpectVerifiedOn(int node) {
    const CliOutcome verify = Run(node, "--from 01 --to 02 --verify");
    EXPECT_EQ(verify.status, 0) << "node " << node << ":\n" << verify.out << verify.err;
    EXPECT_TRUE(Contains(verify.out, "The destination matches the source.")) << verify.out;
  }

  // A run through node 1 whose copy every node holds exactly, row for row and with the same
  // auto ids, and which the program verifies through each node.
  void ExpectExactCopyThroughNodeOne(const std::string& options) {
    const CliOutcome run = Run(1, "--from 01 --to 02" + options);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    ExpectEveryNodeHolds(Dump(1));
    for (int node = 1; node <= 3; ++node) {
      ExpectVerifiedOn(node);
    }
  }

  std::unique_ptr<ClusterDatabase> database_;
  fs::path dir_;
  int runs_ = 0;
};

TEST_F(ClusterCopyTest, RunThroughOneNodeIsExactOnEveryNode) {
  ExpectExactCopyThroughNodeOne("");
}

TEST_F(ClusterCopyTest, AtomicRunThroughOneNodeIsExactOnEveryNode) {
  ExpectExactCopyThroughNodeOne(" --atomic");
}

// Galera replicates the rows of InnoDB tables only (a MyISAM table changes on the node that
// wrote it and nowhere else), and without a primary key it can match a row on the other
// nodes only by its whole content. A run through such a table would leave the nodes
// differing, so the preflight refuses it before anything is deleted.
TEST_F(ClusterCopyTest, PreflightRefusesTablesGaleraDoesNotReplicateSafely) {
  struct Unsafe {
    std::string table;
    std::string change;
    std::vector<std::string> reasons;  // one of them, in any letter case, says why
  };

  const Unsafe cases[] = {
      {"Bank", "ALTER TABLE Bank ENGINE=MyISAM", {"innodb", "myisam"}},
      {"DLLines",
       "ALTER TABLE DLLines DROP PRIMARY KEY, ADD KEY DLLines_RowID (RowID)",
       {"primary key"}},
  };
  for (const Unsafe& unsafe : cases) {
    for (const std::string options : {"", " --atomic"}) {
      SCOPED_TRACE(unsafe.change + ", run" + options);
      database_ = std::make_unique<ClusterDatabase>();
      NodeSession(1, database_->name()).Execute(unsafe.change);
      const TableRows before = Dump(1);
      const CliOutcome run = Run(1, "--from 01 --to 02" + options);
      EXPECT_EQ(run.status, 1) << run.out << run.err;
      EXPECT_TRUE(Contains(run.err, unsafe.table)) << run.err;
      EXPECT_TRUE(
          std::any_of(unsafe.reasons.begin(), unsafe.reasons.end(),
                      [&](const std::string& reason) { return Contains(Lower(run.err), reason); }))
          << run.err;
      ExpectEveryNodeHolds(before);
    }
  }
}

// An --atomic run on node 1 is held at its Vendors step (another session there holds agency
// 02's vendors), its deletes and inserts so far uncommitted, when node 2 commits a change to
// one of the bank rows it deleted. Node 1 must apply node 2's commit, so the run is aborted:
// it fails with the server's deadlock message and rolls back, and node 2's change stands.
TEST_F(ClusterCopyTest, AtomicRunThatLosesAWriteConflictRollsBackOnEveryNode) {
  const TableRows before = Dump(1);
  NodeSession blocker(1, database_->name());
  blocker.Execute("BEGIN");
  blocker.Rows("SELECT RowID FROM Vendor WHERE AgyCode = '02' FOR UPDATE");
  CliOutcome run;
  std::atomic<bool> run_ended{false};
  std::thread runner([&] {
    run = Run(1, "--from 01 --to 02 --atomic");
    run_ended = true;
  });
  const bool held = WaitForDeleteFrom(1, database_->name(), "Vendor", run_ended);
  if (held) {
    NodeSession(2, database_->name())
        .Execute("UPDATE Bank SET Memo = 'changed on node 2' WHERE AgyCode = '02'");
  } else {
    blocker.Execute("ROLLBACK");
  }
  runner.join();
  blocker.Execute("ROLLBACK");
  ASSERT_TRUE(held) << "the run never waited at its Vendors step:\n" << run.out << run.err;

  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_TRUE(Contains(run.err, "Deadlock")) << run.err;
  EXPECT_TRUE(Contains(run.err, "rolled back")) << run.err;
  for (int node = 1; node <= 3; ++node) {
    EXPECT_EQ(NodeSession(node, database_->name())
                  .Scalar("SELECT GROUP_CONCAT(DISTINCT Memo) FROM Bank WHERE AgyCode = '02'"),
              "changed on node 2")
        << "node " << node;
  }
  // With node 2's change undone, every node is exactly as before the run.
  NodeSession(1, database_->name()).Execute("UPDATE Bank SET Memo = 'unset' WHERE AgyCode = '02'");
  ExpectEveryNodeHolds(before);
}

// Node 2 is killed while an --atomic run through it waits in the middle of its transaction.
// The run reports the lost connection; the other two nodes keep a primary component, never
// saw the run, and take a run of their own; node 2 rejoins with that run's copy.
TEST_F(ClusterCopyTest, NodeKilledInAnAtomicRunLosesOnlyThatRun) {
  if (!testing_support::ClusterScriptAvailable()) {
    GTEST_SKIP() << "KELVANE_CLUSTER_SCRIPT and KELVANE_CLUSTER_DIR are needed to kill a node";
  }
  const TableRows before = Dump(1);
  CliOutcome run;
  {
    NodeSession blocker(2, database_->name());
    blocker.Execute("BEGIN");
    blocker.Rows("SELECT RowID FROM Vendor WHERE AgyCode = '02' FOR UPDATE");
    std::atomic<bool> run_ended{false};
    std::thread runner([&] {
      run = Run(2, "--from 01 --to 02 --atomic");
      run_ended = true;
    });
    const bool held = WaitForDeleteFrom(2, database_->name(), "Vendor", run_ended);
    const bool killed = held && testing_support::KillNode(2);
    if (!killed) {
      blocker.Execute("ROLLBACK");
    }
    runner.join();
    ASSERT_TRUE(held) << "the run never waited at its Vendors step:\n" << run.out << run.err;
    ASSERT_TRUE(killed) << "scripts/cluster kill-node 2 failed";
  }
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_TRUE(Contains(run.err, "Lost connection") || Contains(run.err, "gone away")) << run.err;

  ASSERT_TRUE(testing_support::WaitForClusterSize(1, 2));
  ASSERT_TRUE(testing_support::WaitForClusterSize(3, 2));
  EXPECT_EQ(FirstDifference(before, Dump(1)), "");
  EXPECT_EQ(FirstDifference(before, Dump(3)), "");

  const CliOutcome second = Run(1, "--from 01 --to 02 --atomic");
  ASSERT_EQ(second.status, 0) << second.out << second.err;
  ASSERT_TRUE(testing_support::StartNode(2)) << "scripts/cluster start-node 2 failed";
  ExpectEveryNodeHolds(Dump(1));
  for (int node = 1; node <= 3; ++node) {
    ExpectVerifiedOn(node);
  }
}

}  // namespace
