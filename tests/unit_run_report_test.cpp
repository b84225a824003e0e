// Tests of the command line's report texts: JSON strings and the run table.
#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "run/run_report.h"

namespace {

TEST(JsonString, EscapesQuotesBackslashesAndControlCharacters) {
  EXPECT_EQ(R"("O'Brien \"B\" \\ x\n\t\u0001")", run::JsonString("O'Brien \"B\" \\ x\n\t\x01"));
}

TEST(JsonString, KeepsUtf8AndReplacesInvalidBytes) {
  EXPECT_EQ("\"Søn Café\"", run::JsonString("Søn Café"));
  // A lone Latin-1 byte, a truncated sequence and an overlong slash.
  EXPECT_EQ(R"("a\ufffdb\ufffd\ufffd\ufffd")", run::JsonString("a\xE9"
                                                               "b\xC3\xC0\xAF"));
}

TEST(FormatRunReport, ListsStepsThenTotals) {
  run::RunReport report;
  copy::TableCopyStats banks{
      .rows_deleted = 1, .ap_deleted = 2, .rows_selected = 3, .rows_inserted = 3, .ap_copied = 4};
  report.steps.push_back({"CopyBanks", "Banks", banks, std::chrono::milliseconds(1500)});
  report.steps.push_back(
      {"CopyVendor", "Vendors", {.rows_inserted = 10}, std::chrono::milliseconds(7)});
  report.elapsed = std::chrono::milliseconds(2042);
  EXPECT_EQ(
      "Step                     Deleted  Inserted    AP del AP copied   Seconds\n"
      "Banks                          1         3         2         4     1.500\n"
      "Vendors                        0        10         0         0     0.007\n"
      "Total                          1        13         2         4     2.042\n",
      run::FormatRunReport(report));
}

}  // namespace
