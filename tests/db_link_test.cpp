// A vanished workstation never holds the server: the limits every session carries, an idle
// session the server ended is reopened without a word, and a run-lock holder that stopped
// beating is ended while a live one is never taken over.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "db/connection.h"
#include "db/error.h"
#include "db/query.h"
#include "lock/run_lock.h"
#include "run/copy_run.h"
#include "run/session.h"
#include "tests/test_db.h"
#include "tests/test_support_cli.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::ScratchDatabase;

std::string Value(db::Connection& connection, const std::string& sql) {
  db::Result result = connection.Query(sql);
  return std::string(result.Value(0));
}

TEST(SessionLimits, EverySessionBoundsItsWaitsAndItsSilence) {
  ScratchDatabase database("klink", false);
  db::Connection connection(database.settings());
  EXPECT_EQ(std::to_string(db::kSessionSilenceLimit) + "/" +
                std::to_string(db::kSessionSilenceLimit) + "/" +
                std::to_string(db::kSessionSilenceLimit) + "/" +
                std::to_string(db::kServerLockWaitSeconds) + "/" +
                std::to_string(db::kServerLockWaitSeconds),
            Value(connection,
                  "SELECT CONCAT_WS('/', @@SESSION.wait_timeout, @@SESSION.net_read_timeout, "
                  "@@SESSION.net_write_timeout, @@SESSION.innodb_lock_wait_timeout, "
                  "@@SESSION.lock_wait_timeout)"));
  // The server's lock waits end before the client's read timeout gives up on the server.
  EXPECT_LT(db::kServerLockWaitSeconds + 5, db::kReadTimeoutSeconds);
  EXPECT_LE(db::kReadTimeoutSeconds + 10, 60u);

  db::ConnectionSettings short_silence = database.settings();
  short_silence.transport.silence_limit = 1;
  db::Connection idle(short_silence);
  EXPECT_EQ("1", Value(idle, "SELECT @@SESSION.wait_timeout"));
  const unsigned long first = idle.ThreadId();
  // The server ends the silent session; the next unit of work reconnects without an error.
  std::this_thread::sleep_for(3s);
  idle.DropIfGone();
  EXPECT_EQ("1", Value(idle, "SELECT 1"));
  EXPECT_NE(first, idle.ThreadId());
  EXPECT_EQ("0",
            Value(connection, "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " +
                                  std::to_string(first)));
}

TEST(SessionLimits, ARunAfterALongPauseReconnectsWithoutAMessage) {
  const fs::path old_dir = fs::current_path();
  ScratchDatabase database("klink");
  database.Run(testing_support::DemoSql());
  const fs::path dir = testing_support::MakeTempDir("kelvane-link");
  fs::create_directory(dir / "work");
  fs::current_path(dir / "work");
  testing_support::WriteConfigFile((dir / "zarfiles.ini").string(), database.settings());
  setenv("KELVANE_TEST_SILENCE_LIMIT", "1", 1);
  {
    std::vector<std::string> messages;
    run::Session session([&messages](const std::string& text) { messages.push_back(text); },
                         (dir / "zarfiles.ini").string());
    session.OpenDatabases();
    EXPECT_EQ("1", Value(session.connection(), "SELECT @@SESSION.wait_timeout"));
    std::this_thread::sleep_for(3s);
    run::RunOptions options;
    options.backup_dir = (dir / "backups").string();
    EXPECT_NO_THROW(run::CopyRun(session, "01", "02", options).Execute(run::RunObserver{}));
    EXPECT_EQ(std::vector<std::string>{}, messages);
    EXPECT_EQ(database.Scalar("SELECT COUNT(*) FROM Bank WHERE AgyCode = '01'"),
              database.Scalar("SELECT COUNT(*) FROM Bank WHERE AgyCode = '02'"));
  }
  unsetenv("KELVANE_TEST_SILENCE_LIMIT");
  fs::current_path(old_dir);
  fs::remove_all(dir);
}

// A run's session that dies stays dead for the rest of the run: nothing of the run writes on
// a new session (whose lock and transaction would not be the run's), and no statement waits
// for a connect. After the run the connection reconnects as before.
TEST(SessionLimits, AHeldSessionThatDiesIsNotReplacedUntilTheHoldEnds) {
  ScratchDatabase database("klink", false);
  db::Connection admin(database.settings());
  db::Connection connection(database.settings());
  {
    const db::SessionHold hold(connection);
    EXPECT_FALSE(connection.SessionLost());
    connection.Open();
    const unsigned long first = connection.ThreadId();
    admin.Execute("KILL " + std::to_string(first));
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        connection.Execute("DO 1");
        ADD_FAILURE() << "a statement ran after the held session was killed";
      } catch (const db::Error& error) {
        EXPECT_TRUE(error.IsConnectionLost()) << error.what();
      }
    }
    EXPECT_TRUE(connection.SessionLost());
    EXPECT_EQ(0u, connection.ThreadId());  // no other session was opened
  }
  EXPECT_FALSE(connection.SessionLost());
  EXPECT_EQ("1", Value(connection, "SELECT 1"));
}

TEST(DeadHolder, AHolderThatStoppedBeatingIsEndedAndALiveOneKept) {
  ScratchDatabase database("klink", false);
  // A holder that never beats after taking its codes: a frozen workstation.
  // The holder's session is one the server does not end for silence (a client without our
  // limits); the taker ends holders stale for longer than its own lock session's limit.
  const lock::LockOptions frozen{
      .expiry = 1000ms, .heartbeat_interval = 3600s, .session_silence = 3600s};
  const lock::LockOptions taking{
      .expiry = 1000ms, .heartbeat_interval = 100ms, .session_silence = 1s};
  std::unique_ptr<lock::RunLock> holder =
      lock::RunLock::Acquire(database.settings(), {"01", "02"}, "run 01 to 02", frozen);
  const unsigned long long holder_session = holder->ConnectionId();

  // Fresh: never taken over, whatever the taker's options.
  EXPECT_THROW(lock::RunLock::Acquire(database.settings(), {"02"}, "run 03 to 02", taking),
               lock::Held);

  std::this_thread::sleep_for(1500ms);
  std::unique_ptr<lock::RunLock> taker;
  ASSERT_NO_THROW(
      taker = lock::RunLock::Acquire(database.settings(), {"02", "03"}, "run 03 to 02", taking));
  db::Connection check(database.settings());
  EXPECT_EQ("0", Value(check, "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " +
                                  std::to_string(holder_session) + " AND COMMAND <> 'Killed'"));
  EXPECT_EQ(std::to_string(taker->ConnectionId()),
            Value(check, "SELECT connection_id FROM kelvane_run_lock WHERE agency_code = '02'"));

  // A live holder with a short expiry keeps beating, so it is never ended.
  taker.reset();
  holder.reset();
  const lock::LockOptions beating{
      .expiry = 1000ms, .heartbeat_interval = 100ms, .session_silence = 3600s};
  std::unique_ptr<lock::RunLock> live =
      lock::RunLock::Acquire(database.settings(), {"02"}, "run 01 to 02", beating);
  std::this_thread::sleep_for(1500ms);
  EXPECT_THROW(lock::RunLock::Acquire(database.settings(), {"02"}, "run 03 to 02", taking),
               lock::Held);
  EXPECT_FALSE(live->IsLost());
}

}  // namespace
