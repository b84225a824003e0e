// Tests of the command line: the built program run without a window against the private
// server, its exit status, the status lines on stdout and the messages on stderr.
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/test_db.h"
#include "tests/test_support_cli.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ScratchDatabase;

// The status lines of a whole run as the command line prints them.
std::string AllStatusLines() {
  std::string lines;
  for (const std::string& text : testing_support::kStatusTexts) {
    lines += text + "\n";
  }
  return lines;
}

using Outcome = testing_support::CliOutcome;

class CommandLineTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, std::getenv("KELVANE_BIN")) << "KELVANE_BIN names the built program";
    dir_ = testing_support::MakeTempDir("kelvane-cli");
    fs::create_directory(dir_ / "work");
  }

  void TearDown() override { fs::remove_all(dir_); }

  // Runs the program in dir_/work with a configuration that points at `database`.
  Outcome Run(const ScratchDatabase& database, const std::string& args,
              const std::string& env = "") {
    return testing_support::RunKelvane(dir_, database.settings(), args, env);
  }

  static void LoadDemoData(const ScratchDatabase& database) {
    database.Run(testing_support::DemoSql());
  }

  fs::path dir_;
};

TEST_F(CommandLineTest, RunPrintsTheTwelveStepsAndCopiesWithoutADisplay) {
  ScratchDatabase database("kcli");
  LoadDemoData(database);

  // No platform chosen and no display: the program picks the offscreen one itself.
  const Outcome outcome =
      Run(database, "--from 01 --to 03", "-u QT_QPA_PLATFORM -u DISPLAY -u WAYLAND_DISPLAY");

  EXPECT_EQ(0, outcome.status) << outcome.err;
  // The status lines, then a blank line and the run's report.
  EXPECT_EQ(0u, outcome.out.rfind(AllStatusLines() + "\nStep ", 0)) << outcome.out;
  EXPECT_EQ("3", database.Scalar("SELECT COUNT(*) FROM Bank WHERE AgyCode = '03'"));
  EXPECT_EQ("2", database.Scalar("SELECT COUNT(*) FROM DLLines WHERE AgyCode = '03'"));
  EXPECT_EQ("15", database.Scalar("SELECT COUNT(*) FROM zz_data_ap WHERE Index0Col LIKE "
                                  "'___00003%'"));
  EXPECT_TRUE(fs::exists(dir_ / "work" / "Utility.ini"));
}

TEST_F(CommandLineTest, FailingStepExitsOneAfterItsStatusLine) {
  ScratchDatabase database("kcli");
  LoadDemoData(database);
  database.Run(
      "CREATE TRIGGER refuse_department BEFORE INSERT ON Department FOR EACH ROW SIGNAL "
      "SQLSTATE '45000' SET MESSAGE_TEXT = 'Department insert refused';");

  const Outcome outcome = Run(database, "--from 01 --to 03 --step-by-step");

  EXPECT_EQ(1, outcome.status);
  EXPECT_EQ("Banks\nClasses\nCompanies\nCompany Contacts\nDepartments\n", outcome.out);
  EXPECT_NE(std::string::npos, outcome.err.find("error: ")) << outcome.err;
  EXPECT_NE(std::string::npos, outcome.err.find("Department insert refused")) << outcome.err;
  EXPECT_EQ("2", database.Scalar("SELECT COUNT(*) FROM CmpCont WHERE AgyCode = '03'"));
  EXPECT_EQ("0", database.Scalar("SELECT COUNT(*) FROM GLCodes WHERE AgyCode = '03'"));
}

TEST_F(CommandLineTest, RefusedCodesAndBadUsageExitTwoChangingNothing) {
  ScratchDatabase database("kcli");
  LoadDemoData(database);
  for (const char* args :
       {"--from 01 --to 01", "--from 01 --to Ab --from 02", "--from 1 --to 03",
        "--from 01 --to '0%'", "--from 01 --to ab\\'", "--from 01", "--bogus", "01 03"}) {
    const Outcome outcome = Run(database, args);
    EXPECT_EQ(2, outcome.status) << args;
    EXPECT_EQ("", outcome.out) << args;
    EXPECT_NE("", outcome.err) << args;
  }
  EXPECT_FALSE(fs::exists(dir_ / "work" / "Utility.ini"));
  EXPECT_EQ("3", database.Scalar("SELECT COUNT(*) FROM Bank WHERE AgyCode = '01'"));
}

TEST_F(CommandLineTest, FailedSetUpExitsOneCopyingNothing) {
  ScratchDatabase database("kcli");
  LoadDemoData(database);
  database.Run("DROP TABLE zz_data_ap");

  const Outcome outcome = Run(database, "--from 01 --to 03");

  EXPECT_EQ(1, outcome.status);
  EXPECT_EQ("", outcome.out);
  EXPECT_NE(std::string::npos, outcome.err.find("Error Opening AP Read")) << outcome.err;
  EXPECT_EQ("0", database.Scalar("SELECT COUNT(*) FROM Bank WHERE AgyCode = '03'"));
}

TEST_F(CommandLineTest, HelpAndVersionExitZero) {
  ScratchDatabase database("kcli", false);
  const Outcome help = Run(database, "--help");
  EXPECT_EQ(0, help.status);
  EXPECT_NE(std::string::npos, help.out.find("--from")) << help.out;
  const Outcome version = Run(database, "--version");
  EXPECT_EQ(0, version.status);
  EXPECT_EQ(0u, version.out.rfind("kelvane ", 0)) << version.out;
}

}  // namespace
