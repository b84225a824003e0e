// Durable file writing: what is left on disk after success and after failure.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "settings/durable_file.h"
#include "tests/test_support_cli.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::WriteFile;

class DurableFileTest : public testing::Test {
 protected:
  void SetUp() override { dir_ = testing_support::MakeTempDir("kelvane-durable"); }

  void TearDown() override { fs::remove_all(dir_); }

  // The names in the folder, sorted.
  std::string Listing() const {
    std::string names;
    std::vector<std::string> sorted;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      sorted.push_back(entry.path().filename().string());
    }
    std::sort(sorted.begin(), sorted.end());
    for (const std::string& name : sorted) {
      names += name + " ";
    }
    return names;
  }

  static unsigned ModeOf(const fs::path& path) {
    struct stat info {};

    EXPECT_EQ(0, ::stat(path.c_str(), &info));
    return info.st_mode & 07777;
  }

  fs::path dir_;
};

TEST_F(DurableFileTest, ReplaceLeavesOnlyTheTargetWithItsModeWhateverTheUmask) {
  WriteFile(dir_ / "a.ini", std::string(300, 'x'));
  const mode_t old_mask = ::umask(0077);
  settings::WriteFileReplacing((dir_ / "a.ini").string(), "new\n", 0640);
  ::umask(old_mask);
  EXPECT_EQ("new\n", ReadFile(dir_ / "a.ini"));
  EXPECT_EQ(0640u, ModeOf(dir_ / "a.ini"));
  EXPECT_EQ("a.ini ", Listing());
}

TEST_F(DurableFileTest, PlaceNewNeverReplacesAndTakesTheNextFreeName) {
  WriteFile(dir_ / "b-1", "first");
  WriteFile(dir_ / "b-2", "second");
  settings::DurableFile file((dir_ / ".b.").string(), 0600);
  file.Write("third");
  const std::string placed =
      file.PlaceNew([&](int n) { return (dir_ / ("b-" + std::to_string(n))).string(); }, 5);
  EXPECT_EQ((dir_ / "b-3").string(), placed);
  EXPECT_EQ("first", ReadFile(dir_ / "b-1"));
  EXPECT_EQ("second", ReadFile(dir_ / "b-2"));
  EXPECT_EQ("third", ReadFile(dir_ / "b-3"));
  EXPECT_EQ(0600u, ModeOf(dir_ / "b-3"));
  EXPECT_EQ("b-1 b-2 b-3 ", Listing());
}

TEST_F(DurableFileTest, FailuresLeaveNoTemporaryFileBehind) {
  WriteFile(dir_ / "c-1", "taken");
  {
    settings::DurableFile file((dir_ / ".c.").string(), 0600);
    file.Write("lost");
    try {
      file.PlaceNew([&](int n) { return (dir_ / ("c-" + std::to_string(n))).string(); }, 1);
      ADD_FAILURE() << "a taken name was replaced";
    } catch (const settings::DurableWriteError& e) {
      EXPECT_EQ(std::string("replace"), e.step());
      EXPECT_EQ(EEXIST, e.error());
    }
  }
  {
    // Abandoned half way: the destructor removes what was written.
    settings::DurableFile file((dir_ / ".d.").string(), 0600);
    file.Write("half");
  }
  EXPECT_EQ("taken", ReadFile(dir_ / "c-1"));
  EXPECT_EQ("c-1 ", Listing());
  try {
    settings::WriteFileReplacing((dir_ / "missing" / "e").string(), "x", 0600);
    ADD_FAILURE() << "a file was written into a missing folder";
  } catch (const settings::DurableWriteError& e) {
    EXPECT_EQ(std::string("create"), e.step());
    EXPECT_EQ(ENOENT, e.error());
  }
}

}  // namespace
