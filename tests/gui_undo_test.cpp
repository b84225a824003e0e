// The window's side of a refused ap record: the message after the last step names the
// refusal and how to put the previous profile back, and the window stays.
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <QPushButton>

#include <gtest/gtest.h>

#include "app/main_form.h"
#include "tests/test_db.h"
#include "tests/test_support_ap.h"
#include "tests/test_support_cli.h"
#include "tests/test_support_form.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ScratchDatabase;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class UndoWindowTest : public testing_support::FormTest {
 protected:
  void SetUp() override {
    database_ = std::make_unique<ScratchDatabase>("kundow");
    database_->Run(testing_support::DemoSql());
    dir_ = testing_support::MakeTempDir("kelvane-undow");
    old_dir_ = fs::current_path();
    fs::current_path(dir_);
    testing_support::WriteConfigFile((dir_ / "zarfiles.ini").string(), database_->settings());
    setenv("KELVANE_CONFIG", (dir_ / "zarfiles.ini").c_str(), 1);
  }

  void TearDown() override {
    fs::current_path(old_dir_);
    unsetenv("KELVANE_CONFIG");
    fs::remove_all(dir_);
  }

  std::unique_ptr<ScratchDatabase> database_;
  fs::path dir_;
  fs::path old_dir_;
};

TEST_F(UndoWindowTest, RefusedApRecordIsShownAfterTheLastStepAndTheWindowStays) {
  testing_support::RefuseOneClassRecord(*database_);
  auto form = MakeForm();
  form->SetRunMode(run::RunMode::kStepByStep);
  form->show();
  ASSERT_EQ(std::vector<std::string>{}, messages_);

  ClickGo(*form);

  EXPECT_EQ(testing_support::kStatusTexts, statuses_);
  ASSERT_EQ(1u, messages_.size());
  EXPECT_TRUE(Contains(messages_[0], "type 006: 1 record refused")) << messages_[0];
  EXPECT_TRUE(Contains(messages_[0], "injected ap refusal")) << messages_[0];
  EXPECT_TRUE(Contains(messages_[0], "kelvane --restore ")) << messages_[0];
  EXPECT_TRUE(form->isVisible());
  EXPECT_TRUE(Control<QPushButton>(*form, "Button1")->isEnabled());
  EXPECT_EQ(1u, form->run_report().ap_refused);
}

}  // namespace
