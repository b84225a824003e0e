// The window's link to the server: a window left idle past the server's silence limit
// reconnects on its next lookup without a message.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_db.h"
#include "tests/test_support_cli.h"
#include "tests/test_support_form.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::MakeTempDir;
using testing_support::ScratchDatabase;

// A window left idle past the server's silence limit: the next lookup reconnects without a
// message.
class IdleWindowTest : public testing_support::FormTest {};

TEST_F(IdleWindowTest, ALookupAfterALongPauseReconnectsWithoutAMessage) {
  const fs::path old_dir = fs::current_path();
  ScratchDatabase database("kidle");
  database.Run(testing_support::DemoSql());
  const fs::path dir = MakeTempDir("kelvane-idle");
  fs::create_directory(dir / "work");
  fs::current_path(dir / "work");
  testing_support::WriteConfigFile((dir / "zarfiles.ini").string(), database.settings());
  setenv("KELVANE_CONFIG", (dir / "zarfiles.ini").c_str(), 1);
  setenv("KELVANE_TEST_SILENCE_LIMIT", "1", 1);
  {
    std::unique_ptr<TForm1> form = MakeForm();
    const std::string name = Text(*form, "edtFromName");
    ASSERT_NE("", name);
    Control<QLineEdit>(*form, "edtFromName")->setText("");
    std::this_thread::sleep_for(3s);
    Leave(*form, "edtFromAgy");
    EXPECT_EQ(name, Text(*form, "edtFromName"));
    EXPECT_EQ(std::vector<std::string>{}, messages_);
  }
  unsetenv("KELVANE_TEST_SILENCE_LIMIT");
  unsetenv("KELVANE_CONFIG");
  fs::current_path(old_dir);
  fs::remove_all(dir);
}

}  // namespace
