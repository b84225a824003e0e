// Test entry for the window tests: one QApplication for the whole program.
#include <mysql.h>

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  int status = RUN_ALL_TESTS();
  mysql_library_end();
  return status;
}
