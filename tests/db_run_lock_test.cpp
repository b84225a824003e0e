// The run lock against the real server: overlapping runs refused, dead holders cleared.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "db/connection.h"
#include "db/error.h"
#include "db/query.h"
#include "lock/run_lock.h"
#include "tests/test_db.h"

namespace {

using lock::Held;
using lock::RunLock;
using testing_support::ScratchDatabase;

// Polls `condition` for up to a generous bound; true as soon as it holds.
template <typename Condition>
bool Eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

std::string ThisProcess() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return "pid " + std::to_string(getpid()) + " on " + host;
}

class RunLockTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { scratch_ = new ScratchDatabase("kt_lock", false); }

  static void TearDownTestSuite() {
    delete scratch_;
    scratch_ = nullptr;
  }

  void SetUp() override { scratch_->Run("DROP TABLE IF EXISTS kelvane_run_lock;"); }

  static std::unique_ptr<RunLock> Take(std::vector<std::string> codes,
                                       const std::string& purpose = "run 01->02",
                                       lock::LockOptions options = {}) {
    return RunLock::Acquire(scratch_->settings(), std::move(codes), purpose, options);
  }

  // The refusal of `codes`; fails the test when they are granted.
  static Held Refusal(std::vector<std::string> codes) {
    try {
      Take(std::move(codes), "run 03->04");
    } catch (const Held& held) {
      return held;
    }
    ADD_FAILURE() << "the lock was granted";
    return Held("", "", 0);
  }

  static std::string Holder(const std::string& code) {
    return scratch_->Scalar("SELECT connection_id FROM kelvane_run_lock WHERE agency_code = '" +
                            code + "'");
  }

  static std::string Since(const std::string& code) {
    return scratch_->Scalar(
        "SELECT DATE_FORMAT(taken_at, '%Y-%m-%d %H:%i:%s') FROM kelvane_run_lock"
        " WHERE agency_code = '" +
        code + "'");
  }

  static std::string ServerIdentity() {
    return scratch_->Scalar("SELECT CONCAT_WS(':', @@hostname, @@port, @@socket)");
  }

  // A lock row as another program left it.
  static void InsertRow(const std::string& code, const std::string& server,
                        const std::string& heartbeat) {
    scratch_->Run(
        "INSERT INTO kelvane_run_lock SET agency_code = '" + code +
        "', holder_token = 'feedfeedfeedfeedfeedfeedfeedfeed', purpose = 'run 05->" + code +
        "', holder_user = 'ops@ws-07', holder_process = 'pid 77 on ws-07', holder_server = '" +
        server + "', connection_id = 4242, taken_at = '2026-01-02 03:04:05', heartbeat_at = " +
        heartbeat + ";");
  }

  static ScratchDatabase* scratch_;
};

ScratchDatabase* RunLockTest::scratch_ = nullptr;

TEST_F(RunLockTest, SharedCodeIsRefusedInEitherRoleAndAnyLetterCase) {
  std::unique_ptr<RunLock> first = Take({"0a", "02"});
  EXPECT_EQ((std::vector<std::string>{"02", "0A"}), first->codes());
  const std::string id = std::to_string(first->ConnectionId());
  EXPECT_EQ(id, Holder("02"));
  EXPECT_EQ(id, Holder("0A"));

  Held as_source = Refusal({"02", "03"});
  EXPECT_EQ("02", as_source.code());
  EXPECT_EQ(first->ConnectionId(), as_source.holder_connection());
  EXPECT_EQ("Agency 02 is in use by another Kelvane run (run 01->02 by " + ThisProcess() +
                ", user kelvane@localhost, connection " + id + ", since " + Since("02") +
                "); nothing was changed. Try again when it has finished.",
            std::string(as_source.what()));

  Held as_destination = Refusal({"04", "0A"});
  EXPECT_EQ("0A", as_destination.code());
  EXPECT_EQ(first->ConnectionId(), as_destination.holder_connection());
  // The refused runs left the holder's rows alone and took nothing of their own.
  EXPECT_EQ("2", scratch_->Scalar("SELECT COUNT(*) FROM kelvane_run_lock"));
  EXPECT_EQ(id, Holder("02"));
  EXPECT_FALSE(first->IsLost());
}

TEST_F(RunLockTest, RunsWithoutACommonCodeHoldTheirLocksSideBySide) {
  std::unique_ptr<RunLock> first = Take({"01", "02"});
  std::unique_ptr<RunLock> second = Take({"03", "04"});
  EXPECT_EQ(std::to_string(first->ConnectionId()), Holder("01"));
  EXPECT_EQ(std::to_string(second->ConnectionId()), Holder("04"));
  // Codes equal but for letter case are one lock.
  std::unique_ptr<RunLock> same = Take({"ab", "AB"});
  EXPECT_EQ(std::vector<std::string>{"AB"}, same->codes());
  EXPECT_EQ("5", scratch_->Scalar("SELECT COUNT(*) FROM kelvane_run_lock"));
}

TEST_F(RunLockTest, ReleaseFreesAndARefusedRunKeepsNoneOfItsCodes) {
  std::unique_ptr<RunLock> holder = Take({"05"});
  EXPECT_EQ("05", Refusal({"04", "05"}).code());
  // 04 sorts first and was taken before 05 was found held; the refusal gave it back.
  std::unique_ptr<RunLock> other = Take({"04"});
  EXPECT_EQ("1", scratch_->Scalar("SELECT IS_FREE_LOCK('kelvane." + scratch_->name() + ".06')"));

  holder->Release();
  holder->Release();
  std::unique_ptr<RunLock> again = Take({"05"});
  other.reset();
  again.reset();
  EXPECT_EQ("0", scratch_->Scalar("SELECT COUNT(*) FROM kelvane_run_lock"));
  EXPECT_EQ("1", scratch_->Scalar("SELECT IS_FREE_LOCK('kelvane." + scratch_->name() + ".05')"));
}

// All codes are asked for at once; a held code that sorts first leaves the free codes after
// it neither locked nor written, and a run holding those can start meanwhile.
TEST_F(RunLockTest, HeldFirstCodeLeavesTheLaterFreeCodesUntouched) {
  std::unique_ptr<RunLock> holder = Take({"14"});
  EXPECT_EQ("14", Refusal({"16", "14", "15"}).code());
  for (const char* code : {"15", "16"}) {
    EXPECT_EQ("1", scratch_->Scalar("SELECT IS_FREE_LOCK('kelvane." + scratch_->name() + "." +
                                    code + "')"))
        << code;
    EXPECT_EQ("", Holder(code)) << code;
  }
  std::unique_ptr<RunLock> other = Take({"15", "16"});
  EXPECT_EQ(std::to_string(other->ConnectionId()), Holder("16"));
  EXPECT_EQ(std::to_string(holder->ConnectionId()), Holder("14"));

  // Once the holder is gone the three are one run's, each row naming its session.
  holder.reset();
  other.reset();
  std::unique_ptr<RunLock> all = Take({"16", "14", "15"});
  EXPECT_EQ((std::vector<std::string>{"14", "15", "16"}), all->codes());
  EXPECT_EQ("3", scratch_->Scalar("SELECT COUNT(*) FROM kelvane_run_lock WHERE connection_id = " +
                                  std::to_string(all->ConnectionId())));
}

TEST_F(RunLockTest, HolderWhoseConnectionWasKilledNoLongerBlocks) {
  lock::LockOptions fast;
  fast.heartbeat_interval = std::chrono::milliseconds(20);
  std::unique_ptr<RunLock> dead = Take({"01", "02"}, "run 01->02", fast);
  db::Connection admin(scratch_->settings());
  admin.Execute("KILL " + std::to_string(dead->ConnectionId()));

  std::unique_ptr<RunLock> next = Take({"02", "03"});
  EXPECT_EQ(std::to_string(next->ConnectionId()), Holder("02"));
  EXPECT_TRUE(Eventually([&] { return dead->IsLost(); }));
  // The dead run's release must not remove what the next run took over.
  dead.reset();
  EXPECT_EQ(std::to_string(next->ConnectionId()), Holder("02"));
  EXPECT_EQ("", Holder("01"));
}

TEST_F(RunLockTest, HolderBeingKilledInTheMiddleOfAStatementDoesNotRefuse) {
  // KILL returns before the victim has ended; until then the server still shows its lock.
  Take({}).reset();
  db::Connection victim(scratch_->settings());
  ASSERT_EQ(
      "1", std::string(
               victim.Query("SELECT GET_LOCK('kelvane." + scratch_->name() + ".31', 0)").Value(0)));
  const unsigned long victim_id = victim.ThreadId();
  std::thread busy([&] {
    try {
      victim.Query("SELECT SLEEP(600)");
    } catch (const db::Error&) {
    }
  });
  const std::string state = "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " +
                            std::to_string(victim_id) + " AND STATE = 'User sleep'";
  ASSERT_TRUE(Eventually([&] { return scratch_->Scalar(state) == "1"; }));
  db::Connection admin(scratch_->settings());
  admin.Execute("KILL " + std::to_string(victim_id));
  EXPECT_NO_THROW(Take({"31"}));
  busy.join();
}

TEST_F(RunLockTest, HolderProcessKilledLeavesNoLockBehind) {
  Take({}).reset();  // the table exists before the child starts
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    close(ready[0]);
    std::string reply = "E";
    std::unique_ptr<RunLock> lock;
    try {
      lock = Take({"01", "02"}, "run 01->02");
      reply = std::to_string(lock->ConnectionId());
    } catch (...) {
    }
    (void)!write(ready[1], reply.data(), reply.size());
    close(ready[1]);
    while (true) {
      pause();
    }
  }
  close(ready[1]);
  char buffer[32] = {};
  ssize_t n = read(ready[0], buffer, sizeof buffer - 1);
  close(ready[0]);
  std::string child_connection(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
  ASSERT_NE("E", child_connection);
  ASSERT_FALSE(child_connection.empty());

  EXPECT_EQ(child_connection, std::to_string(Refusal({"02"}).holder_connection()));
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));

  std::unique_ptr<RunLock> next = Take({"01", "02"});
  EXPECT_EQ(std::to_string(next->ConnectionId()), Holder("01"));
  EXPECT_EQ(std::to_string(next->ConnectionId()), Holder("02"));
}

TEST_F(RunLockTest, RowsFromAnotherServerBlockUntilTheirHeartbeatExpires) {
  Take({}).reset();
  InsertRow("07", "node2:3306:/run/mysqld.sock", "NOW(6) - INTERVAL 1 HOUR");
  InsertRow("08", "node2:3306:/run/mysqld.sock", "NOW(6)");

  std::unique_ptr<RunLock> expired = Take({"07"});
  EXPECT_EQ(std::to_string(expired->ConnectionId()), Holder("07"));

  Held fresh = Refusal({"08"});
  EXPECT_EQ(4242u, fresh.holder_connection());
  EXPECT_EQ(
      "Agency 08 is in use by another Kelvane run (run 05->08 by pid 77 on ws-07, user ops@ws-07,"
      " connection 4242 on server node2:3306:/run/mysqld.sock, since 2026-01-02 03:04:05);"
      " nothing was changed. Try again when it has finished.",
      std::string(fresh.what()));

  // With a shorter expiry the same row has aged out.
  lock::LockOptions short_expiry;
  short_expiry.expiry = std::chrono::milliseconds(1);
  EXPECT_TRUE(Eventually([&] {
    try {
      return Take({"08"}, "run 01->08", short_expiry) != nullptr;
    } catch (const Held&) {
      return false;
    }
  }));
}

TEST_F(RunLockTest, RowOfThisServerWithoutItsServerLockIsTakenAtOnce) {
  // What a server restart leaves: a fresh row whose session, and its server lock, are gone.
  Take({}).reset();
  InsertRow("09", ServerIdentity(), "NOW(6)");
  std::unique_ptr<RunLock> lock = Take({"09"});
  EXPECT_EQ(std::to_string(lock->ConnectionId()), Holder("09"));
}

TEST_F(RunLockTest, HeartbeatKeepsTheRowsFreshAndNoticesATakeover) {
  lock::LockOptions fast;
  fast.heartbeat_interval = std::chrono::milliseconds(20);
  std::unique_ptr<RunLock> lock = Take({"11", "12"}, "run 11->12", fast);
  const std::string first = scratch_->Scalar(
      "SELECT MIN(heartbeat_at) FROM kelvane_run_lock WHERE agency_code IN ('11', '12')");
  EXPECT_TRUE(Eventually([&] {
    return scratch_->Scalar("SELECT MIN(heartbeat_at) > '" + first +
                            "' FROM kelvane_run_lock WHERE agency_code IN ('11', '12')") == "1";
  }));
  EXPECT_FALSE(lock->IsLost());

  scratch_->Run(
      "UPDATE kelvane_run_lock SET holder_token = REPEAT('0', 32) WHERE agency_code = '12';");
  EXPECT_TRUE(Eventually([&] { return lock->IsLost(); }));
  lock.reset();
  EXPECT_EQ("12", scratch_->Scalar("SELECT GROUP_CONCAT(agency_code) FROM kelvane_run_lock"));
}

TEST_F(RunLockTest, SimultaneousTakersNeverBothWin) {
  Take({}).reset();
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> ready{0};
    std::atomic<int> winners{0};
    std::unique_ptr<RunLock> held[2];
    auto taker = [&](int index) {
      ++ready;
      while (ready.load() < 2) {
      }
      try {
        held[index] = Take({"21", index == 0 ? "22" : "23"});
        ++winners;
      } catch (const Held& e) {
        EXPECT_EQ("21", e.code());
      }
    };
    std::thread a(taker, 0);
    std::thread b(taker, 1);
    a.join();
    b.join();
    ASSERT_EQ(1, winners.load()) << "round " << round;
  }
}

TEST_F(RunLockTest, UserWhoMayNotCreateTheTableIsToldWhatToRun) {
  scratch_->Run(
      "DROP TABLE IF EXISTS kelvane_run_lock;\n"
      "DROP USER IF EXISTS 'kt_lock_limited'@'localhost';\n"
      "CREATE USER 'kt_lock_limited'@'localhost' IDENTIFIED BY 'limited';\n"
      "GRANT SELECT, INSERT, UPDATE, DELETE ON `" +
      scratch_->name() + "`.* TO 'kt_lock_limited'@'localhost';");
  db::ConnectionSettings limited = scratch_->settings();
  limited.user = "kt_lock_limited";
  limited.password = "limited";
  try {
    RunLock::Acquire(limited, {"01", "02"}, "run 01->02");
    ADD_FAILURE() << "the lock was granted without its table";
  } catch (const db::Error& e) {
    std::string text = e.what();
    EXPECT_NE(std::string::npos,
              text.find("Kelvane needs its run lock table kelvane_run_lock in database '" +
                        scratch_->name() + "', and user 'kt_lock_limited' may not create it"))
        << text;
    EXPECT_NE(std::string::npos,
              text.find("An administrator should run, in that database: CREATE TABLE IF NOT "
                        "EXISTS kelvane_run_lock ("))
        << text;
  }
  scratch_->Run("DROP USER 'kt_lock_limited'@'localhost';");
  EXPECT_EQ("", scratch_->Scalar("SHOW TABLES LIKE 'kelvane_run_lock'"));
}

}  // namespace
