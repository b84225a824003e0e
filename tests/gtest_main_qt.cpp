// Test entry for the window tests: one QApplication for the whole program.
#include <mysql.h>

#include <QApplication>

#include <gtest/gtest.h>

#include "tests/test_support_cli.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // Test discovery runs the binary outside ctest's environment, where there may be no display.
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  // Runs keep backups; the tests' go to a folder of their own, never a user's.
  const testing_support::BackupFolder backups;
  QApplication app(argc, argv);
  int status = RUN_ALL_TESTS();
  mysql_library_end();
  return status;
}
