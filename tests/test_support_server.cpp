// Started programs and private servers for the tests.
#include "tests/test_support_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "tests/test_support_cli.h"

namespace testing_support {

namespace fs = std::filesystem;

namespace {

// Points descriptor `target` of the child at `path` (or /dev/null), or exits the child.
void Redirect(int target, const fs::path& path, int flags) {
  const int fd = ::open(path.empty() ? "/dev/null" : path.c_str(), flags | O_CLOEXEC, 0600);
  if (fd < 0 || ::dup2(fd, target) < 0) {
    ::_exit(127);
  }
}

std::string AdminUser() {
  const char* login = std::getenv("USER");
  return ::geteuid() == 0 || login == nullptr ? "root" : login;
}

}  // namespace

int RunProgram(const std::vector<std::string>& argv, const ProgramIo& io,
               const std::vector<std::string>& env) {
  if (argv.empty()) {
    return -1;
  }
  // Everything the child needs is made before fork, so it only calls what is safe there.
  std::vector<std::string> args = argv;
  std::vector<char*> pointers;
  for (std::string& arg : args) {
    pointers.push_back(arg.data());
  }
  pointers.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    return -1;
  }
  if (pid == 0) {
    constexpr int kWrite = O_WRONLY | O_CREAT | O_TRUNC;
    Redirect(0, io.input, O_RDONLY);
    if (io.to_test_stderr) {
      ::dup2(2, 1);
    } else {
      Redirect(1, io.output, kWrite);
      if (io.errors.empty()) {
        ::dup2(1, 2);
      } else {
        Redirect(2, io.errors, kWrite);
      }
    }
    for (const std::string& setting : env) {
      const std::size_t equals = setting.find('=');
      ::setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
    }
    ::execvp(pointers[0], pointers.data());
    ::_exit(127);
  }
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0) {
    if (errno != EINTR) {
      return -1;
    }
  }
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

PrivateServer::PrivateServer(std::vector<std::string> options)
    : dir_(MakeTempDir("kelvane-fault-server")), options_(std::move(options)) {
  std::vector<std::string> argv = {"mariadb-install-db", "--no-defaults",
                                   "--datadir=" + (dir_ / "data").string(),
                                   "--auth-root-authentication-method=socket", "--skip-test-db"};
  if (::geteuid() == 0) {
    argv.insert(argv.begin() + 3, "--user=root");
  }
  installed_ = RunProgram(argv, ProgramIo::Output(dir_ / "install.log")) == 0;
}

PrivateServer::~PrivateServer() {
  Kill();
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

bool PrivateServer::Start() {
  if (!installed_) {
    return false;
  }
  // A second server on the same data folder would find the first one answering, and the
  // first would be left behind.
  if (pid_ > 0) {
    return true;
  }
  std::vector<std::string> args = {"mariadbd",
                                   "--no-defaults",
                                   "--datadir=" + (dir_ / "data").string(),
                                   "--socket=" + socket(),
                                   "--skip-networking",
                                   "--pid-file=" + (dir_ / "mysqld.pid").string(),
                                   "--log-error=" + (dir_ / "error.log").string(),
                                   "--character-set-server=utf8mb4",
                                   "--collation-server=utf8mb4_general_ci",
                                   "--innodb-buffer-pool-size=64M"};
  if (::geteuid() == 0) {
    args.emplace_back("--user=root");
  }
  args.insert(args.end(), options_.begin(), options_.end());
  std::vector<char*> argv;
  for (std::string& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  const std::string out = (dir_ / "server.out").string();
  pid_ = ::fork();
  if (pid_ == 0) {
    const int log = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ::dup2(log, 1);
    ::dup2(log, 2);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  // Waiting for start-up is not a timing assumption of the tests: it only bounds how long a
  // server that never comes up is waited for.
  for (int i = 0; i < 600; ++i) {
    if (Admin("SELECT 1")) {
      return Admin(
          "CREATE USER IF NOT EXISTS 'kelvane'@'localhost' IDENTIFIED BY 'kelvane'; "
          "GRANT ALL PRIVILEGES ON *.* TO 'kelvane'@'localhost'");
    }
    int raw = 0;
    if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    ::usleep(100000);
  }
  return false;
}

void PrivateServer::Kill() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

bool PrivateServer::Admin(const std::string& sql, const std::string& database) const {
  const fs::path file = dir_ / "admin.sql";
  WriteFile(file, sql);
  std::vector<std::string> argv = {"mariadb", "--no-defaults", "--socket=" + socket(),
                                   "-u" + AdminUser()};
  if (!database.empty()) {
    argv.push_back(database);
  }
  return RunProgram(argv, ProgramIo::Input(file)) == 0;
}

std::string PrivateServer::Scalar(const std::string& sql, const std::string& database) const {
  const fs::path out = dir_ / "scalar.out";
  EXPECT_EQ(0, RunProgram({"mariadb", "--no-defaults", "--socket=" + socket(), "-ukelvane",
                           "-pkelvane", "-N", "-B", database, "-e", sql},
                          ProgramIo::Output(out)))
      << ReadFile(out);
  std::string text = ReadFile(out);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    text.pop_back();
  }
  return text;
}

std::string PrivateServer::log() const {
  return ReadFile(dir_ / "error.log");
}

}  // namespace testing_support
