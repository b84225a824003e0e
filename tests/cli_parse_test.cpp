// Tests of the command line's parsing, without a server or a window.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/cli.h"

namespace {

TEST(ParseCommandLine, ReadsARunWithItsConfiguration) {
  std::string error;
  const app::CommandLine line =
      app::ParseCommandLine({"--from", "01", "--to=03", "--config", "/tmp/z.ini"}, error);
  EXPECT_EQ("", error);
  EXPECT_EQ("01", line.from_code.value_or("?"));
  EXPECT_EQ("03", line.to_code.value_or("?"));
  EXPECT_EQ("/tmp/z.ini", line.config_path.value_or("?"));
}

TEST(ParseCommandLine, ReadsRestoreHistoryAndBackupOptions) {
  std::string error;
  app::CommandLine line =
      app::ParseCommandLine({"--restore", "b.sql", "--dry-run", "--backup-dir=/tmp/b"}, error);
  EXPECT_EQ("", error);
  EXPECT_EQ("b.sql", line.restore_file.value_or("?"));
  EXPECT_TRUE(line.dry_run);
  EXPECT_EQ("/tmp/b", line.backup_dir.value_or("?"));
  line = app::ParseCommandLine({"--history", "--json"}, error);
  EXPECT_EQ("", error);
  EXPECT_TRUE(line.history && line.json);
  line = app::ParseCommandLine({"--from", "01", "--to", "02", "--atomic", "--no-backup"}, error);
  EXPECT_EQ("", error);
  EXPECT_TRUE(line.no_backup && line.atomic);
  line = app::ParseCommandLine({"--from", "01", "--to", "02", "--step-by-step"}, error);
  EXPECT_EQ("", error);
  EXPECT_TRUE(line.step_by_step && !line.atomic);
}

TEST(ParseCommandLine, RefusesIncompleteOrUnknownArguments) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--from", "01"},
        {"--to", "02"},
        {"--from"},
        {"--bogus"},
        {"--from", "01", "--from", "02", "--to", "03"},
        {"01", "02"},
        {"--restore"},
        {"--restore", "f.sql", "--from", "01", "--to", "02"},
        {"--restore", "f.sql", "--atomic"},
        {"--restore", "f.sql", "--step-by-step"},
        {"--from", "01", "--to", "02", "--atomic", "--step-by-step"},
        {"--from", "01", "--to", "02", "--verify", "--step-by-step"},
        {"--restore", "f.sql", "--history"},
        {"--history", "--dry-run"},
        {"--no-backup"},
        {"--from", "01", "--to", "02", "--verify", "--no-backup"}}) {
    std::string error;
    app::ParseCommandLine(args, error);
    EXPECT_NE("", error) << args.front();
  }
}

}  // namespace
