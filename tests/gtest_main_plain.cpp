// Test entry for the unit and database tests.
#include <mysql.h>

#include <gtest/gtest.h>

#include "tests/test_support_files.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // Runs keep backups; the tests' go to a folder of their own, never a user's.
  const testing_support::BackupFolder backups;
  int status = RUN_ALL_TESTS();
  mysql_library_end();
  return status;
}
