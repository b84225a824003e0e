// Tests of the configuration reading, "Utility.ini" and the run's code check.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "run/session.h"
#include "settings/config.h"
#include "tests/test_support_cli.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::WriteFile;

// A fresh directory, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() : path_(testing_support::MakeTempDir("kelvane-unit")) {}

  ~TempDir() { fs::remove_all(path_); }

  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

db::ConnectionSettings Settings(std::string host, std::string user, std::string password,
                                std::string database) {
  return db::ConnectionSettings{
      std::move(host), std::move(user), std::move(password), std::move(database), {}};
}

TEST(ReadConfig, MissingFileGivesTheFourDefaults) {
  TempDir dir;
  EXPECT_EQ(Settings("localhost", "root", "brqzlwhe", "pellam"),
            settings::ReadConfig((dir.path() / "none.ini").string()));
}

TEST(ReadConfig, UnreadableFileIsAnErrorNotTheDefaults) {
  TempDir dir;
  fs::create_directory(dir.path() / "zarfiles.ini");
  EXPECT_THROW(settings::ReadConfig((dir.path() / "zarfiles.ini").string()), std::runtime_error);
}

TEST(ParseConfig, OnlyDatabaseGivenKeepsTheOtherDefaults) {
  EXPECT_EQ(Settings("localhost", "root", "brqzlwhe", "agency7"),
            settings::ParseConfig("[ZarfilesNdx]\r\nmdbbase=agency7\r\n"));
}

TEST(ParseConfig, KeepsInnerBlanksAndEqualsSignsOfAValue) {
  EXPECT_EQ(Settings("db.example", "ann lee", "p=w d=", "pellam"),
            settings::ParseConfig("[ZarfilesNdx]\nmdbserv=db.example\n  mdbuser =  ann lee \n"
                                  "mdbpass=p=w d=\n"));
}

TEST(ParseConfig, ToleratesWhatHandEditedFilesHold) {
  const std::string text =
      "\xEF\xBB\xBF; suite settings\r\n"
      "[Other]\r\n"
      "mdbserv=wrong.example\r\n"
      "\r\n"
      "garbage line without equals\r\n"
      "[ zarfilesndx ]\r\n"
      "# a comment\r\n"
      "MDBSERV=right.example\r\n"
      "mdbserv=later.example\r\n"
      "mdbuser=\r\n"
      "[Next]\r\n"
      "mdbbase=wrong\r\n";
  EXPECT_EQ(Settings("right.example", "", "brqzlwhe", "pellam"), settings::ParseConfig(text));
}

TEST(UtilityIni, WritesExactBytesOverALongerFileWithMode0600) {
  TempDir dir;
  const fs::path path = dir.path() / "Utility.ini";
  WriteFile(path, std::string(500, 'x'));
  ::chmod(path.c_str(), 0644);

  settings::WriteUtilityIni(path.string(), Settings("h", "u s", "p=w", "d"));

  EXPECT_EQ("DriverID=MySQL\r\nserver=h\r\nUser_Name=u s\r\nPassword=p=w\r\ndatabase=d\r\n",
            ReadFile(path));

  struct stat info {};

  ASSERT_EQ(0, ::stat(path.c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 07777u);
}

TEST(UtilityIni, SymbolicLinkIsReplacedNeverWrittenThrough) {
  TempDir dir;
  const fs::path target = dir.path() / "precious.txt";
  WriteFile(target, "keep me\n");
  ::chmod(target.c_str(), 0644);
  const fs::path path = dir.path() / "Utility.ini";
  fs::create_symlink(target, path);

  settings::WriteUtilityIni(path.string(), Settings("h", "u", "p", "d"));

  EXPECT_EQ("keep me\n", ReadFile(target));
  EXPECT_FALSE(fs::is_symlink(path));
  EXPECT_TRUE(fs::is_regular_file(path));
  EXPECT_EQ("DriverID=MySQL\r\nserver=h\r\nUser_Name=u\r\nPassword=p\r\ndatabase=d\r\n",
            ReadFile(path));

  struct stat info {};

  ASSERT_EQ(0, ::stat(path.c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 07777u);
  ASSERT_EQ(0, ::stat(target.c_str(), &info));
  EXPECT_EQ(0644u, info.st_mode & 07777u);
  // Nothing of the temporary file stays beside it.
  EXPECT_EQ(2, std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
}

TEST(UtilityIni, WriteFailureNamesTheFile) {
  TempDir dir;
  const fs::path path = dir.path() / "Utility.ini";
  fs::create_directory(path);  // fails for root too, unlike a read-only directory
  try {
    settings::WriteUtilityIni(path.string(), Settings("h", "u", "p", "d"));
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("Utility.ini")) << e.what();
    EXPECT_NE(std::string::npos, std::string(e.what()).find("directory")) << e.what();
  }
}

TEST(UtilityIni, LoadsWhatWasWrittenUnderAnyCaseOfTheName) {
  for (const char* name : {"Utility.ini", "utility.ini", "UTILITY.INI"}) {
    TempDir dir;
    settings::WriteUtilityIni((dir.path() / name).string(), Settings("h", "u s", "p=w", "d"));
    EXPECT_EQ(Settings("h", "u s", "p=w", "d"), settings::LoadUtilityIni(dir.path().string()))
        << name;
  }
}

TEST(UtilityIni, PrefersTheWrittenSpellingWhenSeveralExist) {
  TempDir dir;
  WriteFile(dir.path() / "UTILITY.ini", "DriverID=MySQL\nserver=stale\n");
  settings::WriteUtilityIni((dir.path() / "Utility.ini").string(), Settings("h", "u", "p", "d"));
  WriteFile(dir.path() / "utility.INI", "DriverID=MySQL\nserver=stale\n");
  EXPECT_EQ("h", settings::LoadUtilityIni(dir.path().string()).host);
}

TEST(UtilityIni, LoadReplacesEverySettingAndMatchesNamesIgnoringCase) {
  EXPECT_EQ(Settings("h", "", "secret ", ""),
            settings::ParseUtilityIni("driverid=mysql\nSERVER=h\npassword=secret \nPort=3307\n"));
}

TEST(UtilityIni, LoadRefusesOtherDriversAndMissingFiles) {
  EXPECT_THROW(settings::ParseUtilityIni("DriverID=SQLite\nserver=h\n"), std::runtime_error);
  EXPECT_THROW(settings::ParseUtilityIni("server=h\n"), std::runtime_error);
  TempDir dir;
  EXPECT_THROW(settings::LoadUtilityIni(dir.path().string()), std::runtime_error);
}

TEST(CheckCodes, AcceptsTwoLettersOrDigitsThatDiffer) {
  struct Case {
    const char* from;
    const char* to;
    bool refused;
  };

  const Case cases[] = {
      {"01", "02", false}, {"A1", "b2", false}, {"01", "01", true},  {"ab", "AB", true},
      {"1", "02", true},   {"01", "2", true},   {"", "02", true},    {"0'", "02", true},
      {"01", "%_", true},  {"01", "0 ", true},  {"001", "02", true}, {"\xC3\xA9", "02", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.refused, run::CheckCodes(c.from, c.to).has_value()) << c.from << " " << c.to;
  }
}

}  // namespace
