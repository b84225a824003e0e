// A link that stops answering in the middle of a run (the laptop left the Wi-Fi): the program
// ends by itself and says what became of the data, another workstation's run straight to the
// server gets the agency and leaves the exact copy, and when the link comes back nothing the
// frozen run had sent changes anything. The link is scripts/linkproxy on the server's socket.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "db/connection.h"
#include "db/query.h"
#include "tests/test_db.h"
#include "tests/test_support_cli.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing_support::ReadFile;
using testing_support::ScratchDatabase;

constexpr const char* kTables[] = {"Bank",       "ClassTypes", "Company",  "CmpCont",
                                   "Department", "GLCodes",    "Producer", "Trans",
                                   "Vendor",     "AddInt2",    "DLNAIC",   "DLLines"};

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Everything agency `code` has, row by row (ap records included), as one text.
std::string Destination(db::Connection& connection, const std::string& code) {
  // The server ends a session of ours idle for half a minute, as it would the program's.
  connection.DropIfGone();
  std::string text;
  for (const char* table : kTables) {
    text += std::string(table) + ":\n" +
            testing_support::SortedRows(connection, std::string("SELECT * FROM ") + table +
                                                        " WHERE AgyCode = '" + code + "'");
  }
  return text + "ap:\n" +
         testing_support::SortedRows(connection,
                                     "SELECT HEX(Index0Col), HEX(RecData) FROM zz_data_ap WHERE "
                                     "SUBSTRING(Index0Col, 7, 2) = '" +
                                         code + "'");
}

// scripts/linkproxy on a socket of its own in front of the server's, its words read as they
// come.
class Link {
 public:
  Link(const fs::path& listen, const std::string& target, bool freeze_on_commit) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) {
      return;
    }
    const std::string script = testing_support::SourceDir() + "/scripts/linkproxy";
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(pipe_fds[1], 1);
      ::close(pipe_fds[0]);
      std::vector<std::string> args = {"python3",       script,     "--listen",
                                       listen.string(), "--target", target};
      if (freeze_on_commit) {
        args.emplace_back("--freeze-on-commit");
      }
      std::vector<char*> argv;
      for (std::string& arg : args) {
        argv.push_back(arg.data());
      }
      argv.push_back(nullptr);
      ::execvp("python3", argv.data());
      ::_exit(127);
    }
    ::close(pipe_fds[1]);
    out_ = pipe_fds[0];
  }

  ~Link() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) {
      ::close(out_);
    }
  }

  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Waits (at most `limit`, a bound for a broken pass-through only) for the line `word`.
  bool Says(const std::string& word, std::chrono::seconds limit = 120s) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
      const std::size_t at = seen_.find(word + "\n");
      if (at != std::string::npos) {
        seen_.erase(0, at + word.size() + 1);
        return true;
      }
      pollfd fd{out_, POLLIN, 0};
      if (::poll(&fd, 1, 200) > 0) {
        char buffer[256];
        const ssize_t got = ::read(out_, buffer, sizeof buffer);
        if (got <= 0) {
          return false;
        }
        seen_.append(buffer, static_cast<std::size_t>(got));
      }
    }
    return false;
  }

  bool Signal(int signal) const { return pid_ > 0 && ::kill(pid_, signal) == 0; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string seen_;
};

// `kelvane args...` in `dir`/work, not waited for; stdout and stderr go to `dir`/out and err.
pid_t StartKelvane(const fs::path& dir, const db::ConnectionSettings& settings,
                   const std::vector<std::string>& args, const std::vector<std::string>& env) {
  testing_support::WriteConfigFile((dir / "zarfiles.ini").string(), settings);
  const char* bin = std::getenv("KELVANE_BIN");
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::dup2(null, 0);
    if (::chdir((dir / "work").c_str()) != 0) {
      ::_exit(127);
    }
    ::setenv("KELVANE_CONFIG", (dir / "zarfiles.ini").c_str(), 1);
    for (const std::string& setting : env) {
      const std::size_t equals = setting.find('=');
      ::setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
    }
    std::vector<std::string> text = {bin != nullptr ? bin : "kelvane"};
    text.insert(text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : text) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

// How a frozen run is expected to end.
enum class Expect {
  kEither,   // the default run: all or nothing where it can be, or step by step
  kNothing,  // all or nothing: rolled back by the server
  kPartly,   // step by step: the steps before stand
  kUnknown,  // frozen at COMMIT
};

class FrozenLinkTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, std::getenv("KELVANE_BIN")) << "KELVANE_BIN names the built program";
    server_socket_ =
        std::getenv("MYSQL_UNIX_PORT") != nullptr ? std::getenv("MYSQL_UNIX_PORT") : "";
    ASSERT_FALSE(server_socket_.empty()) << "MYSQL_UNIX_PORT names the private server's socket";
    dir_ = testing_support::MakeTempDir("kelvane-frozen");
    for (const char* name : {"first", "second"}) {
      fs::create_directories(dir_ / name / "work");
    }
    database_.emplace("kfrz");
    database_->Run(testing_support::DemoSql());
    // Big enough that the run is surely in the middle of Companies when the link freezes.
    database_->Run(
        "INSERT INTO Company (AgyCode, Number, Name, Contact) SELECT '01', seq, CONCAT('Company "
        "', seq), REPEAT('c', 50) FROM seq_1_to_20000;");
    watch_.emplace(database_->settings());
  }

  void TearDown() override {
    watch_.reset();
    database_.reset();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  bool Lists(const std::string& flag) {
    const testing_support::CliOutcome help =
        testing_support::RunKelvane(dir_ / "second", database_->settings(), "--help");
    return Contains(help.out + help.err, flag);
  }

  // Runs `args` through a link that freezes mid-run (in the step Companies, or at COMMIT) and
  // checks the four things a frozen link must leave; returns the program's message.
  std::string FreezeMidRun(const std::vector<std::string>& args, Expect expect) {
    const fs::path first = dir_ / "first";
    Link link(dir_ / "link.sock", server_socket_, expect == Expect::kUnknown);
    EXPECT_TRUE(link.Says("ready")) << "linkproxy did not start";
    std::vector<std::string> run_args = {"--from", "01", "--to", "02"};
    run_args.insert(run_args.end(), args.begin(), args.end());
    // The server ends the silent sessions after 3 s, so the test need not wait half a
    // minute for it; the program's own waits are as always.
    const auto Start = [&](const std::vector<std::string>& how) {
      return StartKelvane(
          first, database_->settings(), how,
          {"MYSQL_UNIX_PORT=" + (dir_ / "link.sock").string(), "KELVANE_TEST_SILENCE_LIMIT=3"});
    };
    pid_t frozen = -1;
    if (expect != Expect::kUnknown) {
      // Holding a destination row of Companies makes the run wait at that step's clear, so
      // it is surely mid-run, however fast the machine, when the link freezes; the server
      // then finishes the clear into the frozen link.
      db::Connection blocker(database_->settings());
      blocker.Execute("START TRANSACTION");
      blocker.Query("SELECT * FROM Company WHERE AgyCode = '02' FOR UPDATE");
      const pid_t started = Start(run_args);
      frozen = started;
      // Its status line says the step has begun; from then until the blocker lets go it
      // cannot leave the step.
      bool waiting = false;
      for (int i = 0; i < 1200 && !waiting; ++i) {
        waiting = Contains(ReadFile(first / "out"), "\nCompanies\n");
        if (!waiting) {
          std::this_thread::sleep_for(100ms);
        }
      }
      EXPECT_TRUE(waiting) << ReadFile(first / "out") << ReadFile(first / "err");
      EXPECT_TRUE(link.Signal(SIGUSR1));
      EXPECT_TRUE(link.Says("frozen")) << ReadFile(first / "err");
      blocker.Execute("ROLLBACK");
    } else {
      frozen = Start(run_args);
    }
    if (expect == Expect::kUnknown) {
      EXPECT_TRUE(link.Says("frozen")) << ReadFile(first / "out") << ReadFile(first / "err");
    }
    const auto freeze = Clock::now();

    // The program ends by itself; meanwhile another workstation tries, again and again, the
    // way a user would, until the agency is free.
    std::optional<Clock::duration> ended;
    int raw = 0;
    testing_support::CliOutcome second;
    bool copied = false;
    while ((!ended || !copied) && Clock::now() - freeze < 150s) {
      if (!ended && ::waitpid(frozen, &raw, WNOHANG) == frozen) {
        ended = Clock::now() - freeze;
      }
      if (!copied) {
        second = testing_support::RunKelvane(dir_ / "second", database_->settings(),
                                             "--from 01 --to 02");
        copied = second.status == 0;
        if (copied) {
          EXPECT_LT(Clock::now() - freeze, 120s);
        } else {
          EXPECT_TRUE(Contains(second.err, "in use by another Kelvane run")) << second.err;
        }
      }
      std::this_thread::sleep_for(500ms);
    }
    if (!ended) {
      ::kill(frozen, SIGKILL);
      ::waitpid(frozen, &raw, 0);
      ADD_FAILURE() << "the run through the frozen link did not end by itself";
    } else {
      // Its waits end within a minute; the margin is for a loaded machine.
      EXPECT_LT(*ended, 90s);
      std::cerr << "the frozen run ended "
                << std::chrono::duration_cast<std::chrono::seconds>(*ended).count()
                << " s after the freeze\n";
    }
    const std::string message = ReadFile(first / "err");
    std::cerr << "the frozen run's message:\n" << message;
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 1) << message;
    EXPECT_TRUE(copied) << second.out << second.err;
    const testing_support::CliOutcome verify = testing_support::RunKelvane(
        dir_ / "second", database_->settings(), "--from 01 --to 02 --verify");
    EXPECT_EQ(0, verify.status) << verify.out << verify.err;

    // The link comes back: what it held reaches only sessions the server has ended.
    const std::string before = Destination(*watch_, "02");
    EXPECT_TRUE(link.Signal(SIGUSR2));
    EXPECT_TRUE(link.Says("healed"));
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(before, Destination(*watch_, "02"));

    EXPECT_TRUE(Contains(message, "The server stopped answering")) << message;
    EXPECT_TRUE(Contains(message, "The previous profile of agency 02 is saved in")) << message;
    switch (expect) {
      case Expect::kEither:
        EXPECT_TRUE(Contains(message, "during step \"Companies\"")) << message;
        EXPECT_TRUE(Contains(message, "Nothing was changed") ||
                    Contains(message, "The run went step by step"))
            << message;
        break;
      case Expect::kNothing:
        EXPECT_TRUE(Contains(message, "during step \"Companies\"")) << message;
        EXPECT_TRUE(Contains(message, "Nothing was changed")) << message;
        break;
      case Expect::kPartly:
        EXPECT_TRUE(Contains(message, "during step \"Companies\"")) << message;
        EXPECT_TRUE(Contains(message, "the steps before stand, copied (\"Banks\" and \"Classes\")"))
            << message;
        EXPECT_TRUE(Contains(message, "the later steps are untouched")) << message;
        break;
      case Expect::kUnknown:
        EXPECT_TRUE(Contains(message, "while the run was being committed")) << message;
        EXPECT_TRUE(Contains(message, "The outcome is unknown")) << message;
        EXPECT_TRUE(Contains(message, "kelvane --from 01 --to 02 --verify")) << message;
        break;
    }
    return message;
  }

  fs::path dir_;
  std::string server_socket_;
  testing_support::BackupFolder backups_;
  std::optional<ScratchDatabase> database_;
  std::optional<db::Connection> watch_;
};

TEST_F(FrozenLinkTest, DefaultRun) {
  FreezeMidRun({}, Expect::kEither);
}

TEST_F(FrozenLinkTest, AtomicRunIsRolledBack) {
  FreezeMidRun({"--atomic"}, Expect::kNothing);
}

TEST_F(FrozenLinkTest, StepByStepRunSaysWhichStepsStand) {
  if (!Lists("--step-by-step")) {
    GTEST_SKIP() << "this build has no --step-by-step (the default run is step by step)";
  }
  FreezeMidRun({"--step-by-step"}, Expect::kPartly);
}

TEST_F(FrozenLinkTest, FrozenAtCommitTheOutcomeIsUnknown) {
  FreezeMidRun({"--atomic"}, Expect::kUnknown);
}

}  // namespace
