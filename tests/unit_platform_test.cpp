// What the program asks of the platform, on Linux and under Wine alike: durable files that are
// the user's alone, private folders, UTF-8 names, the local time's offset, command-line words.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backup/backup_stamp.h"
#include "settings/config.h"
#include "settings/durable_file.h"
#include "settings/system.h"
#include "tests/test_support_files.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::WriteFile;

void ExpectTheUsersAlone(const fs::path& path) {
  if (testing_support::KeepsAccessLists()) {
    EXPECT_EQ("", testing_support::AccessProblem(path)) << path;
  }
}

class PlatformTest : public testing::Test {
 protected:
  void SetUp() override { dir_ = testing_support::MakeTempDir("kelvane-platform"); }

  void TearDown() override { fs::remove_all(dir_); }

  // The names in the folder, sorted.
  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      names.push_back(settings::Utf8Path(entry.path().filename()));
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string In(const std::string& name) const { return settings::Utf8Path(dir_) + "/" + name; }

  fs::path dir_;
};

TEST_F(PlatformTest, ReplaceLeavesOnlyTheTargetTheUsersAlone) {
  WriteFile(dir_ / "a.ini", std::string(300, 'x'));
  settings::WriteUtilityIni(In("a.ini"), {"host", "user", "pass=word", "base", {}});
  EXPECT_EQ(
      "DriverID=MySQL\r\nserver=host\r\nUser_Name=user\r\nPassword=pass=word\r\n"
      "database=base\r\n",
      ReadFile(dir_ / "a.ini"));
  ExpectTheUsersAlone(dir_ / "a.ini");
  EXPECT_EQ(std::vector<std::string>{"a.ini"}, Listing());
}

TEST_F(PlatformTest, PlaceNewNeverReplacesAndFailuresLeaveNoTemporaryFile) {
  WriteFile(dir_ / "b-1", "first");
  {
    settings::DurableFile file(In(".b."), 0600);
    file.Write("second");
    EXPECT_EQ(In("b-2"), file.PlaceNew([&](int n) { return In("b-" + std::to_string(n)); }, 5));
  }
  {
    settings::DurableFile file(In(".c."), 0600);
    file.Write("lost");
    try {
      file.PlaceNew([&](int) { return In("b-1"); }, 1);
      ADD_FAILURE() << "a taken name was replaced";
    } catch (const settings::DurableWriteError& e) {
      EXPECT_EQ(std::string("replace"), e.step());
      EXPECT_EQ(EEXIST, e.error());
    }
  }
  try {
    settings::WriteFileReplacing(In("missing/e"), "x", 0600);
    ADD_FAILURE() << "a file was written into a missing folder";
  } catch (const settings::DurableWriteError& e) {
    EXPECT_EQ(ENOENT, e.error()) << e.what();
  }
  EXPECT_EQ("first", ReadFile(dir_ / "b-1"));
  EXPECT_EQ("second", ReadFile(dir_ / "b-2"));
  ExpectTheUsersAlone(dir_ / "b-2");
  EXPECT_EQ((std::vector<std::string>{"b-1", "b-2"}), Listing());
}

TEST_F(PlatformTest, PrivateFoldersWithAccentedNames) {
  const std::string folder = In("Größe/Ünïcode");
  settings::MakePrivateFolders(folder);
  settings::MakePrivateFolders(folder);  // there already: no failure
  ExpectTheUsersAlone(settings::FilePath(folder));
  settings::WriteFileReplacing(folder + "/Société.sql", "é", 0600);
  EXPECT_EQ("é", ReadFile(settings::FilePath(folder + "/Société.sql")));
  WriteFile(dir_ / "file", "");
  try {
    settings::MakePrivateFolders(In("file/below"));
    ADD_FAILURE() << "a folder was made under a file";
  } catch (const settings::DurableWriteError& e) {
    EXPECT_EQ(fs::path(In("file")), fs::path(e.path()));
  }
}

TEST(Platform, LocalTimeOffsetAndCommandLineWords) {
  const auto now = std::chrono::system_clock::now();
  const auto millis = std::chrono::time_point_cast<std::chrono::milliseconds>(now);
  const backup::BackupStamp stamp = backup::StampOf(now);
  EXPECT_EQ(millis.time_since_epoch().count(), backup::InstantOf(stamp.header).value_or(0))
      << stamp.header;
  EXPECT_EQ("plain-name.sql", settings::CommandLineWord("plain-name.sql"));
  for (const char* word : {"with space", ""}) {
    const std::string quoted = settings::CommandLineWord(word);
    EXPECT_NE(word, quoted);
    EXPECT_TRUE(quoted.front() == '\'' || quoted.front() == '"') << quoted;
  }
  EXPECT_TRUE(settings::UserStateFolder().has_value());
  EXPECT_FALSE(settings::SuiteConfigPath().empty());
}

}  // namespace
