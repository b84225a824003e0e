// Runs on the private three-node Galera cluster of scripts/cluster: a copy made through one
// node is exact on every node; the preflight refuses tables that Galera does not replicate
// safely; an --atomic run that loses a write conflict, or loses its node, leaves every node
// as it was. Each test gets its own database, created on node 1 (it replicates), and reads
// each node with wsrep_sync_wait so no node's answer can lag behind the others.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support_cli.h"
#include "tests/test_support_cluster.h"

namespace {

using testing_support::CliOutcome;
using testing_support::ClusterDatabase;
using testing_support::FirstDifference;
using testing_support::NodeSession;
using testing_support::TableRows;
using testing_support::WaitForDeleteFrom;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

class ClusterCopyTest : public testing_support::ClusterTest {
 protected:
  // A run through node 1 whose copy every node holds exactly, row for row and with the same
  // auto ids, and which the program verifies through each node.
  void ExpectExactCopyThroughNodeOne(const std::string& options) {
    const CliOutcome run = Run(1, "--from 01 --to 02" + options);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    ExpectNodesHold(Dump(1));
    for (int node = 1; node <= 3; ++node) {
      ExpectVerifiedOn(node);
    }
  }
};

TEST_F(ClusterCopyTest, RunThroughOneNodeIsExactOnEveryNode) {
  ExpectExactCopyThroughNodeOne("");
}

TEST_F(ClusterCopyTest, AtomicRunThroughOneNodeIsExactOnEveryNode) {
  ExpectExactCopyThroughNodeOne(" --atomic");
}

// Past a thousand rows a table's inserts are prepared, their values sent as arrays: every
// node holds the same copy all the same.
TEST_F(ClusterCopyTest, LargeTableRunThroughOneNodeIsExactOnEveryNode) {
  std::string rows;
  for (int i = 1; i <= 2100; ++i) {
    const std::string n = std::to_string(i);
    rows += (i == 1 ? "" : ", ") + std::string("('01', 'T") + n + "', 'code ''" + n + "', " +
            std::to_string(i % 7) + ")";
  }
  NodeSession node(1, database_->name());
  node.Execute("INSERT INTO Trans (AgyCode, Number, Name, TrnType) VALUES " + rows);
  const auto prepared = [&node] {
    return std::stoll(
        node.Scalar("SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS "
                    "WHERE VARIABLE_NAME = 'COM_STMT_PREPARE'"));
  };
  const long long prepared_before = prepared();
  ExpectExactCopyThroughNodeOne("");
  EXPECT_LT(prepared_before, prepared());
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
      ExpectNodesHold(before);
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
  EXPECT_TRUE(Contains(run.err, "cluster node changed the same rows at the same time")) << run.err;
  EXPECT_TRUE(Contains(run.err, "The run was rolled back")) << run.err;
  for (int node = 1; node <= 3; ++node) {
    EXPECT_EQ(NodeSession(node, database_->name())
                  .Scalar("SELECT GROUP_CONCAT(DISTINCT Memo) FROM Bank WHERE AgyCode = '02'"),
              "changed on node 2")
        << "node " << node;
  }
  // With node 2's change undone, every node is exactly as before the run.
  NodeSession(1, database_->name()).Execute("UPDATE Bank SET Memo = 'unset' WHERE AgyCode = '02'");
  ExpectNodesHold(before);
}

// Node 2 is killed while an --atomic run through it waits in the middle of its transaction.
// The run reports the lost connection at once; the other two nodes keep a primary
// component and never saw the run's changes. The dead run's lock row stays behind, but once
// node 2 is back its own server shows that no session there holds the lock any more, so a
// run through node 2 takes the lock over and copies (rather than waiting for it to go
// stale); node 2 has rejoined with the state the others hold.
TEST_F(ClusterCopyTest, NodeKilledInAnAtomicRunLosesOnlyThatRun) {
  if (!testing_support::ClusterScriptAvailable()) {
    GTEST_SKIP() << "KELVANE_CLUSTER_SCRIPT and KELVANE_CLUSTER_DIR are needed to kill a node";
  }
  const TableRows before = Data(1);
  CliOutcome run;
  std::atomic<bool> run_ended{false};
  bool ended_soon = false;
  {
    NodeSession blocker(2, database_->name());
    blocker.Execute("BEGIN");
    blocker.Rows("SELECT RowID FROM Vendor WHERE AgyCode = '02' FOR UPDATE");
    std::thread runner([&] {
      run = Run(2, "--from 01 --to 02 --atomic");
      run_ended = true;
    });
    const bool held = WaitForDeleteFrom(2, database_->name(), "Vendor", run_ended);
    const bool killed = held && testing_support::KillNode(2);
    if (!killed) {
      blocker.Execute("ROLLBACK");
    }
    // A bound for a loaded machine, not a measure of speed: the client sees the closed
    // socket at once.
    ended_soon = testing_support::WaitFor(run_ended, 60);
    runner.join();
    ASSERT_TRUE(held) << "the run never waited at its Vendors step:\n" << run.out << run.err;
    ASSERT_TRUE(killed) << "scripts/cluster kill-node 2 failed";
  }
  EXPECT_TRUE(ended_soon) << "the run went on for a minute after its node was killed";
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_TRUE(Contains(run.err, "Lost connection") || Contains(run.err, "gone away")) << run.err;

  ASSERT_TRUE(testing_support::WaitForClusterSize(1, 2));
  ASSERT_TRUE(testing_support::WaitForClusterSize(3, 2));
  ExpectNodesHold(before, {1, 3});
  EXPECT_EQ(NodeSession(1, database_->name())
                .Scalar("SELECT COUNT(*) FROM kelvane_run_lock WHERE agency_code = '02'"),
            "1")
      << "the dead run's lock row should still be there";

  ASSERT_TRUE(testing_support::StartNode(2)) << "scripts/cluster start-node 2 failed";
  ExpectNodesHold(before);
  const CliOutcome second = Run(2, "--from 01 --to 02 --atomic");
  ASSERT_EQ(second.status, 0) << second.out << second.err;
  ExpectNodesHold(Dump(2));
  for (int node = 1; node <= 3; ++node) {
    ExpectVerifiedOn(node);
  }
}

}  // namespace
