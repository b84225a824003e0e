// Test entry for the unit and database tests.
#include <mysql.h>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  int status = RUN_ALL_TESTS();
  mysql_library_end();
  return status;
}
