// Programs the tests start themselves: any program as an argument vector (no shell, so no
// quoting), and a MariaDB server of a test's own that it may kill.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

// Where a started program's standard streams go; empty paths mean /dev/null. `output`
// takes stdout and stderr alike unless `errors` names a file of its own. With
// `to_test_stderr` both go to the test's own stderr, so a script's words show in its log.
struct ProgramIo {
  std::filesystem::path input;
  std::filesystem::path output;
  std::filesystem::path errors;
  bool to_test_stderr = false;

  static ProgramIo Input(std::filesystem::path path) {
    ProgramIo io;
    io.input = std::move(path);
    return io;
  }

  static ProgramIo Output(std::filesystem::path path) {
    ProgramIo io;
    io.output = std::move(path);
    return io;
  }

  static ProgramIo TestStderr() {
    ProgramIo io;
    io.to_test_stderr = true;
    return io;
  }
};

// Runs argv[0] (searched in PATH) with the arguments `argv` and `env` (NAME=value) added to
// the environment, and waits for it. Returns its exit status, or -1 when it did not start
// or was ended by a signal.
int RunProgram(const std::vector<std::string>& argv, const ProgramIo& io = {},
               const std::vector<std::string>& env = {});

// A MariaDB server of the test's own in a temporary folder, so that it can be killed; the
// shared server is never touched. Reached over its Unix socket only; user kelvane/kelvane.
class PrivateServer {
 public:
  // Installs the data folder (the install may fail; Start then says so). `options` are
  // added to the server's command line, for a server set up unlike the shared one.
  explicit PrivateServer(std::vector<std::string> options = {});
  ~PrivateServer();
  PrivateServer(const PrivateServer&) = delete;
  PrivateServer& operator=(const PrivateServer&) = delete;

  std::string socket() const { return (dir_ / "mysqld.sock").string(); }

  bool running() const { return pid_ > 0; }

  // Starts the server on the same data folder and waits until it answers; true on success.
  bool Start();

  // SIGKILL, as a crash or a pulled plug would end it, and waits for it to be gone.
  void Kill();

  // Runs statements as the server's administrator through the mariadb client.
  bool Admin(const std::string& sql, const std::string& database = "") const;

  // A statement's one value as user kelvane in `database`, without the line end. Fails the
  // test when the client fails.
  std::string Scalar(const std::string& sql, const std::string& database) const;

  // The server's error log.
  std::string log() const;

 private:
  std::filesystem::path dir_;
  std::vector<std::string> options_;
  bool installed_ = false;
  pid_t pid_ = -1;
};

}  // namespace testing_support
