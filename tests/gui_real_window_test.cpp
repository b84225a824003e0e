// The built program in a real window on a private X display, driven by keys and clicks as a
// user would: a cancelled run, a confirmed one, and the profile put back by a second start.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
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
using testing_support::ReadFile;
using testing_support::ScratchDatabase;
using testing_support::ShellQuoted;

// How long a window may take to appear or go before the test gives up: a bound against a
// hang, never a measure of speed.
constexpr auto kPatience = std::chrono::seconds(120);

bool OnPath(const char* program) {
  return std::system(("command -v " + std::string(program) + " >/dev/null 2>&1").c_str()) == 0;
}

// The command's stdout and whether it exited 0.
std::pair<std::string, bool> Shell(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return {"", false};
  }
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
    out += buffer;
  }
  const int status = ::pclose(pipe);
  return {out, WIFEXITED(status) && WEXITSTATUS(status) == 0};
}

class RealWindowTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, std::getenv("KELVANE_BIN")) << "KELVANE_BIN names the built program";
#if defined(__SANITIZE_ADDRESS__)
    // The real program loads Qt's X11 platform, whose libraries LeakSanitizer reports at exit;
    // the plain build runs this test, the sanitizers watch the same code in every other one.
    GTEST_SKIP() << "the real program under X is tested in the plain build";
#endif
    if (!OnPath("Xvfb") || !OnPath("xdotool")) {
      GTEST_SKIP() << "needs Xvfb and xdotool (scripts/lib.sh installs them)";
    }
    dir_ = testing_support::MakeTempDir("kelvane-xwindow");
    fs::create_directory(dir_ / "work");
    database_ = std::make_unique<ScratchDatabase>("kxwin");
    database_->Run(testing_support::DemoSql());
    testing_support::WriteConfigFile((dir_ / "zarfiles.ini").string(), database_->settings());
    StartDisplay();
  }

  void TearDown() override {
    StopProgram();
    if (xvfb_ > 0) {
      ::kill(xvfb_, SIGTERM);
      ::waitpid(xvfb_, nullptr, 0);
    }
    database_.reset();
    if (!dir_.empty()) {
      fs::remove_all(dir_);
    }
  }

  // Xvfb picks a free display itself and names it on the descriptor it is given. A display
  // that does not answer clients (seen once on a loaded machine) is started again.
  void StartDisplay() {
    const fs::path number = dir_ / "display";
    const fs::path log = dir_ / "xvfb.log";
    for (int attempt = 0; attempt < 3; ++attempt) {
      fs::remove(number);
      const auto [pid, started] =
          Shell("Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>" +
                ShellQuoted(number.string()) + " >/dev/null 2>>" + ShellQuoted(log.string()) +
                " & echo $!");
      ASSERT_TRUE(started);
      xvfb_ = std::stoi(pid);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (ReadFile(number).find('\n') == std::string::npos &&
             std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      const std::string text = ReadFile(number);
      if (text.find('\n') != std::string::npos) {
        display_ = ":" + text.substr(0, text.find('\n'));
        const auto answering = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < answering) {
          if (Xdo("getdisplaygeometry").second) {
            return;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
      }
      ::kill(xvfb_, SIGTERM);
      xvfb_ = -1;
    }
    FAIL() << "Xvfb did not start a display that answers: " << ReadFile(log);
  }

  // The program, started again if it ends before its window shows (it cannot have done
  // anything then: the window opens before any run).
  void StartProgram() {
    const fs::path log = dir_ / "program.log";
    for (int attempt = 0; attempt < 3; ++attempt) {
      program_ = ::fork();
      if (program_ == 0) {
        if (::chdir((dir_ / "work").c_str()) != 0) {
          ::_exit(127);
        }
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) {
          ::dup2(fd, 2);
        }
        ::setenv("DISPLAY", display_.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        ::setenv("KELVANE_CONFIG", (dir_ / "zarfiles.ini").c_str(), 1);
        ::setenv("KELVANE_BACKUP_DIR", (dir_ / "backups").c_str(), 1);
        const char* bin = std::getenv("KELVANE_BIN");
        ::execl(bin, bin, static_cast<char*>(nullptr));
        ::_exit(127);
      }
      const auto deadline = std::chrono::steady_clock::now() + kPatience;
      while (std::chrono::steady_clock::now() < deadline && ProgramRunning()) {
        const auto [ids, found] = Xdo("search --onlyvisible --name '^Kelvane$'");
        if (found && !ids.empty()) {
          main_window_ = ids.substr(0, ids.find('\n'));
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      if (ProgramRunning()) {
        break;
      }
      program_ = -1;
    }
    ADD_FAILURE() << "no window ^Kelvane$; the program said: " << ReadFile(log);
  }

  // The exit status once the program ends; -1 if it did not end normally or in time.
  int WaitForExit() {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      if (::waitpid(program_, &status, WNOHANG) == program_) {
        program_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
  }

  bool ProgramRunning() {
    return program_ > 0 && ::waitpid(program_, nullptr, WNOHANG) == 0;
  }

  void StopProgram() {
    if (program_ > 0) {
      ::kill(program_, SIGTERM);
      ::waitpid(program_, nullptr, 0);
      program_ = -1;
    }
  }

  std::pair<std::string, bool> Xdo(const std::string& args) {
    return Shell("DISPLAY=" + display_ + " xdotool " + args + " 2>/dev/null");
  }

  // The visible window whose title matches `title`, once there is one.
  std::string WaitForWindow(const std::string& title) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto [ids, found] = Xdo("search --onlyvisible --name " + ShellQuoted(title));
      if (found && !ids.empty()) {
        return ids.substr(0, ids.find('\n'));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "no window " << title;
    return "";
  }

  bool WaitUntilGone(const std::string& title) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
      if (!Xdo("search --onlyvisible --name " + ShellQuoted(title)).second) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // Keys to the window titled `title`, as typed on the keyboard once it has the focus; with
  // KELVANE_SCREENSHOT_DIR set, the screen is saved there first as NAME.png.
  void Keys(const std::string& title, const std::string& keys, const std::string& shot = "") {
    const std::string window = WaitForWindow(title);
    ASSERT_FALSE(window.empty());
    ASSERT_TRUE(Xdo("windowfocus --sync " + window).second);
    if (const char* shots = std::getenv("KELVANE_SCREENSHOT_DIR"); shots && !shot.empty()) {
      Shell("DISPLAY=" + display_ + " import -window root " +
            ShellQuoted(std::string(shots) + "/" + shot + ".png"));
    }
    ASSERT_TRUE(Xdo("key --clearmodifiers " + keys).second);
  }

  void ClickGo() {
    ASSERT_TRUE(Xdo("windowfocus --sync " + main_window_).second);
    // The middle of "GO!" (616, 16, 113 x 65).
    ASSERT_TRUE(Xdo("mousemove --window " + main_window_ + " 672 48 click 1").second);
  }

  // Every table, every row and column, as one text (the lock table's rows come and go).
  std::string Everything() const {
    return testing_support::WholeDatabase(database_->settings());
  }

  fs::path dir_;
  std::unique_ptr<ScratchDatabase> database_;
  pid_t xvfb_ = -1;
  pid_t program_ = -1;
  std::string display_;
  std::string main_window_;
};

constexpr const char* kQuestion = "replace a profile";
constexpr const char* kResult = "profile copied";
constexpr const char* kHistory = "saved profiles";
constexpr const char* kPutBackQuestion = "put back a profile";
constexpr const char* kPutBackResult = "profile put back";

TEST_F(RealWindowTest, CopyThroughTheWindowThenPutTheProfileBack) {
  const std::string before = Everything();
  const std::string source_banks =
      database_->Scalar("SELECT COUNT(*) FROM Bank WHERE AgyCode = '01'");

  // GO!, Esc: nothing changed, the window stays.
  StartProgram();
  ASSERT_FALSE(main_window_.empty());
  ClickGo();
  Keys(kQuestion, "Escape", "question");
  ASSERT_TRUE(WaitUntilGone(kQuestion));
  EXPECT_TRUE(ProgramRunning());
  EXPECT_EQ(before, Everything());
  EXPECT_FALSE(fs::exists(dir_ / "backups") && !fs::is_empty(dir_ / "backups"));

  // GO!, Enter, Enter: the copy, and the program ends well.
  ClickGo();
  Keys(kQuestion, "Return");
  Keys(kResult, "Return", "result");
  EXPECT_EQ(0, WaitForExit());
  const std::string copied = Everything();
  EXPECT_NE(before, copied);
  EXPECT_EQ(source_banks, database_->Scalar("SELECT COUNT(*) FROM Bank WHERE AgyCode = '02'"));

  // Started again: Alt+H, Enter, Enter, Enter puts the profile back as it was.
  StartProgram();
  ASSERT_FALSE(main_window_.empty());
  Keys("^Kelvane$", "alt+h");
  Keys(kHistory, "Return", "history");
  Keys(kPutBackQuestion, "Return", "put-back-question");
  Keys(kPutBackResult, "Return", "put-back-result");
  ASSERT_TRUE(WaitUntilGone(kPutBackResult));
  EXPECT_EQ(before, Everything());
  // The history stays open, its list read again; Esc closes it and the window stays.
  Keys(kHistory, "Escape", "history-after");
  ASSERT_TRUE(WaitUntilGone(kHistory));
  EXPECT_TRUE(ProgramRunning());
}

}  // namespace
