// The command line's guards against changes nobody asked for, end to end through the built
// program: a restore that fails is undone whole, a live run's lock is never taken over, and a
// COMMIT whose answer was lost is never called a success.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "copy/table_desc.h"
#include "db/connection.h"
#include "lock/run_lock.h"
#include "recstore/ap_file.h"
#include "tests/test_db.h"
#include "tests/test_support_cli.h"

namespace {

namespace fs = std::filesystem;
using testing_support::CliOutcome;
using testing_support::ScratchDatabase;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Every row of the suite's tables and of the ap file, as one text.
std::string Everything(const ScratchDatabase& database) {
  db::Connection connection(database.settings());
  std::string text;
  for (const copy::TableDesc& table : copy::AllTables()) {
    text += table.table + ":\n" +
            testing_support::SortedRows(connection, "SELECT * FROM " + table.table);
  }
  return text + "ap:\n" +
         testing_support::SortedRows(connection,
                                     std::string("SELECT * FROM ") + recstore::kApTable);
}

// A pass-through for the server's Unix socket that cuts a connection, without passing it on,
// at the first packet that is a COMMIT: the client has sent its COMMIT and never hears back,
// as when the link or the server dies at that moment. The server, which never got it, rolls
// the transaction back when the session goes.
class CommitCutter {
 public:
  CommitCutter(std::string server_socket, const fs::path& path)
      : server_(std::move(server_socket)), path_(path.string()) {
    listener_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = Address(path_);
    if (listener_ < 0 ||
        ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0) {
      throw std::runtime_error("cannot listen on " + path_);
    }
    accepter_ = std::thread([this] { Accept(); });
  }

  ~CommitCutter() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    accepter_.join();
    for (std::thread& pipe : pipes_) {
      pipe.join();
    }
    ::close(listener_);
    ::unlink(path_.c_str());
  }

  CommitCutter(const CommitCutter&) = delete;
  CommitCutter& operator=(const CommitCutter&) = delete;

  int cuts() const { return cuts_.load(); }

 private:
  static sockaddr_un Address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
  }

  void Accept() {
    while (!stopping_) {
      const int client = ::accept(listener_, nullptr, nullptr);
      if (client < 0) {
        return;
      }
      const int server = ::socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un address = Address(server_);
      if (server < 0 ||
          ::connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(client);
        if (server >= 0) {
          ::close(server);
        }
        continue;
      }
      pipes_.emplace_back([this, client, server] { Pipe(client, server); });
    }
  }

  // Forwards both ways until either side closes or a COMMIT goes by. A client sends its next
  // statement only after the answer to the last, so a COMMIT arrives as a read of its own.
  void Pipe(int client, int server) {
    // Header: payload length 7, sequence 0; then COM_QUERY and the text.
    static constexpr char kCommit[] = {7, 0, 0, 0, 3, 'C', 'O', 'M', 'M', 'I', 'T'};
    const std::string_view commit(kCommit, sizeof kCommit);
    char buffer[65536];
    pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    while (!stopping_) {
      if (::poll(fds, 2, 100) < 0) {
        break;
      }
      bool done = false;
      for (int i = 0; i < 2 && !done; ++i) {
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
          continue;
        }
        const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
        if (got <= 0) {
          done = true;
          break;
        }
        const std::string_view data(buffer, static_cast<std::size_t>(got));
        if (i == 0 && data.find(commit) != std::string_view::npos) {
          ++cuts_;
          done = true;
          break;
        }
        const int to = fds[1 - i].fd;
        for (std::size_t sent = 0; sent < data.size();) {
          const ssize_t put = ::write(to, data.data() + sent, data.size() - sent);
          if (put <= 0) {
            done = true;
            break;
          }
          sent += static_cast<std::size_t>(put);
        }
      }
      if (done) {
        break;
      }
    }
    ::close(client);
    ::close(server);
  }

  const std::string server_;
  const std::string path_;
  int listener_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<int> cuts_{0};
  std::thread accepter_;
  std::vector<std::thread> pipes_;
};

class CommandLineGuardTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, std::getenv("KELVANE_BIN")) << "KELVANE_BIN names the built program";
    dir_ = testing_support::MakeTempDir("kelvane-guard");
    fs::create_directory(dir_ / "work");
    fs::create_directory(dir_ / "backups");
    database_.Run(testing_support::DemoSql());
  }

  void TearDown() override { fs::remove_all(dir_); }

  CliOutcome Run(const std::string& args, const std::string& env = "") {
    return testing_support::RunKelvane(
        dir_, database_.settings(), args,
        "KELVANE_BACKUP_DIR=" + testing_support::ShellQuoted((dir_ / "backups").string()) +
            (env.empty() ? "" : " " + env));
  }

  std::vector<fs::path> Backups() const {
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir_ / "backups")) {
      if (entry.is_regular_file()) {
        files.push_back(entry.path());
      }
    }
    std::sort(files.begin(), files.end());
    return files;
  }

  ScratchDatabase database_{"kguard"};
  fs::path dir_;
};

TEST_F(CommandLineGuardTest, RestoreThatFailsPartWayLeavesEverythingAsItWas) {
  // Agency 03 gets a profile, then another run replaces it: the backup of that run holds the
  // first profile, rows in every table the copy fills.
  ASSERT_EQ(0, Run("--from 01 --to 03").status);
  const std::vector<fs::path> first = Backups();
  const CliOutcome second = Run("--from 02 --to 03");
  ASSERT_EQ(0, second.status) << second.err;
  std::vector<fs::path> files = Backups();
  std::erase_if(files, [&](const fs::path& file) {
    return std::find(first.begin(), first.end(), file) != first.end();
  });
  ASSERT_EQ(1u, files.size());

  // The last table refuses the first of its rows the restore puts back; the tables before it
  // have been replaced by then, inside the restore's transaction.
  database_.Run(
      "CREATE TRIGGER refuse_dllines BEFORE INSERT ON DLLines FOR EACH ROW SIGNAL SQLSTATE "
      "'45000' SET MESSAGE_TEXT = 'Download line refused';");
  const std::string before = Everything(database_);
  const CliOutcome restore =
      Run("--restore " + testing_support::ShellQuoted(files.front().string()));

  EXPECT_EQ(1, restore.status) << restore.out << restore.err;
  EXPECT_TRUE(Contains(restore.err, "Download line refused")) << restore.err;
  EXPECT_EQ(before, Everything(database_));
}

TEST_F(CommandLineGuardTest, LiveLockHolderIsNeverTakenForDead) {
  lock::LockOptions beating;
  beating.heartbeat_interval = std::chrono::milliseconds(20);
  std::unique_ptr<lock::RunLock> holder =
      lock::RunLock::Acquire(database_.settings(), {"03", "05"}, "run 05 to 03", beating);
  const std::string before = Everything(database_);

  for (const char* args : {"--from 01 --to 03", "--from 03 --to 04 --atomic"}) {
    const CliOutcome outcome = Run(args);
    EXPECT_EQ(1, outcome.status) << args << "\n" << outcome.err;
    EXPECT_TRUE(Contains(outcome.err, "Agency 03 is in use by another Kelvane run")) << outcome.err;
    EXPECT_TRUE(Contains(outcome.err, std::to_string(holder->ConnectionId()))) << outcome.err;
  }
  EXPECT_FALSE(holder->IsLost());
  EXPECT_EQ(std::to_string(holder->ConnectionId()),
            database_.Scalar("SELECT connection_id FROM kelvane_run_lock WHERE agency_code = "
                             "'03'"));
  EXPECT_EQ(before, Everything(database_));
}

TEST_F(CommandLineGuardTest, CommitWhoseAnswerIsLostIsNeverReportedAsSuccess) {
  const char* socket = std::getenv("MYSQL_UNIX_PORT");
  ASSERT_NE(nullptr, socket);
  const fs::path cut_socket = dir_ / "cut.sock";
  const std::string before = Everything(database_);
  int cuts = 0;
  CliOutcome outcome;
  {
    CommitCutter cutter(socket, cut_socket);
    outcome = Run("--from 01 --to 03 --atomic",
                  "MYSQL_UNIX_PORT=" + testing_support::ShellQuoted(cut_socket.string()));
    cuts = cutter.cuts();
  }

  EXPECT_EQ(1, cuts);
  EXPECT_EQ(1, outcome.status) << outcome.out << outcome.err;
  EXPECT_TRUE(Contains(outcome.err, "not known whether the copy was committed or rolled back"))
      << outcome.err;
  EXPECT_TRUE(Contains(outcome.err, "kelvane --from 01 --to 03 --verify")) << outcome.err;
  // The server never got the COMMIT: the session's end rolled the run back.
  EXPECT_EQ(before, Everything(database_));
}

}  // namespace
