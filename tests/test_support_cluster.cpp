// Test support: the private Galera cluster of scripts/cluster, seen node by node.
#include "tests/test_support_cluster.h"

#include <mysql.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "tests/test_db.h"
#include "tests/test_support_cli.h"
#include "tests/test_support_server.h"

namespace testing_support {

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::vector<std::string> Sockets() {
  std::vector<std::string> sockets;
  std::istringstream in(Env("KELVANE_CLUSTER_SOCKETS"));
  for (std::string socket; std::getline(in, socket, ':');) {
    if (!socket.empty()) {
      sockets.push_back(socket);
    }
  }
  return sockets;
}

std::string User() {
  return Env("KELVANE_CLUSTER_USER").empty() ? "kelvane" : Env("KELVANE_CLUSTER_USER");
}

std::string Password() {
  return Env("KELVANE_CLUSTER_PASSWORD").empty() ? "kelvane" : Env("KELVANE_CLUSTER_PASSWORD");
}

bool RunScript(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {Env("KELVANE_CLUSTER_SCRIPT")};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunProgram(argv, ProgramIo::TestStderr(),
                    {"KELVANE_CLUSTER_DIR=" + Env("KELVANE_CLUSTER_DIR")}) == 0;
}

}  // namespace

bool ClusterConfigured() {
  return Sockets().size() == 3;
}

std::string NodeSocket(int node) {
  const std::vector<std::string> sockets = Sockets();
  if (node < 1 || node > static_cast<int>(sockets.size())) {
    throw std::out_of_range("no cluster node " + std::to_string(node));
  }
  return sockets[node - 1];
}

db::ConnectionSettings ClusterSettings(const std::string& database) {
  db::ConnectionSettings settings;
  settings.host = "localhost";
  settings.user = User();
  settings.password = Password();
  settings.database = database;
  return settings;
}

std::string NodeEnv(int node) {
  return "MYSQL_UNIX_PORT=" + ShellQuoted(NodeSocket(node));
}

NodeSession::NodeSession(int node, const std::string& database) {
  mysql_ = mysql_init(nullptr);
  if (mysql_ == nullptr) {
    throw NodeError("mysql_init failed", 0);
  }
  mysql_options(mysql_, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  const unsigned int timeout = 10;
  mysql_options(mysql_, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  const std::string socket = NodeSocket(node);
  if (mysql_real_connect(mysql_, "localhost", User().c_str(), Password().c_str(),
                         database.empty() ? nullptr : database.c_str(), 0, socket.c_str(),
                         CLIENT_MULTI_STATEMENTS) == nullptr) {
    const NodeError error("node " + std::to_string(node) + ": " + mysql_error(mysql_),
                          mysql_errno(mysql_));
    mysql_close(mysql_);
    throw error;
  }
  Execute("SET SESSION wsrep_sync_wait = 15");
}

NodeSession::~NodeSession() {
  mysql_close(mysql_);
}

void NodeSession::Fail(const std::string& sql) {
  throw NodeError(std::string(mysql_error(mysql_)) + " (in: " + sql.substr(0, 200) + ")",
                  mysql_errno(mysql_));
}

void NodeSession::Execute(const std::string& sql) {
  if (mysql_real_query(mysql_, sql.data(), sql.size()) != 0) {
    Fail(sql);
  }
  for (;;) {
    if (MYSQL_RES* result = mysql_store_result(mysql_)) {
      mysql_free_result(result);
    } else if (mysql_field_count(mysql_) != 0) {
      Fail(sql);
    }
    const int next = mysql_next_result(mysql_);
    if (next > 0) {
      Fail(sql);
    }
    if (next < 0) {
      return;
    }
  }
}

std::vector<std::vector<std::string>> NodeSession::Rows(const std::string& sql) {
  if (mysql_real_query(mysql_, sql.data(), sql.size()) != 0) {
    Fail(sql);
  }
  MYSQL_RES* result = mysql_store_result(mysql_);
  if (result == nullptr) {
    Fail(sql);
  }
  std::vector<std::vector<std::string>> rows;
  const unsigned int fields = mysql_num_fields(result);
  while (MYSQL_ROW row = mysql_fetch_row(result)) {
    const unsigned long* lengths = mysql_fetch_lengths(result);
    std::vector<std::string>& values = rows.emplace_back();
    for (unsigned int i = 0; i < fields; ++i) {
      values.push_back(row[i] == nullptr ? "\\N" : std::string(row[i], lengths[i]));
    }
  }
  mysql_free_result(result);
  return rows;
}

std::string NodeSession::Scalar(const std::string& sql) {
  const auto rows = Rows(sql);
  return rows.empty() || rows[0].empty() ? "" : rows[0][0];
}

bool ClusterScriptAvailable() {
  return !Env("KELVANE_CLUSTER_SCRIPT").empty() && !Env("KELVANE_CLUSTER_DIR").empty();
}

bool KillNode(int node) {
  return RunScript({"kill-node", std::to_string(node)});
}

bool StartNode(int node) {
  return RunScript({"start-node", std::to_string(node)});
}

namespace {

// One look: whether node `node` is synced in a cluster of `size` nodes.
bool NodeInClusterOf(int node, int size) {
  try {
    NodeSession session(node);
    const auto rows = session.Rows(
        "SELECT VARIABLE_NAME, VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS "
        "WHERE VARIABLE_NAME IN ('WSREP_CLUSTER_SIZE', 'WSREP_LOCAL_STATE_COMMENT') "
        "ORDER BY VARIABLE_NAME");
    return rows.size() == 2 && rows[0][1] == std::to_string(size) && rows[1][1] == "Synced";
  } catch (const NodeError&) {
    return false;  // not (yet) taking connections
  }
}

}  // namespace

bool EnsureClusterUp() {
  bool all_up = true;
  for (int node = 1; node <= 3; ++node) {
    all_up = all_up && NodeInClusterOf(node, 3);
  }
  if (all_up) {
    return true;
  }
  if (ClusterScriptAvailable() && !RunScript({"start"})) {
    return false;
  }
  for (int node = 1; node <= 3; ++node) {
    if (!WaitForClusterSize(node, 3)) {
      return false;
    }
  }
  return true;
}

bool WaitForClusterSize(int node, int size) {
  // A bound for a machine shared with builds, not a measure of speed: a node that is up
  // answers at once, one that rejoins within seconds.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
  while (!NodeInClusterOf(node, size)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return true;
}

TableRows DumpTables(int node, const std::string& database) {
  NodeSession session(node, database);
  TableRows dump;
  for (const auto& table : session.Rows("SELECT TABLE_NAME FROM information_schema.TABLES "
                                        "WHERE TABLE_SCHEMA = DATABASE() ORDER BY TABLE_NAME")) {
    std::vector<std::string>& rows = dump[table[0]];
    for (const auto& row : session.Rows("SELECT * FROM `" + table[0] + "` ORDER BY 1")) {
      std::string text;
      for (const std::string& value : row) {
        text += value;
        text += '|';
      }
      rows.push_back(text);
    }
  }
  return dump;
}

TableRows WithoutLockTable(TableRows rows) {
  rows.erase("kelvane_run_lock");
  return rows;
}

std::string FirstDifference(const TableRows& expected, const TableRows& actual) {
  for (const auto& [table, rows] : expected) {
    const auto found = actual.find(table);
    if (found == actual.end()) {
      return "table " + table + " is missing";
    }
    for (size_t i = 0; i < rows.size() || i < found->second.size(); ++i) {
      const std::string want = i < rows.size() ? rows[i] : "(no row)";
      const std::string got = i < found->second.size() ? found->second[i] : "(no row)";
      if (want != got) {
        return "table " + table + ", row " + std::to_string(i + 1) + ": expected \"" + want +
               "\", found \"" + got + "\"";
      }
    }
  }
  for (const auto& [table, rows] : actual) {
    if (expected.count(table) == 0) {
      return "unexpected table " + table;
    }
  }
  return "";
}

ClusterDatabase::ClusterDatabase() {
  static std::atomic<int> counter{0};
  name_ = "kc_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
  NodeSession session(1);
  session.Execute("DROP DATABASE IF EXISTS `" + name_ + "`");
  session.Execute("CREATE DATABASE `" + name_ + "` CHARACTER SET utf8mb4");
  session.Execute("USE `" + name_ + "`");
  session.Execute(SchemaSql());
  session.Execute(DemoSql());
}

ClusterDatabase::~ClusterDatabase() {
  for (int node = 1; node <= 3; ++node) {
    try {
      NodeSession session(node);
      session.Execute("DROP DATABASE IF EXISTS `" + name_ + "`");
      return;
    } catch (const NodeError&) {
      // Try the next node: this one may be the one a test stopped.
    }
  }
}

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

bool WaitFor(const std::atomic<bool>& done, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done;
}

void ClusterTest::SetUpTestSuite() {
  // A session to a node a test kills must not end the test program when it is closed.
  signal(SIGPIPE, SIG_IGN);
}

void ClusterTest::SetUp() {
  if (!ClusterConfigured()) {
    GTEST_SKIP() << "No cluster: KELVANE_CLUSTER_SOCKETS is not set (scripts/test starts "
                    "one; by hand: scripts/cluster start && eval \"$(scripts/cluster env)\")";
  }
  ASSERT_NE(std::getenv("KELVANE_BIN"), nullptr) << "KELVANE_BIN is not set";
  ASSERT_TRUE(EnsureClusterUp()) << "the three nodes are not all synced";
  backups_ = std::make_unique<BackupFolder>();
  database_ = std::make_unique<ClusterDatabase>();
  dir_ = MakeTempDir("kelvane-cluster");
}

void ClusterTest::TearDown() {
  if (database_ != nullptr) {
    // A test that failed after stopping a node leaves it to be started for the next one.
    EnsureClusterUp();
    database_.reset();
  }
  if (!dir_.empty()) {
    std::filesystem::remove_all(dir_);
  }
  backups_.reset();
}

CliOutcome ClusterTest::Run(int node, const std::string& args) {
  const std::filesystem::path run_dir = dir_ / ("run" + std::to_string(runs_++));
  std::filesystem::create_directories(run_dir / "work");
  return RunKelvane(run_dir, database_->settings(), args, NodeEnv(node));
}

void ClusterTest::ExpectNodesHold(const TableRows& expected, const std::vector<int>& nodes) {
  for (int node : nodes) {
    EXPECT_EQ(FirstDifference(WithoutLockTable(expected), Data(node)), "") << "node " << node;
  }
}

void ClusterTest::ExpectVerifiedOn(int node, const std::string& from, const std::string& to) {
  const CliOutcome verify = Run(node, "--from " + from + " --to " + to + " --verify");
  EXPECT_EQ(verify.status, 0) << "node " << node << ":\n" << verify.out << verify.err;
  EXPECT_NE(verify.out.find("The destination matches the source."), std::string::npos)
      << verify.out;
}

}  // namespace testing_support
